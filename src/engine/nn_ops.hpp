// The engine's reductions beyond the shared reduction engine's combine steps
// (standard deviation, any and all, and the gradients of prod, var and std),
// the losses of quarn.nn.functional, layer normalisation and padding.
// Storages in, a new storage (or an Error) out, as in storage_ops.hpp. Every
// formula runs in binary32 on binary32 copies of half-precision operands
// (sums in double), and each result is rounded once to the dtype.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/storage.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/error.hpp"

namespace quarn::engine {

// ---- Reductions --------------------------------------------------------------------
// `axes` ascending, no repeats, each below a.ndim() (checked by the caller).

// sqrt(var) with var as reduce(kVar) gives it in binary32, rounded once.
Result<Storage> standard_deviation(const Storage& a, const Shape& axes, bool keepdims, double ddof);
// Whether any (every) element of each group is nonzero (true for a bool
// tensor); NaN counts as nonzero, as in NumPy. Empty groups: any false, all
// true. The result is Bool.
Storage any_all(const Storage& a, const Shape& axes, bool keepdims, bool all);

enum class GroupGradient : std::uint8_t { kProd, kVar, kStd };
// The gradient of prod, var or std over `axes` for g of the result's own
// shape (keepdims or not): prod the product of the other elements of the
// group (exact about zeros: never result / x), var 2 (x - mean) / (n - ddof),
// std (x - mean) / ((n - ddof) std), 0 where std is 0. a's shape and dtype.
Result<Storage> group_gradient(GroupGradient kind, const Storage& a, const Storage& g, const Shape& axes,
                               double ddof);

// ---- Losses --------------------------------------------------------------------------

enum class Reduction : std::uint8_t { kMean, kSum, kNone };

// Cross-entropy and negative log-likelihood of [N, C] scores. The caller has
// checked every operand's shape and every index target (below C or equal to
// ignore_index).
struct ClassLoss {
  bool from_logits = true;               // cross_entropy; false: nll_loss of log-probabilities
  const std::vector<std::int64_t>* labels = nullptr;  // index targets, or
  const Storage* probabilities = nullptr;             // [N, C] class probabilities
  const Storage* weight = nullptr;       // [C] per-class weights, or null
  std::int64_t ignore_index = -100;
  float smoothing = 0.0f;
  Reduction reduction = Reduction::kMean;
};
Storage class_loss(const Storage& scores, const ClassLoss& spec);
// {gradient of the scores, gradient of the probability targets (empty unless
// wanted and given)}, g of the result's own shape.
std::pair<Storage, Storage> class_loss_backward(const Storage& scores, const ClassLoss& spec, const Storage& g,
                                                bool want_targets);

// Element-wise losses of a prediction against a target of the same shape
// (checked by the caller); weight and pos_weight broadcast to that shape.
enum class PointLoss : std::uint8_t { kSquared, kAbsolute, kSmoothL1, kHuber, kBce, kBceLogits };
struct PointSpec {
  PointLoss kind = PointLoss::kSquared;
  float param = 1.0f;  // smooth_l1's beta, huber's delta
  const Storage* weight = nullptr;
  const Storage* pos_weight = nullptr;
  Reduction reduction = Reduction::kMean;
};
// Fails only for binary_cross_entropy of an input outside [0, 1]
// (RuntimeError, PyTorch's message) and weights that do not broadcast.
Result<Storage> point_loss(const Storage& pred, const Storage& target, const PointSpec& spec);
Result<std::pair<Storage, Storage>> point_loss_backward(const Storage& pred, const Storage& target,
                                                        const PointSpec& spec, const Storage& g, Needs needs);

// ---- Layer normalisation -------------------------------------------------------------

// Over the last `count` elements of each row (x viewed as [rows, count]):
// (x - mean) / sqrt(var + eps) * weight + bias, weight and bias of `count`
// elements (either may be null). Fills `stats` with each row's mean and
// 1/sqrt(var + eps) for the gradient. Runs on the thread pool by rows.
Storage layer_norm(const Storage& x, std::size_t count, const Storage* weight, const Storage* bias, float eps,
                   std::vector<float>* stats);
struct LayerNormGrads {
  Storage x, weight, bias;  // empty when not wanted
};
LayerNormGrads layer_norm_backward(const Storage& x, std::size_t count, const Storage* weight,
                                   const std::vector<float>& stats, const Storage& g, bool want_x,
                                   bool want_weight, bool want_bias);

// ---- Padding -------------------------------------------------------------------------

enum class PadMode : std::uint8_t { kConstant, kReflect, kReplicate };
// `before[i]`/`after[i]` elements added on each side of axis i (the caller
// has checked them against the mode: reflect needs pads below the extent).
Storage pad(const Storage& a, const std::vector<std::size_t>& before, const std::vector<std::size_t>& after,
            PadMode mode, float value);
// The gradient: every element of g added back to the element it was copied
// from (constant padding drops), in binary32, rounded once to a's dtype.
Storage pad_backward(const Shape& shape, DType dtype, const std::vector<std::size_t>& before,
                     const std::vector<std::size_t>& after, PadMode mode, const Storage& g);

}  // namespace quarn::engine
