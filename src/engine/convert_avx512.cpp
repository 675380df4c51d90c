// Compiled with AVX-512 (F, BW, VL, DQ) enabled; reached only after a CPU check.
// GCC 12 reports its own self-initialised "undefined" vectors inside the
// AVX-512 intrinsics as maybe-uninitialized; the warning says nothing about
// this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "engine/convert_isa.hpp"
#include "engine/convert_simd.hpp"

namespace quarn::engine {

const HalfArrayConverters& half_converters_avx512() {
  static constexpr HalfArrayConverters table{"avx512", widen_f16_array, round_f16_array,
                                             widen_bf16_array, round_bf16_array};
  return table;
}

}  // namespace quarn::engine
