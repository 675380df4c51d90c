#include <immintrin.h>

#include "engine/conv/conv_isa.hpp"
#include "engine/conv/conv_tiles.hpp"
#include "engine/transpose_simd.hpp"

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
  transpose8(r);
  for (int i = 0; i < 8; ++i) _mm256_storeu_ps(dst + i * ldd, r[i]);
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
