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
                           forward_rows_entry<Avx2, 6, 2, kRowTaps>,
                           {{8, 8, weight_entry<Avx2, 8, 1>}, {6, 16, weight_entry<Avx2, 6, 2>}, {0, 0, nullptr}},
                           2,
                           transpose_avx2};
}  // namespace

const ConvKernels& conv_kernels_avx2() { return kSet; }

namespace {
// One 8 x 8 block: rows r0.. of src at column c0 to rows c0.. of dst at
// column r0.
inline void transpose_block(const float* src, std::size_t lds, float* dst, std::size_t ldd) {
  __m256 r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(src + i * lds);
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  _mm256_storeu_ps(dst, _mm256_permute2f128_ps(u0, u4, 0x20));
  _mm256_storeu_ps(dst + ldd, _mm256_permute2f128_ps(u1, u5, 0x20));
  _mm256_storeu_ps(dst + 2 * ldd, _mm256_permute2f128_ps(u2, u6, 0x20));
  _mm256_storeu_ps(dst + 3 * ldd, _mm256_permute2f128_ps(u3, u7, 0x20));
  _mm256_storeu_ps(dst + 4 * ldd, _mm256_permute2f128_ps(u0, u4, 0x31));
  _mm256_storeu_ps(dst + 5 * ldd, _mm256_permute2f128_ps(u1, u5, 0x31));
  _mm256_storeu_ps(dst + 6 * ldd, _mm256_permute2f128_ps(u2, u6, 0x31));
  _mm256_storeu_ps(dst + 7 * ldd, _mm256_permute2f128_ps(u3, u7, 0x31));
}
}  // namespace

void transpose_avx2(const float* src, std::size_t rows, std::size_t cols, std::size_t lds, float* dst,
                    std::size_t ldd) {
  // Sixteen rows at a time, read along: a few streams the prefetchers
  // follow when src comes from memory, and whole 64-byte pieces of dst's
  // rows written at once.
  const std::size_t full_cols = cols / 8 * 8;
  std::size_t r0 = 0;
  for (; r0 + 16 <= rows; r0 += 16)
    for (std::size_t c0 = 0; c0 < full_cols; c0 += 8) {
      transpose_block(src + r0 * lds + c0, lds, dst + c0 * ldd + r0, ldd);
      transpose_block(src + (r0 + 8) * lds + c0, lds, dst + c0 * ldd + r0 + 8, ldd);
    }
  for (; r0 + 8 <= rows; r0 += 8)
    for (std::size_t c0 = 0; c0 < full_cols; c0 += 8) transpose_block(src + r0 * lds + c0, lds, dst + c0 * ldd + r0, ldd);
  // The edges: the last rows of every column, the last columns of every row.
  if (r0 < rows) transpose_baseline(src + r0 * lds, rows - r0, cols, lds, dst + r0, ldd);
  if (full_cols < cols) transpose_baseline(src + full_cols, r0, cols - full_cols, lds, dst + full_cols * ldd, ldd);
}

}  // namespace quarn::engine
