// The bfloat16 GEMM kernel sets: products of bfloat16 operands accumulated
// in float32 on the pairwise dot-product instruction, and the table the
// driver (bf16gemm.cpp) chooses from.
//
// Packed layouts. The k axis is taken in pairs: pair q holds k = 2q and
// k = 2q + 1 in one 32-bit word, k = 2q in the upper half and k = 2q + 1 in
// the lower one. The instruction adds the upper half's product to the lane
// first and the lower half's next, so every lane sees its products in k
// order, the same FMA chain as the float32 product. An odd k leaves the
// lower half of the last pair zero, whose product adds nothing.
//   A panel (MR rows):    word (q, i) at a[q * MR + i]
//   B panel (NR columns): word (q, j) at b[q * NR + j]
// Both panels start 64-byte aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/cpu_features.hpp"

namespace quarn::gemm {

// One full MR x NR tile of C (unit column stride, row stride ldc) from
// `pairs` packed pairs of A and B. With `resume`, the tile's current values
// are where each lane's chain starts, so a product split along k into
// blocks is still one chain per element; otherwise the chain starts at +0.
using Bf16MicroKernel = void (*)(std::size_t pairs, const std::uint32_t* a,
                                 const std::uint32_t* b, float* c, std::ptrdiff_t ldc,
                                 bool resume);

// Optional fast packing of one full panel: kc values of k for each of its
// lanes (the MR rows of an A panel or the NR columns of a B panel), lane l's
// value p at src[l * lane_stride + p * k_stride], into the layout above.
// Returns false for strides it does not cover; the driver then packs the
// panel element by element.
using Bf16Pack = bool (*)(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                          std::ptrdiff_t k_stride, std::size_t kc, std::uint32_t* dst);

// True when none of the n values (bfloat16 bit patterns) would make the dot
// instruction's result differ from the float32 FMA chain: see
// bf16_dot_exact_value.
using Bf16Scan = bool (*)(const std::uint16_t* values, std::size_t n);

// The magnitudes the dot path accepts, as bfloat16 bit patterns with the
// sign cleared: zero, or an exponent field from 76 to 190, that is
// 2^-51 <= |x| < 2^64. Every product of two such values is then a float32
// number exact and at least 2^-102 (or zero), and every partial sum a
// multiple of 2^-116, so nothing is ever subnormal (the instruction flushes
// those) and nothing rounds but the additions, exactly as in the FMA chain.
// NaN and infinity lie outside the range.
inline constexpr std::uint16_t kBf16DotLow = 76 << 7;
inline constexpr std::uint16_t kBf16DotHigh = 191 << 7;  // exclusive

inline bool bf16_dot_exact_value(std::uint16_t bits) {
  const std::uint16_t magnitude = bits & 0x7fff;
  return magnitude == 0 ||
         static_cast<std::uint16_t>(magnitude - kBf16DotLow) < kBf16DotHigh - kBf16DotLow;
}

struct Bf16Kernel {
  const char* name;
  std::size_t mr, nr;
  // Cache blocking in elements of k (kc even): a kc x NR panel of B stays in
  // L1 while the mc x kc block of A streams from L2.
  std::size_t mc, kc, nc;
  bool (*supported)(const engine::CpuFeatures&);
  Bf16MicroKernel micro;
  Bf16Pack pack_a;  // may be null
  Bf16Pack pack_b;  // may be null
  Bf16Scan scan;    // may be null: the driver checks value by value
};

// Bounds on every set's tile, for the driver's stack scratch.
inline constexpr std::size_t kBf16MaxMR = 16;
inline constexpr std::size_t kBf16MaxTile = 16 * 32;

// The sets that run the instruction itself, fastest first; empty on builds
// without them.
std::span<const Bf16Kernel> bf16_kernels();

// A set whose micro-kernel emulates the instruction in portable code, for
// the tests: it runs the driver's packing, blocking and edge handling on any
// machine, and is held against the instruction where the CPU has it. Too
// slow to serve products.
const Bf16Kernel& bf16_emulated_kernel();

// The instruction's arithmetic on one float32 lane, in portable code: the
// upper halves' product added first, then the lower halves', each addition
// rounded to nearest even; subnormal inputs (the bfloat16 values and the
// lane) read as zero and a subnormal sum is flushed to zero.
float bf16_dot_lane(float acc, std::uint32_t a, std::uint32_t b);

#if defined(__x86_64__)
void bf16gemm_avx512bf16_14x32(std::size_t pairs, const std::uint32_t* a,
                               const std::uint32_t* b, float* c, std::ptrdiff_t ldc, bool resume);
bool bf16gemm_avx512bf16_pack_a(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                                std::ptrdiff_t k_stride, std::size_t kc, std::uint32_t* dst);
bool bf16gemm_avx512bf16_pack_b(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                                std::ptrdiff_t k_stride, std::size_t kc, std::uint32_t* dst);
bool bf16gemm_avx512bf16_scan(const std::uint16_t* values, std::size_t n);
// The instruction on 16 lanes, for the tests' check of the emulation.
void bf16gemm_avx512bf16_dot16(float* acc, const std::uint32_t* a, const std::uint32_t* b);
#endif

}  // namespace quarn::gemm
