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
//
// The packing routines at the end use 256-bit shuffles directly: every set
// that includes this header also has AVX2.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/transpose_simd.hpp"

namespace quarn::gemm {
namespace {

// One full MR x (NV * kWidth) tile from packed panels. The accumulators stay
// in registers: MR * NV of them plus NV for the B row and one broadcast.
// Unroll is how many k steps one pass of the loop takes (2 or 4): the
// AVX-512 tile's step is already 44 instructions, and four of them in one
// loop body ran about 5% slower than two on a Sapphire Rapids core.
template <class V, int MR, int NV, int Unroll = 4>
[[gnu::always_inline]] inline void micro_tile(std::size_t k, const float* a, const float* b,
                                              float* c, std::ptrdiff_t ldc, bool accumulate) {
  static_assert(Unroll == 2 || Unroll == 4);
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

  auto step = [&acc](const float* ap, const float* bp) [[gnu::always_inline]] {
    typename V::Reg bv[NV];
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) bv[j] = V::load(bp + j * W);
#pragma GCC unroll 32
    for (int i = 0; i < MR; ++i) {
      const typename V::Reg ai = V::broadcast(ap + i);
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
    }
  };
  if constexpr (Unroll == 2) {
#pragma GCC unroll 2
    for (std::size_t p = 0; p < k; ++p, a += MR, b += NR) step(a, b);
  } else {
#pragma GCC unroll 4
    for (std::size_t p = 0; p < k; ++p, a += MR, b += NR) step(a, b);
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
#pragma GCC unroll 8
    for (int j = 0; j < NV; ++j) acc[i][j] = V::zero();

  for (std::size_t p = 0; p < k; ++p) {
    if constexpr (R > NV) {
      // Tall tile: the B row stays in registers, A is broadcast row by row.
      typename V::Reg bv[NV];
#pragma GCC unroll 8
      for (int j = 0; j < NV; ++j)
        bv[j] = (Masked && j == NV - 1) ? V::load_first(b + j * W, last) : V::load(b + j * W);
#pragma GCC unroll 32
      for (int i = 0; i < R; ++i) {
        const typename V::Reg ai = V::broadcast(a + i * rsa);
#pragma GCC unroll 8
        for (int j = 0; j < NV; ++j) acc[i][j] = V::fma(ai, bv[j], acc[i][j]);
      }
    } else {
      // Wide tile: the A column stays in registers, B is loaded register by
      // register, so R + R * NV + 1 registers suffice.
      typename V::Reg av[R];
#pragma GCC unroll 8
      for (int i = 0; i < R; ++i) av[i] = V::broadcast(a + i * rsa);
#pragma GCC unroll 8
      for (int j = 0; j < NV; ++j) {
        const typename V::Reg bj =
            (Masked && j == NV - 1) ? V::load_first(b + j * W, last) : V::load(b + j * W);
#pragma GCC unroll 8
        for (int i = 0; i < R; ++i) acc[i][j] = V::fma(av[i], bj, acc[i][j]);
      }
    }
    a += csa;
    b += rsb;
  }

#pragma GCC unroll 32
  for (int i = 0; i < R; ++i) {
    float* row = c + i * rsc;
#pragma GCC unroll 8
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

// direct_tile for every register count 1..sizeof(NVs) of an R-row tile,
// indexed by registers - 1.
template <class V, int R, bool Masked, int... NVs>
constexpr auto wide_tiles(std::integer_sequence<int, NVs...>) {
  return std::array<DirectTileFn, sizeof...(NVs)>{&direct_tile<V, R, NVs + 1, Masked>...};
}

// One to three rows: a tile of MR rows would leave most accumulators idle
// and the few left would wait on each other's FMA latency, so these rows
// sweep the columns with up to eight registers per row instead.
template <class V, int R>
void direct_few_rows(std::size_t n, std::size_t k, const float* a, std::ptrdiff_t rsa,
                     std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb, float* c,
                     std::ptrdiff_t rsc) {
  constexpr int NVW = R == 1 ? 8 : (R == 2 ? 4 : 3);
  constexpr std::size_t W = V::kWidth;
  constexpr auto regs_seq = std::make_integer_sequence<int, NVW>();
  static constexpr auto full = wide_tiles<V, R, false>(regs_seq);
  static constexpr auto masked = wide_tiles<V, R, true>(regs_seq);
  for (std::size_t j0 = 0; j0 < n; j0 += NVW * W) {
    const std::size_t cols = n - j0 < NVW * W ? n - j0 : NVW * W;
    const std::size_t regs = (cols + W - 1) / W;
    const int tail = static_cast<int>(cols % W);
    const auto j = static_cast<std::ptrdiff_t>(j0);
    (tail ? masked : full)[regs - 1](k, a, rsa, csa, b + j, rsb, c + j, rsc, tail);
  }
}

// One row of C (x^T B) with long rows of B: accumulating in registers would
// walk B in strips 64 columns wide, a few hundred bytes of each of k far
// apart rows, which the prefetchers cannot follow once B leaves the cache.
// Instead C's row is the accumulator, a block of it at a time (kept in L1),
// and B is read row after row, four rows per pass so that each load and
// store of C carries four FMAs. Each element is still the FMA chain over
// p = 0, 1, ..., k - 1 from zero.
template <class V>
void direct_row_stream(std::size_t n, std::size_t k, const float* x, std::ptrdiff_t xs,
                       const float* b, std::ptrdiff_t rsb, float* c) {
  constexpr std::size_t W = V::kWidth;
  constexpr std::size_t kBlock = 2048;  // 8 KiB of C
  for (std::size_t j0 = 0; j0 < n; j0 += kBlock) {
    const std::size_t nb = n - j0 < kBlock ? n - j0 : kBlock;
    const std::size_t full = nb / W * W;
    const int tail = static_cast<int>(nb % W);
    const typename V::Mask last = V::first_lanes(tail ? tail : 1);
    float* cb = c + j0;
    for (std::size_t j = 0; j < nb; ++j) cb[j] = 0.0f;
    std::size_t p = 0;
    for (; p + 4 <= k; p += 4) {
      const auto P = static_cast<std::ptrdiff_t>(p);
      const typename V::Reg x0 = V::broadcast(x + P * xs);
      const typename V::Reg x1 = V::broadcast(x + (P + 1) * xs);
      const typename V::Reg x2 = V::broadcast(x + (P + 2) * xs);
      const typename V::Reg x3 = V::broadcast(x + (P + 3) * xs);
      const float* b0 = b + P * rsb + j0;
      const float* b1 = b0 + rsb;
      const float* b2 = b1 + rsb;
      const float* b3 = b2 + rsb;
#pragma GCC unroll 2
      for (std::size_t j = 0; j < full; j += W) {
        typename V::Reg acc = V::fma(x0, V::load(b0 + j), V::load(cb + j));
        acc = V::fma(x1, V::load(b1 + j), acc);
        acc = V::fma(x2, V::load(b2 + j), acc);
        V::store(cb + j, V::fma(x3, V::load(b3 + j), acc));
      }
      if (tail) {
        typename V::Reg acc =
            V::fma(x0, V::load_first(b0 + full, last), V::load_first(cb + full, last));
        acc = V::fma(x1, V::load_first(b1 + full, last), acc);
        acc = V::fma(x2, V::load_first(b2 + full, last), acc);
        V::store_first(cb + full, last, V::fma(x3, V::load_first(b3 + full, last), acc));
      }
    }
    for (; p < k; ++p) {
      const auto P = static_cast<std::ptrdiff_t>(p);
      const typename V::Reg xp = V::broadcast(x + P * xs);
      const float* brow = b + P * rsb + j0;
      for (std::size_t j = 0; j < full; j += W)
        V::store(cb + j, V::fma(xp, V::load(brow + j), V::load(cb + j)));
      if (tail) {
        const typename V::Reg sum = V::load_first(cb + full, last);
        V::store_first(cb + full, last, V::fma(xp, V::load_first(brow + full, last), sum));
      }
    }
  }
}

using FewRowsFn = void (*)(std::size_t, std::size_t, const float*, std::ptrdiff_t,
                           std::ptrdiff_t, const float*, std::ptrdiff_t, float*, std::ptrdiff_t);

// A single row of C wider than this streams B (direct_row_stream).
constexpr std::size_t kRowStreamMin = 256;

// The whole product without packing: strips of NV * kWidth columns (the last
// one narrower, through masks), each swept by tiles of up to MR rows; a last
// group of one to three rows goes to direct_few_rows.
//
// Every element is one FMA chain over p = 0, 1, ..., k - 1 starting from
// zero, whatever the tile, so the result does not depend on the operands'
// strides.
template <class V, int MR, int NV>
void direct_product(std::size_t m, std::size_t n, std::size_t k, const float* a,
                    std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                    float* c, std::ptrdiff_t rsc) {
  static_assert(NV == 1 || NV == 2, "direct tiles are one or two registers wide");
  static_assert(MR > 3, "the last one to three rows take the wide tiles");
  constexpr std::size_t W = V::kWidth;
  constexpr auto rows = std::make_integer_sequence<int, MR>();
  static constexpr auto one = direct_tiles<V, 1, false>(rows);
  static constexpr auto one_masked = direct_tiles<V, 1, true>(rows);
  static constexpr auto two = direct_tiles<V, NV, false>(rows);
  static constexpr auto two_masked = direct_tiles<V, NV, true>(rows);
  static constexpr FewRowsFn few[3] = {&direct_few_rows<V, 1>, &direct_few_rows<V, 2>,
                                       &direct_few_rows<V, 3>};

  const std::size_t rest = m % MR <= 3 ? m % MR : 0;
  const std::size_t main_rows = m - rest;
  for (std::size_t j0 = 0; j0 < n && main_rows > 0; j0 += NV * W) {
    const std::size_t cols = n - j0 < NV * W ? n - j0 : NV * W;
    const std::size_t regs = (cols + W - 1) / W;
    const int tail = static_cast<int>(cols % W);
    const auto& tiles = regs == 1 ? (tail ? one_masked : one) : (tail ? two_masked : two);
    for (std::size_t i0 = 0; i0 < main_rows; i0 += MR) {
      const std::size_t r = main_rows - i0 < MR ? main_rows - i0 : MR;
      const auto i = static_cast<std::ptrdiff_t>(i0);
      const auto j = static_cast<std::ptrdiff_t>(j0);
      tiles[r - 1](k, a + i * rsa, rsa, csa, b + j, rsb, c + i * rsc + j, rsc, tail);
    }
  }
  if (m == 1 && n > kRowStreamMin) return direct_row_stream<V>(n, k, a, csa, b, rsb, c);
  if (rest > 0) {
    const auto i = static_cast<std::ptrdiff_t>(main_rows);
    few[rest - 1](n, k, a + i * rsa, rsa, csa, b, rsb, c + i * rsc, rsc);
  }
}

// Fast paths for packing a full MR-row panel of A (layout in kernels.hpp).
// Returns false for strides it does not cover; the driver then packs the
// panel element by element.
//
// Rows with unit column stride (row-major A) are transposed 8 x 8 at a time.
// A group of fewer than 8 rows still stores 8 lanes, spilling into the start
// of the next k step; groups go from the last to the first and k steps
// upwards, so every spilled lane is overwritten by its true value later. The
// last spill may reach 8 floats past the panel, which the driver's buffer
// has room for.
template <class V, int MR>
bool pack_a_full(const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t kc,
                 float* dst) {
  if (csa == 1) {
    std::size_t p = 0;
    for (; p + 8 <= kc; p += 8) {
      const float* src = a + static_cast<std::ptrdiff_t>(p);
      for (int g = (MR - 1) / 8 * 8; g >= 0; g -= 8) {
        __m256 r[8];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i)
          r[i] = g + i < MR ? _mm256_loadu_ps(src + (g + i) * rsa) : _mm256_setzero_ps();
        engine::transpose8(r);
#pragma GCC unroll 8
        for (int q = 0; q < 8; ++q) _mm256_storeu_ps(dst + (p + q) * MR + g, r[q]);
      }
    }
    for (; p < kc; ++p)
      for (int i = 0; i < MR; ++i) dst[p * MR + i] = a[i * rsa + static_cast<std::ptrdiff_t>(p)];
    return true;
  }
  if (rsa == 1) {
    // Columns are contiguous: each k step is MR consecutive floats.
    constexpr int W = V::kWidth;
    const typename V::Mask tail = V::first_lanes(MR % W == 0 ? 1 : MR % W);
    for (std::size_t p = 0; p < kc; ++p) {
      const float* src = a + static_cast<std::ptrdiff_t>(p) * csa;
      float* out = dst + p * MR;
#pragma GCC unroll 4
      for (int j = 0; j + W <= MR; j += W) V::store(out + j, V::load(src + j));
      if constexpr (MR % W != 0) {
        constexpr int j = MR / W * W;
        V::store_first(out + j, tail, V::load_first(src + j, tail));
      }
    }
    return true;
  }
  return false;
}

// The same for a full NR-column panel of B. Unit column stride (row-major B)
// is a plain copy of each row; unit row stride (a transposed B) is
// transposed 8 x 8 at a time.
//
// A panel reads one short piece from each of kc rows, a pattern the
// prefetchers do not follow when the rows lie far apart (a wide B). With
// RowsAhead 0 the copy asks for the same rows' pieces of the panel after
// next; otherwise for the piece RowsAhead rows further down this panel.
// The first keeps up to 2 kc pieces in flight, and when B's rows are a
// large power of two apart those pieces share a few cache sets and evict
// each other before use: on AVX-512 (kc up to 512), with 64-byte aligned
// 16 KiB rows, asking 8 rows ahead made a 64 x 4096 x 4096 product 6%
// faster. (Either address may lie past B, so it is formed as an integer.)
template <class V, int NR, int RowsAhead = 0>
bool pack_b_full(const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, std::size_t kc,
                 float* dst) {
  static_assert(NR % 8 == 0 && NR % V::kWidth == 0);
  constexpr int W = V::kWidth;
  if (csb == 1) {
    for (std::size_t p = 0; p < kc; ++p) {
      const float* src = b + static_cast<std::ptrdiff_t>(p) * rsb;
      const auto at = reinterpret_cast<std::uintptr_t>(src);
      if constexpr (RowsAhead == 0) {
        _mm_prefetch(reinterpret_cast<const char*>(at + 2 * NR * sizeof(float)), _MM_HINT_T0);
      } else {
        const std::uintptr_t ahead = at + static_cast<std::uintptr_t>(RowsAhead * rsb) * sizeof(float);
#pragma GCC unroll 4
        for (int j = 0; j < NR; j += 16) _mm_prefetch(reinterpret_cast<const char*>(ahead + j * sizeof(float)), _MM_HINT_T0);
      }
#pragma GCC unroll 4
      for (int j = 0; j < NR; j += W) V::store(dst + p * NR + j, V::load(src + j));
    }
    return true;
  }
  if (rsb == 1) {
    std::size_t p = 0;
    for (; p + 8 <= kc; p += 8) {
      const float* src = b + static_cast<std::ptrdiff_t>(p);
      for (int g = 0; g < NR; g += 8) {
        __m256 r[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) r[j] = _mm256_loadu_ps(src + (g + j) * csb);
        engine::transpose8(r);
#pragma GCC unroll 8
        for (int q = 0; q < 8; ++q) _mm256_storeu_ps(dst + (p + q) * NR + g, r[q]);
      }
    }
    for (; p < kc; ++p)
      for (int j = 0; j < NR; ++j) dst[p * NR + j] = b[j * csb + static_cast<std::ptrdiff_t>(p)];
    return true;
  }
  return false;
}

// acc + sum over q of column q of the 8 x 8 block r (row i in r[i]) times
// x[q * xs], one FMA per column in order q = 0..7. The columns come out of
// the transpose one at a time and are consumed at once, which keeps the
// live registers few enough for several such chains side by side.
[[gnu::always_inline]] inline __m256 fma_columns(const __m256 r[8], const float* x,
                                                 std::ptrdiff_t xs, __m256 acc) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  auto x_at = [x, xs](int q) { return _mm256_broadcast_ss(x + q * xs); };
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u0, u4, 0x20), x_at(0), acc);
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u1, u5, 0x20), x_at(1), acc);
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u2, u6, 0x20), x_at(2), acc);
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u3, u7, 0x20), x_at(3), acc);
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u0, u4, 0x31), x_at(4), acc);
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u1, u5, 0x31), x_at(5), acc);
  acc = _mm256_fmadd_ps(_mm256_permute2f128_ps(u2, u6, 0x31), x_at(6), acc);
  return _mm256_fmadd_ps(_mm256_permute2f128_ps(u3, u7, 0x31), x_at(7), acc);
}

// y <- A x for `rows` (at most 8 * G) rows of an A with unit column stride,
// x and y with strides xs and ys. Eight rows share a register, gathered by
// 8 x 8 transposes of contiguous loads, and each lane accumulates one FMA
// chain over p = 0, 1, ..., k - 1 from zero: the same arithmetic, in the
// same order, as direct_product gives an n == 1 product, so the result does
// not depend on which of the two ran.
template <int G, bool Full>
void column_block(std::size_t rows, std::size_t k, const float* a, std::ptrdiff_t rsa,
                  const float* x, std::ptrdiff_t xs, float* y, std::ptrdiff_t ys) {
  auto present = [rows](int row) { return Full || static_cast<std::size_t>(row) < rows; };
  __m256 acc[G];
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_ps();
  std::size_t p = 0;
  for (; p + 8 <= k; p += 8) {
    const float* src = a + static_cast<std::ptrdiff_t>(p);
    const float* xp = x + static_cast<std::ptrdiff_t>(p) * xs;
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      __m256 r[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) {
        if (!present(8 * g + i)) {
          r[i] = _mm256_setzero_ps();
          continue;
        }
        // Sixteen rows are sixteen streams, more than the hardware
        // prefetchers follow; ask for each row 512 bytes ahead.
        _mm_prefetch(reinterpret_cast<const char*>(src + (8 * g + i) * rsa + 128), _MM_HINT_T0);
        r[i] = _mm256_loadu_ps(src + (8 * g + i) * rsa);
      }
      acc[g] = fma_columns(r, xp, xs, acc[g]);
    }
  }
  for (; p < k; ++p) {
    const __m256 xv = _mm256_broadcast_ss(x + static_cast<std::ptrdiff_t>(p) * xs);
    for (int g = 0; g < G; ++g) {
      alignas(32) float col[8];
      for (int i = 0; i < 8; ++i)
        col[i] = present(8 * g + i) ? a[(8 * g + i) * rsa + static_cast<std::ptrdiff_t>(p)] : 0.0f;
      acc[g] = _mm256_fmadd_ps(_mm256_load_ps(col), xv, acc[g]);
    }
  }
  for (int g = 0; g < G; ++g) {
    alignas(32) float out[8];
    _mm256_store_ps(out, acc[g]);
    for (int i = 0; i < 8; ++i)
      if (present(8 * g + i)) y[(8 * g + i) * ys] = out[i];
  }
}

// y <- A x over all m rows, 16 rows per pass.
inline void column_product(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t rsa,
                           const float* x, std::ptrdiff_t xs, float* y, std::ptrdiff_t ys) {
  constexpr std::size_t kRows = 16;
  std::size_t i0 = 0;
  for (; i0 + kRows <= m; i0 += kRows) {
    const auto i = static_cast<std::ptrdiff_t>(i0);
    column_block<2, true>(kRows, k, a + i * rsa, rsa, x, xs, y + i * ys, ys);
  }
  const std::size_t rows = m - i0;
  if (rows == 0) return;
  const auto i = static_cast<std::ptrdiff_t>(i0);
  if (rows <= 8)
    column_block<1, false>(rows, k, a + i * rsa, rsa, x, xs, y + i * ys, ys);
  else
    column_block<2, false>(rows, k, a + i * rsa, rsa, x, xs, y + i * ys, ys);
}

}  // namespace
}  // namespace quarn::gemm
