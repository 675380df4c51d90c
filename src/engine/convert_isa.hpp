// The array conversions of one instruction set, as a table of function
// pointers. convert.cpp picks one table per process; the native tests reach
// every table the machine supports directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::engine {

struct HalfArrayConverters {
  const char* name;
  void (*widen_f16)(const std::uint16_t* src, float* dst, std::size_t n);
  void (*round_f16)(const float* src, std::uint16_t* dst, std::size_t n);
  void (*widen_bf16)(const std::uint16_t* src, float* dst, std::size_t n);
  void (*round_bf16)(const float* src, std::uint16_t* dst, std::size_t n);
};

const HalfArrayConverters& half_converters_baseline();
#if defined(__x86_64__)
const HalfArrayConverters& half_converters_avx2();
const HalfArrayConverters& half_converters_avx512();
#endif

// The table for this processor, chosen once.
const HalfArrayConverters& half_converters();

}  // namespace quarn::engine
