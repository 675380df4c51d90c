// Front ends of the maps with numbers, the two-tensor maps and where. Every
// refusal (dtypes, shapes, stale operands) comes before anything is recorded.
#pragma once

#include "core/operation.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// A row of QUARN_PARAM_MAPS with its two numbers (scalar_pow: the exponent;
// scalar_rpow: the base).
Result<Tensor> param_map(Op op, const Tensor& a, float first, float second = 0.0f);
// maximum, minimum or pow of two tensors, broadcast.
Result<Tensor> pairwise(Op op, const Tensor& a, const Tensor& b);
// a where cond (a bool tensor, never differentiated) holds, else b.
Result<Tensor> where(const Tensor& cond, const Tensor& a, const Tensor& b);

}  // namespace quarn::ops
