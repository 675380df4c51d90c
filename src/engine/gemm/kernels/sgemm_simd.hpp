// The register-tiled GEMM kernels, written once over a small vector-traits
// type and instantiated by each instruction-set file (sgemm_avx2.cpp,
// sgemm_avx512.cpp). Keeping one body means a kernel that cannot run on the
// build machine still shares every line of logic with one the tests exercise.
//
// Only files compiled for a vector set include this header. Everything in it
// has internal linkage, so the copies built with different instruction sets
// can never be merged by the linker.
//
// A traits type V provides: Reg, Mask, kWidth (floats per register), zero,
// load, broadcast, fma, add, store, first_lanes(r) (a mask of the first r
// lanes, 0 < r < kWidth), load_first(p, mask) and store_first(p, mask, v),
// which touch only the masked lanes, so a short edge never reads or writes
// past the end of a row.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <utility>

namespace quarn::gemm {
namespace {

// One full MR x (NV * kWidth) tile from packed panels. The accumulators stay
// in registers: MR * NV of them plus NV for the B row and one broadcast.
template <class V, int MR, int NV>
[[gnu::always_inline]] inline void micro_tile(std::size_t k, const float* a, const float* b, float* c, std::ptrdiff_t ldc,
                       bool accumulate) {
  constexpr int W = V::kWidth;
  constexpr int NR = NV * W;
  typename V::Reg acc[MR][NV];
#pragma GCC unroll 32
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) acc[i][j] = V::zero();

  // The tile of C is written last; asking for it now hides the miss behind
  // the whole k loop.
#pragma GCC unroll 32
  for (int i = 0; i < MR; ++i) {
    _mm_prefetch(reinterpret_cast<const char*>(c + i * ldc), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(c + i * ldc + NR - 1), _MM_HINT_T0);
  }

#pragma GCC unroll 4
  for (std::size_t p = 0; p < k; ++p) {
    typename V::Reg bv[NV];
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) bv[j] = V::load(b + j * W);
#pragma GCC unroll 32
    for (int i = 0; i < MR; ++i) {
      const typename V::Reg ai = V::broadcast(a + i);
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
    }
    a += MR;
    b += NR;
  }

#pragma GCC unroll 32
  for (int i = 0; i < MR; ++i) {
    float* row = c + i * ldc;
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      if (accumulate)
        V::store(row + j * W, V::add(V::load(row + j * W), acc[i][j]));
      else
        V::store(row + j * W, acc[i][j]);
    }
  }
}

// An R x (NV * kWidth) tile read straight from A (any strides) and B (rows of
// stride rsb, unit columns). With Masked, the last register column covers
// only its first `tail` lanes.
template <class V, int R, int NV, bool Masked>
void direct_tile(std::size_t k, const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa,
                 const float* b, std::ptrdiff_t rsb, float* c, std::ptrdiff_t rsc, int tail) {
  constexpr int W = V::kWidth;
  const typename V::Mask last = V::first_lanes(Masked ? tail : 1);
  typename V::Reg acc[R][NV];
#pragma GCC unroll 32
  for (int i = 0; i < R; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) acc[i][j] = V::zero();

  for (std::size_t p = 0; p < k; ++p) {
    typename V::Reg bv[NV];
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j)
      bv[j] = (Masked && j == NV - 1) ? V::load_first(b + j * W, last) : V::load(b + j * W);
#pragma GCC unroll 32
    for (int i = 0; i < R; ++i) {
      const typename V::Reg ai = V::broadcast(a + i * rsa);
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
    }
    a += csa;
    b += rsb;
  }

#pragma GCC unroll 32
  for (int i = 0; i < R; ++i) {
    float* row = c + i * rsc;
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      if (Masked && j == NV - 1)
        V::store_first(row + j * W, last, acc[i][j]);
      else
        V::store(row + j * W, acc[i][j]);
    }
  }
}

using DirectTileFn = void (*)(std::size_t, const float*, std::ptrdiff_t, std::ptrdiff_t,
                              const float*, std::ptrdiff_t, float*, std::ptrdiff_t, int);

// direct_tile for every row count 1..MR, indexed by rows - 1.
template <class V, int NV, bool Masked, int... R>
constexpr auto direct_tiles(std::integer_sequence<int, R...>) {
  return std::array<DirectTileFn, sizeof...(R)>{&direct_tile<V, R + 1, NV, Masked>...};
}

// The whole product without packing: strips of NV * kWidth columns (the last
// one narrower, through masks), each swept by tiles of up to MR rows.
template <class V, int MR, int NV>
void direct_product(std::size_t m, std::size_t n, std::size_t k, const float* a,
                    std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                    float* c, std::ptrdiff_t rsc) {
  static_assert(NV == 1 || NV == 2, "direct tiles are one or two registers wide");
  constexpr std::size_t W = V::kWidth;
  constexpr auto rows = std::make_integer_sequence<int, MR>();
  static constexpr auto one = direct_tiles<V, 1, false>(rows);
  static constexpr auto one_masked = direct_tiles<V, 1, true>(rows);
  static constexpr auto two = direct_tiles<V, NV, false>(rows);
  static constexpr auto two_masked = direct_tiles<V, NV, true>(rows);

  for (std::size_t j0 = 0; j0 < n; j0 += NV * W) {
    const std::size_t cols = n - j0 < NV * W ? n - j0 : NV * W;
    const std::size_t regs = (cols + W - 1) / W;
    const int tail = static_cast<int>(cols % W);
    const auto& tiles = regs == 1 ? (tail ? one_masked : one) : (tail ? two_masked : two);
    for (std::size_t i0 = 0; i0 < m; i0 += MR) {
      const std::size_t r = m - i0 < MR ? m - i0 : MR;
      const auto i = static_cast<std::ptrdiff_t>(i0);
      const auto j = static_cast<std::ptrdiff_t>(j0);
      tiles[r - 1](k, a + i * rsa, rsa, csa, b + j, rsb, c + i * rsc + j, rsc, tail);
    }
  }
}

}  // namespace
}  // namespace quarn::gemm
