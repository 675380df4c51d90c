// AVX2 + FMA kernels: a 6 x 16 tile, twelve ymm accumulators. Each k step
// loads two B vectors and issues six broadcasts against twelve FMAs, which
// keeps both FMA pipes busy with loads to spare.
#include <immintrin.h>

#include "engine/gemm/kernels/kernels.hpp"
#include "engine/gemm/kernels/sgemm_simd.hpp"

namespace quarn::gemm {

namespace {
struct Avx2 {
  using Reg = __m256;
  using Mask = __m256i;
  static constexpr int kWidth = 8;

  static Reg zero() { return _mm256_setzero_ps(); }
  static Reg load(const float* p) { return _mm256_loadu_ps(p); }
  static Reg broadcast(const float* p) { return _mm256_broadcast_ss(p); }
  static Reg fma(Reg a, Reg b, Reg c) { return _mm256_fmadd_ps(a, b, c); }
  static Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
  static void store(float* p, Reg v) { _mm256_storeu_ps(p, v); }

  static Mask first_lanes(int r) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(r), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  // Masked-off lanes are neither read nor written, and cannot fault.
  static Reg load_first(const float* p, Mask m) { return _mm256_maskload_ps(p, m); }
  static void store_first(float* p, Mask m, Reg v) { _mm256_maskstore_ps(p, m, v); }
};
}  // namespace

void sgemm_avx2_6x16(std::size_t k, const float* a, const float* b, float* c, std::ptrdiff_t ldc,
                     bool accumulate) {
  micro_tile<Avx2, 6, 2>(k, a, b, c, ldc, accumulate);
}

void sgemm_avx2_direct(std::size_t m, std::size_t n, std::size_t k, const float* a,
                       std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                       float* c, std::ptrdiff_t rsc) {
  direct_product<Avx2, 6, 2>(m, n, k, a, rsa, csa, b, rsb, c, rsc);
}

bool sgemm_avx2_pack_a(const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t kc,
                       float* dst) {
  return pack_a_full<Avx2, 6>(a, rsa, csa, kc, dst);
}

bool sgemm_avx2_pack_b(const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, std::size_t kc,
                       float* dst) {
  return pack_b_full<Avx2, 16>(b, rsb, csb, kc, dst);
}

void sgemm_avx2_column(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t rsa,
                       const float* x, std::ptrdiff_t xs, float* y, std::ptrdiff_t ys) {
  column_product(m, k, a, rsa, x, xs, y, ys);
}

}  // namespace quarn::gemm
