// Half-precision conversions. Scalars: exact bit-level functions. Arrays:
// vectorised per instruction set (chosen once per process) with results
// identical to the scalar functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/dtype.hpp"

namespace quarn::engine {

float f16_to_f32(std::uint16_t h);
std::uint16_t f32_to_f16(float f);
float bf16_to_f32(std::uint16_t h);
std::uint16_t f32_to_bf16(float f);

// Contiguous arrays; `dtype` is F16 or BF16 (F32 is a plain copy).
void widen_to_f32(DType dtype, const void* src, float* dst, std::size_t n);
void round_from_f32(DType dtype, const float* src, void* dst, std::size_t n);

}  // namespace quarn::engine
