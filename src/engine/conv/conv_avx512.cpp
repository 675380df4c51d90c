#include <immintrin.h>

#include "engine/conv/conv_isa.hpp"
#include "engine/conv/conv_tiles.hpp"

namespace quarn::engine {

namespace {
struct Avx512 {
  using Reg = __m512;
  static constexpr int kWidth = 16;
  static Reg zero() { return _mm512_setzero_ps(); }
  static Reg load(const float* p) { return _mm512_loadu_ps(p); }
  static Reg broadcast(const float* p) { return _mm512_set1_ps(*p); }
  static Reg fma(Reg a, Reg b, Reg c) { return _mm512_fmadd_ps(a, b, c); }
  static void store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
};

bool supported(const CpuFeatures& f) { return f.has_avx512(); }

// Forward: 8 x 48, 24 accumulators, three image vectors and a broadcast;
// eight rows divide the usual channel counts (a 14-row tile spends a
// ninth of its work on padding rows at 64). Weight gradient: 8 taps for up
// to 32 channels, 6 taps x 64 channels (24 accumulators) beyond.
constexpr ConvKernels kSet{"avx512",
                           supported,
                           8,
                           48,
                           forward_entry<Avx512, 8, 3>,
                           forward_rows_entry<Avx512, 8, 3, kRowTaps>,
                           {{8, 16, weight_entry<Avx512, 8, 1>},
                            {8, 32, weight_entry<Avx512, 8, 2>},
                            {6, 64, weight_entry<Avx512, 6, 4>}},
                           3,
                           transpose_avx2};
}  // namespace

const ConvKernels& conv_kernels_avx512() { return kSet; }

}  // namespace quarn::engine
