// Drivers shared by every element-wise operation: they allocate the result in
// the right memory order and hand the strided walk to a kernel. All dtype
// checks are the caller's; these never fail except for allocation
// (std::bad_alloc) and broadcasting.
#pragma once

#include <cstdint>

#include "core/storage.hpp"
#include "engine/elementwise/kernel_table.hpp"
#include "runtime/error.hpp"

namespace quarn::engine::elementwise {

// Broadcasts a and b, allocates a result of `out_dtype`, applies `kernel`
// (chosen for the operands' dtype) at every position.
Result<Storage> map_binary(BinaryKernel kernel, DType out_dtype, const Storage& a, const Storage& b);

// Applies `kernel` between every element of `a` and one value of a's dtype
// (`scalar` points at it), with the scalar on the right, or on the left
// when `scalar_first`.
Storage map_with_scalar(BinaryKernel kernel, DType out_dtype, const Storage& a, const void* scalar,
                        bool scalar_first = false);

Storage map_unary(UnaryKernel kernel, DType out_dtype, const Storage& a);

// The same for the maps with numbers (QUARN_PARAM_MAPS): `params` holds the
// row's two numbers, handed to every run.
Storage map_unary_params(ParamKernel kernel, DType out_dtype, const Storage& a, const float* params);
// Their gradients on (input, g), broadcast.
Result<Storage> map_binary_params(ParamGradientKernel kernel, DType out_dtype, const Storage& a, const Storage& b,
                                  const float* params);

// A binary32 number rounded to a numeric dtype, as the kernels read it: the
// number meets every element only after this rounding, as if it were a
// one-element tensor of that dtype.
union ScalarValue {
  float f32;
  std::uint16_t half;
};
ScalarValue scalar_in(DType numeric, float s);

}  // namespace quarn::engine::elementwise
