// Compiled with AVX2, FMA and F16C enabled; reached only after a CPU check.
#include "engine/convert_isa.hpp"
#include "engine/convert_simd.hpp"

namespace quarn::engine {

const HalfArrayConverters& half_converters_avx2() {
  static constexpr HalfArrayConverters table{"avx2", widen_f16_array, round_f16_array,
                                             widen_bf16_array, round_bf16_array};
  return table;
}

}  // namespace quarn::engine
