#include <immintrin.h>

#include "engine/conv/conv_isa.hpp"
#include "engine/conv/conv_tiles.hpp"

namespace quarn::engine {

namespace {
struct Avx2 {
  using Reg = __m256;
  static constexpr int kWidth = 8;
  static Reg zero() { return _mm256_setzero_ps(); }
  static Reg load(const float* p) { return _mm256_loadu_ps(p); }
  static Reg broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  static Reg fma(Reg a, Reg b, Reg c) { return _mm256_fmadd_ps(a, b, c); }
  static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
};

bool supported(const CpuFeatures& f) { return f.has_avx2_fma(); }

// Sixteen registers: 6 x 16 tiles (12 accumulators, two vectors and a
// broadcast) for both passes, and 8 taps x 8 channels for few channels.
constexpr ConvKernels kSet{"avx2",
                           supported,
                           6,
                           16,
                           forward_entry<Avx2, 6, 2>,
                           {{8, 8, weight_entry<Avx2, 8, 1>}, {6, 16, weight_entry<Avx2, 6, 2>}, {0, 0, nullptr}},
                           2};
}  // namespace

const ConvKernels& conv_kernels_avx2() { return kSet; }

}  // namespace quarn::engine
