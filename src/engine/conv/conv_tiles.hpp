// The register tiles of the unit-stride convolution paths (conv.cpp), written
// once over a small vector-traits type and instantiated by each
// instruction-set file (conv_avx512.cpp, conv_avx2.cpp) and by the portable
// one (conv_baseline.cpp) with a one-lane type. One body means a set that
// cannot run on the build machine still shares every line of logic with
// one the tests exercise.
//
// A traits type V provides Reg, kWidth, zero(), load(p) (unaligned),
// broadcast(p), fma(a, b, c) (a * b + c) and store(p, v) (unaligned).
//
// Every tile continues each element's sum from C when `from_c` is set, so a
// sum split into blocks of its terms is still one chain of multiply-adds in
// term order: the blocking never shows in the result.
//
// Everything here has internal linkage, so copies built for different
// instruction sets are never merged by the linker.
#pragma once

#include <cstddef>

namespace quarn::engine {
namespace {

// The forward tile: MR output channels x NV * kWidth consecutive positions
// of the padded-width output grid, over the taps [0, k) of a block.
//  - a: the filters packed MR per tap (channel i of tap p at a[p * MR + i]);
//  - x: the padded image at the tile's first position, where tap p reads
//    the run x + offsets[p] (positions consecutive);
//  - c: channel i's row at c + i * ldc.
template <class V, int MR, int NV>
[[gnu::always_inline]] inline void forward_tile(std::size_t k, const float* a, const float* x,
                                                const std::ptrdiff_t* offsets, float* c, std::ptrdiff_t ldc,
                                                bool from_c) {
  constexpr int W = V::kWidth;
  typename V::Reg acc[MR][NV];
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) acc[i][j] = from_c ? V::load(c + i * ldc + j * W) : V::zero();
  for (std::size_t p = 0; p < k; ++p, a += MR) {
    const float* b = x + offsets[p];
    typename V::Reg bv[NV];
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) bv[j] = V::load(b + j * W);
#pragma GCC unroll 16
    for (int i = 0; i < MR; ++i) {
      const typename V::Reg ai = V::broadcast(a + i);
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
    }
  }
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) V::store(c + i * ldc + j * W, acc[i][j]);
}

// forward_tile for taps that come in window rows of KW adjacent columns
// (undilated along the row): `rows` rows of KW taps each, row r reading the
// image from x + row_offsets[r] on, its taps one position apart. The taps
// and so each sum's FMA chain are in the same order as forward_tile's; one
// offset and one address per row rather than per tap leave the load ports
// a little more room for the image and the filters.
template <class V, int MR, int NV, int KW>
[[gnu::always_inline]] inline void forward_rows_tile(std::size_t rows, const float* a, const float* x,
                                                     const std::ptrdiff_t* row_offsets, float* c,
                                                     std::ptrdiff_t ldc, bool from_c) {
  constexpr int W = V::kWidth;
  typename V::Reg acc[MR][NV];
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) acc[i][j] = from_c ? V::load(c + i * ldc + j * W) : V::zero();
  for (std::size_t r = 0; r < rows; ++r) {
    const float* row = x + row_offsets[r];
#pragma GCC unroll 8
    for (int t = 0; t < KW; ++t, a += MR) {
      typename V::Reg bv[NV];
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) bv[j] = V::load(row + t + j * W);
#pragma GCC unroll 16
      for (int i = 0; i < MR; ++i) {
        const typename V::Reg ai = V::broadcast(a + i);
#pragma GCC unroll 4
        for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
      }
    }
  }
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) V::store(c + i * ldc + j * W, acc[i][j]);
}

// The weight-gradient tile: MR taps x NV * kWidth output channels, summed
// over `rows` output rows of `ow` positions each.
//  - taps[i]: where tap i reads for the block's first position; output
//    row r, column x reads taps[i][r * wp + x] (the padded image);
//  - d: the output gradient position-major (channels consecutive), the
//    tile's first channel at d[0], positions `ldd` apart, row after row;
//  - c: tap i's channels at c + i * ldc.
template <class V, int MR, int NV>
[[gnu::always_inline]] inline void weight_tile(std::size_t rows, std::size_t ow, std::ptrdiff_t wp,
                                               const float* const* taps, const float* d, std::ptrdiff_t ldd,
                                               float* c, std::ptrdiff_t ldc, bool from_c) {
  constexpr int W = V::kWidth;
  typename V::Reg acc[MR][NV];
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) acc[i][j] = from_c ? V::load(c + i * ldc + j * W) : V::zero();
  const float* t[MR];
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i) t[i] = taps[i];
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t x = 0; x < ow; ++x, d += ldd) {
      typename V::Reg bv[NV];
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) bv[j] = V::load(d + j * W);
#pragma GCC unroll 16
      for (int i = 0; i < MR; ++i) {
        const typename V::Reg ai = V::broadcast(t[i] + x);
#pragma GCC unroll 4
        for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
      }
    }
#pragma GCC unroll 16
    for (int i = 0; i < MR; ++i) t[i] += wp;
  }
#pragma GCC unroll 16
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) V::store(c + i * ldc + j * W, acc[i][j]);
}

// The entry points a set's table holds: plain functions for each shape.
template <class V, int MR, int NV>
void forward_entry(std::size_t k, const float* a, const float* x, const std::ptrdiff_t* offsets, float* c,
                   std::ptrdiff_t ldc, bool from_c) {
  forward_tile<V, MR, NV>(k, a, x, offsets, c, ldc, from_c);
}

template <class V, int MR, int NV, int KW>
void forward_rows_entry(std::size_t rows, const float* a, const float* x, const std::ptrdiff_t* row_offsets, float* c,
                        std::ptrdiff_t ldc, bool from_c) {
  forward_rows_tile<V, MR, NV, KW>(rows, a, x, row_offsets, c, ldc, from_c);
}

template <class V, int MR, int NV>
void weight_entry(std::size_t rows, std::size_t ow, std::ptrdiff_t wp, const float* const* taps, const float* d,
                  std::ptrdiff_t ldd, float* c, std::ptrdiff_t ldc, bool from_c) {
  weight_tile<V, MR, NV>(rows, ow, wp, taps, d, ldd, c, ldc, from_c);
}

}  // namespace
}  // namespace quarn::engine
