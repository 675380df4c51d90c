// Front ends of the operation table's Layout rows, and the hook through
// which front ends outside tensor_ops.cpp record as their row's order says.
#pragma once

#include <functional>

#include "autograd/node.hpp"
#include "core/dtype.hpp"
#include "core/shape.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// tensor_ops.cpp's `run` for an operation of one operand.
Result<Tensor> run_one(const Tensor& a, autograd::Node node, const std::function<Result<Storage>()>& compute);

// The elements in dtype `to` (engine::cast says how each conversion rounds);
// `a` itself when it has that dtype. A conversion from or to bool is never
// recorded: the result does not require a gradient.
Result<Tensor> cast(const Tensor& a, DType to);
// The elements laid out row-major; `a` itself when they are already.
Result<Tensor> contiguous(const Tensor& a);
// The elements repeated over `shape` (ValueError when a's shape does not
// broadcast to it); `a` itself when the shapes are equal.
Result<Tensor> broadcast_to(const Tensor& a, const Shape& shape);

}  // namespace quarn::ops
