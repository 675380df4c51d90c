// Operation front ends: decide whether a result takes part in
// differentiation, record its node first (the node stays even if the
// computation then fails), call the engine and wrap the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/tensor.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// Differentiable. An operand that requires a gradient but belongs to a graph
// that was cleared, or to another thread's, is refused (RuntimeError) before
// anything is recorded.
Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> sub(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);
Result<Tensor> div(const Tensor& a, const Tensor& b);
Result<Tensor> matmul(const Tensor& a, const Tensor& b);
Result<Tensor> scalar_add(const Tensor& a, float s);
Result<Tensor> scalar_sub(const Tensor& a, float s);
Result<Tensor> scalar_mul(const Tensor& a, float s);
Result<Tensor> scalar_div(const Tensor& a, float s);
Result<Tensor> scalar_rdiv(const Tensor& a, float s);  // s / a
Result<Tensor> reshape(const Tensor& a, const Shape& shape);
Result<Tensor> transpose(const Tensor& a, std::size_t dim0, std::size_t dim1);
Result<Tensor> relu(const Tensor& a);

// Beyond the operators, reached from Python through the quarn package. Bad
// arguments are refused before anything is recorded: a Bool tensor
// (TypeError), an axis out of range (IndexError), a repeated axis
// (ValueError), targets that do not fit the logits.
Result<Tensor> exp(const Tensor& a);
Result<Tensor> log(const Tensor& a);
Result<Tensor> tanh(const Tensor& a);
Result<Tensor> sigmoid(const Tensor& a);
// `axes` absent: every axis. Negative axes count from the end.
using AxisList = std::optional<std::vector<std::ptrdiff_t>>;
Result<Tensor> sum(const Tensor& a, const AxisList& axes, bool keepdims);
Result<Tensor> mean(const Tensor& a, const AxisList& axes, bool keepdims);
Result<Tensor> log_softmax(const Tensor& a, std::ptrdiff_t axis);
Result<Tensor> softmax(const Tensor& a, std::ptrdiff_t axis);
// Mean cross-entropy of [N, C] logits against N class indices.
Result<Tensor> cross_entropy(const Tensor& logits, const std::vector<std::int64_t>& targets);
Result<Tensor> mse_loss(const Tensor& pred, const Tensor& target);

// Not differentiable: the result never requires a gradient.
Result<Tensor> compare(engine::CompareOp op, const Tensor& a, const Tensor& b);
Result<Tensor> compare_scalar(engine::CompareOp op, const Tensor& a, float s);
Result<Tensor> logical(engine::LogicOp op, const Tensor& a, const Tensor& b);
Result<Tensor> logical_not(const Tensor& a);
Tensor zeros_like(const Tensor& a);
Tensor ones_like(const Tensor& a);

// A new leaf from freshly ingested data.
Tensor make_leaf(Storage data, bool requires_grad);

}  // namespace quarn::ops
