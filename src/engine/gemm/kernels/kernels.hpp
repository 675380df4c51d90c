// The single-precision GEMM kernels, one set per instruction set, and the
// table the driver chooses from. Every set has the same two entry points:
//
//  - a micro-kernel that multiplies a packed MR x kc panel of A by a packed
//    kc x NR panel of B into one full MR x NR tile of C (unit column stride),
//    either overwriting the tile or adding to it;
//  - a direct kernel for small products that reads A through any strides and
//    B and C through unit column strides, with no packing at all.
//
// Packed layouts: A panel element (i, p) sits at a[p * MR + i], B panel
// element (p, j) at b[p * NR + j]; both panels start 64-byte aligned.
#pragma once

#include <cstddef>
#include <span>

#include "engine/cpu_features.hpp"

namespace quarn::gemm {

using MicroKernel = void (*)(std::size_t k, const float* a, const float* b, float* c,
                             std::ptrdiff_t ldc, bool accumulate);

// C <- A * B for an m x k A with strides (rsa, csa), a k x n B with row
// stride rsb and unit column stride, and an m x n C with row stride rsc and
// unit column stride. C's previous contents are never read. k may be 0.
// Each element of C is one FMA chain over p = 0, 1, ..., k - 1 from zero,
// whichever tile computes it.
using DirectKernel = void (*)(std::size_t m, std::size_t n, std::size_t k, const float* a,
                              std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b,
                              std::ptrdiff_t rsb, float* c, std::ptrdiff_t rsc);

// y <- A x: the n == 1 product for an m x k A with unit column stride, x and
// y with strides xs and ys. Must give exactly what the direct kernel gives
// for the same product (one FMA chain per element, p in order), so that the
// choice between the two never shows in the result.
using ColumnKernel = void (*)(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t rsa,
                              const float* x, std::ptrdiff_t xs, float* y, std::ptrdiff_t ys);

// Optional fast packing of one full panel (MR rows of A, or NR columns of
// B) with the layout above. Returns false when it does not handle the
// strides, and the driver packs the panel element by element instead. The
// A routine may write up to 8 floats past the end of its panel.
using PackA = bool (*)(const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t kc,
                       float* dst);
using PackB = bool (*)(const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, std::size_t kc,
                       float* dst);

// Bounds on every set's register tile: the driver's stack scratch (an edge
// tile of C, the row pointers of an A panel) is sized by them, and the table
// of sets is checked against them when it is compiled.
inline constexpr std::size_t kMaxMR = 16;
inline constexpr std::size_t kMaxTile = 16 * 32;

struct SgemmKernel {
  const char* name;
  std::size_t mr, nr;
  // Cache blocking: a kc x NR panel of B stays in L1 while the mc x kc block
  // of A streams from L2; the kc x nc block of B lives in L3. kc_one_block
  // takes kc's place when all of A's rows fit in one block: each B panel
  // then serves only a few tiles before the next is packed, and the panel
  // must stay in L1 to be worth packing, where with many tiles per panel
  // a longer kc (fewer passes over C) pays more.
  std::size_t mc, kc, nc, kc_one_block;
  bool (*supported)(const engine::CpuFeatures&);
  MicroKernel micro;
  DirectKernel direct;
  PackA pack_a;          // may be null
  PackB pack_b;          // may be null
  ColumnKernel column;   // may be null
};

// Every kernel set compiled into this build, fastest first; the portable
// reference set is last and always supported.
std::span<const SgemmKernel> sgemm_kernels();

// The reference set, which the tests use as the yardstick for the others.
const SgemmKernel& sgemm_ref_kernel();

// Entry points of the individual sets.
void sgemm_ref_4x8(std::size_t k, const float* a, const float* b, float* c, std::ptrdiff_t ldc,
                   bool accumulate);
void sgemm_ref_direct(std::size_t m, std::size_t n, std::size_t k, const float* a,
                      std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                      float* c, std::ptrdiff_t rsc);

#if defined(__x86_64__)
void sgemm_avx2_6x16(std::size_t k, const float* a, const float* b, float* c, std::ptrdiff_t ldc,
                     bool accumulate);
void sgemm_avx2_direct(std::size_t m, std::size_t n, std::size_t k, const float* a,
                       std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                       float* c, std::ptrdiff_t rsc);
bool sgemm_avx2_pack_a(const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t kc,
                       float* dst);
void sgemm_avx2_column(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t rsa,
                       const float* x, std::ptrdiff_t xs, float* y, std::ptrdiff_t ys);
bool sgemm_avx2_pack_b(const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, std::size_t kc,
                       float* dst);
void sgemm_avx512_6x64(std::size_t k, const float* a, const float* b, float* c,
                        std::ptrdiff_t ldc, bool accumulate);
void sgemm_avx512_direct(std::size_t m, std::size_t n, std::size_t k, const float* a,
                         std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b,
                         std::ptrdiff_t rsb, float* c, std::ptrdiff_t rsc);
bool sgemm_avx512_pack_a(const float* a, std::ptrdiff_t rsa, std::ptrdiff_t csa, std::size_t kc,
                         float* dst);
void sgemm_avx512_column(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t rsa,
                         const float* x, std::ptrdiff_t xs, float* y, std::ptrdiff_t ys);
bool sgemm_avx512_pack_b(const float* b, std::ptrdiff_t rsb, std::ptrdiff_t csb, std::size_t kc,
                         float* dst);
#endif

}  // namespace quarn::gemm
