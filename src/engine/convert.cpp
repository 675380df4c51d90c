#include "runtime/blocking.hpp"
#include "engine/convert.hpp"

#include <cstring>

#include "engine/convert_isa.hpp"
#include "engine/convert_simd.hpp"
#include "engine/cpu_features.hpp"
#include "engine/elementwise/strided_loop.hpp"
#include "runtime/fault.hpp"

namespace quarn::engine {

float f16_to_f32(std::uint16_t h) { return widen_f16(h); }
std::uint16_t f32_to_f16(float f) { return round_to_f16(f); }
float bf16_to_f32(std::uint16_t h) { return widen_bf16(h); }
std::uint16_t f32_to_bf16(float f) { return round_to_bf16(f); }

const HalfArrayConverters& half_converters_baseline() {
  static constexpr HalfArrayConverters table{"baseline", widen_f16_array, round_f16_array,
                                             widen_bf16_array, round_bf16_array};
  return table;
}

namespace {
const HalfArrayConverters& choose_half_converters() {
#if defined(__x86_64__)
  const CpuFeatures& cpu = cpu_features();
  if (cpu.has_avx512()) return half_converters_avx512();
  if (cpu.has_avx2_fma()) return half_converters_avx2();
#endif
  return half_converters_baseline();
}
}  // namespace

const HalfArrayConverters& half_converters() {
  static const HalfArrayConverters& chosen = choose_half_converters();
  return chosen;
}

namespace {

// An array conversion over chunks of a large array, shared by the pool.
template <class From, class To>
void convert_chunks(void (*convert)(const From*, To*, std::size_t), const From* src, To* dst, std::size_t n) {
  elementwise::for_each_chunk(n, [&](std::size_t begin, std::size_t end) { convert(src + begin, dst + begin, end - begin); });
}

}  // namespace

void widen_to_f32(DType dtype, const void* src, float* dst, std::size_t n) {
  LongWork guard(n);
  const auto* h = static_cast<const std::uint16_t*>(src);
  switch (dtype) {
    case DType::F16:
      return convert_chunks(half_converters().widen_f16, h, dst, n);
    case DType::BF16:
      return convert_chunks(half_converters().widen_bf16, h, dst, n);
    case DType::F32:
      if (n) std::memcpy(dst, src, n * sizeof(float));
      return;
    case DType::Bool:
      break;
  }
  fault("internal error: widen_to_f32 called for a Bool array");
}

void round_from_f32(DType dtype, const float* src, void* dst, std::size_t n) {
  LongWork guard(n);
  auto* h = static_cast<std::uint16_t*>(dst);
  switch (dtype) {
    case DType::F16:
      return convert_chunks(half_converters().round_f16, src, h, n);
    case DType::BF16:
      return convert_chunks(half_converters().round_bf16, src, h, n);
    case DType::F32:
      if (n) std::memcpy(dst, src, n * sizeof(float));
      return;
    case DType::Bool:
      break;
  }
  fault("internal error: round_from_f32 called for a Bool array");
}

}  // namespace quarn::engine
