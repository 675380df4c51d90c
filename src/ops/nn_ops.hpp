// Front ends of the statistics, the losses of quarn.nn.functional, layer
// normalisation and padding (engine/nn_ops.hpp). Every one is Checked:
// bad arguments and stale operands are refused before anything is recorded.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tensor.hpp"
#include "engine/nn_ops.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::ops {

// var, std (with ddof), any and all.
Result<Tensor> statistic(Op op, const Tensor& a, const AxisList& axes, bool keepdims, double ddof);

// cross_entropy and nll_loss. Index targets in `labels`, or class
// probabilities in `probabilities` (a float tensor of the scores' shape).
struct ClassLossArgs {
  std::vector<std::int64_t> labels;
  const Tensor* probabilities = nullptr;
  const Tensor* weight = nullptr;
  std::int64_t ignore_index = -100;
  float smoothing = 0.0f;
  engine::Reduction reduction = engine::Reduction::kMean;
};
Result<Tensor> class_loss(Op op, const Tensor& scores, const ClassLossArgs& args);

// mse_loss (for "sum" and "none"), l1_loss, smooth_l1_loss (param: beta),
// huber_loss (param: delta), binary_cross_entropy and
// binary_cross_entropy_with_logits.
Result<Tensor> point_loss(Op op, const Tensor& pred, const Tensor& target, const Tensor* weight,
                          const Tensor* pos_weight, float param, engine::Reduction reduction);

Result<Tensor> layer_norm(const Tensor& x, const Shape& normalized_shape, const Tensor* weight, const Tensor* bias,
                          float eps);

// `pads` as PyTorch orders them: (before, after) of the last axis first.
Result<Tensor> pad(const Tensor& x, const std::vector<std::int64_t>& pads, engine::PadMode mode, float value);

}  // namespace quarn::ops
