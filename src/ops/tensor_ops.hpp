// Operation front ends: decide whether a result takes part in
// differentiation, record its node, call the engine and wrap the result.
// When the node is recorded is the operation table's `order`: a Recorded
// operation records first (its node stays if the computation then fails), a
// Checked one refuses every bad operand before anything is recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/operation.hpp"
#include "core/tensor.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// Operators. An operand that requires a gradient but belongs to a graph
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
inline Result<Tensor> relu(const Tensor& a);

// The table's families, one front end each. Bad arguments are refused as
// the table's order says: a dtype the operation does not take (TypeError),
// an axis out of range (IndexError), a repeated axis (ValueError).
Result<Tensor> map(Op op, const Tensor& a);
// `axes` absent: every axis. Negative axes count from the end.
using AxisList = std::optional<std::vector<std::ptrdiff_t>>;
Result<Tensor> reduce(Op op, const Tensor& a, const AxisList& axes, bool keepdims);
Result<Tensor> along_axis(Op op, const Tensor& a, std::ptrdiff_t axis);
// Mean cross-entropy of [N, C] logits against N class indices.
Result<Tensor> cross_entropy(const Tensor& logits, const std::vector<std::int64_t>& targets);
Result<Tensor> mse_loss(const Tensor& pred, const Tensor& target);

inline Result<Tensor> relu(const Tensor& a) { return map(Op::relu, a); }

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
