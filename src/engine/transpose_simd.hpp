// The in-register transpose of an 8 x 8 block of 32-bit values, for the
// files compiled with AVX2 or AVX-512 (the GEMM packing, the bfloat16 pair
// packing, the convolution's weight-gradient layout). Internal linkage, so
// that copies built for different instruction sets never merge.
#pragma once

#if defined(__AVX2__) || defined(__AVX512F__)
#include <immintrin.h>

namespace quarn::engine {
namespace {

// r[i] holds row i before and column i after.
[[gnu::always_inline]] inline void transpose8(__m256 r[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// The same for integer words.
[[gnu::always_inline]] inline void transpose8(__m256i r[8]) {
  __m256 x[8];
  for (int i = 0; i < 8; ++i) x[i] = _mm256_castsi256_ps(r[i]);
  transpose8(x);
  for (int i = 0; i < 8; ++i) r[i] = _mm256_castps_si256(x[i]);
}

}  // namespace
}  // namespace quarn::engine
#endif
