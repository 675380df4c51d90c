// The bfloat16 kernels on the AVX512_BF16 dot-product instruction: a 14 x 32
// tile (28 zmm accumulators, two B registers and one broadcast pair, as the
// float32 AVX-512 tile), vector packing into the pair layout, and the scan
// that decides whether the instruction may serve a product at all.
#include <immintrin.h>

#include "engine/gemm/kernels/bf16_kernels.hpp"
#include "engine/gemm/kernels/bf16_tile.hpp"
#include "engine/transpose_simd.hpp"

namespace quarn::gemm {

namespace {

struct Avx512Bf16 {
  using Reg = __m512;
  using Pairs = __m512i;
  static constexpr int kWidth = 16;

  static Reg zero() { return _mm512_setzero_ps(); }
  static Reg load(const float* p) { return _mm512_loadu_ps(p); }
  static void store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
  static Pairs load_pairs(const std::uint32_t* p) { return _mm512_load_si512(p); }
  static Pairs broadcast_pair(const std::uint32_t* p) {
    return _mm512_set1_epi32(static_cast<int>(*p));
  }
  static Reg dot(Reg acc, Pairs a, Pairs b) {
    return _mm512_dpbf16_ps(acc, reinterpret_cast<__m512bh>(a), reinterpret_cast<__m512bh>(b));
  }
};

constexpr int kMR = 14;
constexpr int kNR = 32;

// The word of pair q for one lane whose k values lie at p[0], p[step]: k = 2q
// in the upper half. `second` is false past the end of an odd k.
inline std::uint32_t pair_word(const std::uint16_t* p, std::ptrdiff_t step, bool second) {
  return static_cast<std::uint32_t>(p[0]) << 16 | (second ? p[step] : 0u);
}

// A panel of L lanes whose k values are contiguous (row-major A, or a
// transposed B): a 32-bit load takes a whole pair, k = 2q in its lower half,
// so each word is rotated by 16 and eight pairs of eight lanes at a time are
// transposed into place.
template <int L>
void pack_k_contiguous(const std::uint16_t* src, std::ptrdiff_t ls, std::size_t kc,
                       std::uint32_t* dst) {
  const std::size_t full_pairs = kc / 2;
  std::size_t q = 0;
  for (; q + 8 <= full_pairs; q += 8) {
    const std::uint16_t* s = src + 2 * static_cast<std::ptrdiff_t>(q);
    for (int g = 0; g < L; g += 8) {
      const int lanes = L - g < 8 ? L - g : 8;
      __m256i r[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i)
        r[i] = i < lanes ? _mm256_rol_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                                                s + (g + i) * ls)),
                                            16)
                         : _mm256_setzero_si256();
      engine::transpose8(r);
      const __mmask8 keep = static_cast<__mmask8>((1u << lanes) - 1u);
#pragma GCC unroll 8
      for (int t = 0; t < 8; ++t) _mm256_mask_storeu_epi32(dst + (q + t) * L + g, keep, r[t]);
    }
  }
  for (; q < (kc + 1) / 2; ++q)
    for (int l = 0; l < L; ++l)
      dst[q * L + l] = pair_word(src + l * ls + 2 * static_cast<std::ptrdiff_t>(q), 1, 2 * q + 1 < kc);
}

// A panel of L (at most 32) lanes that are contiguous (a transposed A, or
// row-major B): the two rows of k values of a pair are interleaved 16 bits
// at a time, the row of k = 2q into the upper halves.
template <int L>
void pack_lanes_contiguous(const std::uint16_t* src, std::ptrdiff_t ks, std::size_t kc,
                           std::uint32_t* dst) {
  static_assert(L <= 32);
  const __mmask32 lanes = L == 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << L) - 1u);
  const __m512i first_half = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i second_half = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  for (std::size_t q = 0; 2 * q < kc; ++q) {
    const std::uint16_t* s = src + 2 * static_cast<std::ptrdiff_t>(q) * ks;
    const __m512i even = _mm512_maskz_loadu_epi16(lanes, s);
    const __m512i odd = 2 * q + 1 < kc ? _mm512_maskz_loadu_epi16(lanes, s + ks) : _mm512_setzero_si512();
    // Within each 128-bit lane: words 0-3 of the lane's eight in lo, 4-7 in hi.
    const __m512i lo = _mm512_unpacklo_epi16(odd, even);
    const __m512i hi = _mm512_unpackhi_epi16(odd, even);
    std::uint32_t* out = dst + q * L;
    const __m512i words0 = _mm512_permutex2var_epi64(lo, first_half, hi);
    if constexpr (L <= 16) {
      _mm512_mask_storeu_epi32(out, static_cast<__mmask16>((1u << L) - 1u), words0);
    } else {
      _mm512_storeu_si512(out, words0);
      const __m512i words1 = _mm512_permutex2var_epi64(lo, second_half, hi);
      _mm512_mask_storeu_epi32(out + 16, static_cast<__mmask16>((1u << (L - 16)) - 1u), words1);
    }
  }
}

template <int L>
bool pack_panel(const std::uint16_t* src, std::ptrdiff_t ls, std::ptrdiff_t ks, std::size_t kc,
                std::uint32_t* dst) {
  if (ks == 1) {
    pack_k_contiguous<L>(src, ls, kc, dst);
    return true;
  }
  if (ls == 1) {
    pack_lanes_contiguous<L>(src, ks, kc, dst);
    return true;
  }
  return false;
}

// Lanes of 32 bfloat16 values outside the dot path's range (see
// bf16_dot_exact_value), as a mask.
inline __mmask32 out_of_range(__m512i x) {
  const __m512i magnitude = _mm512_and_si512(x, _mm512_set1_epi16(0x7fff));
  const __m512i shifted = _mm512_sub_epi16(magnitude, _mm512_set1_epi16(kBf16DotLow));
  const __mmask32 nonzero = _mm512_test_epi16_mask(magnitude, magnitude);
  return _mm512_mask_cmpge_epu16_mask(nonzero, shifted,
                                      _mm512_set1_epi16(kBf16DotHigh - kBf16DotLow));
}

}  // namespace

void bf16gemm_avx512bf16_14x32(std::size_t pairs, const std::uint32_t* a,
                               const std::uint32_t* b, float* c, std::ptrdiff_t ldc,
                               bool resume) {
  bf16_tile<Avx512Bf16, kMR, kNR / 16>(pairs, a, b, c, ldc, resume);
}

bool bf16gemm_avx512bf16_pack_a(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                                std::ptrdiff_t k_stride, std::size_t kc, std::uint32_t* dst) {
  return pack_panel<kMR>(src, lane_stride, k_stride, kc, dst);
}

bool bf16gemm_avx512bf16_pack_b(const std::uint16_t* src, std::ptrdiff_t lane_stride,
                                std::ptrdiff_t k_stride, std::size_t kc, std::uint32_t* dst) {
  return pack_panel<kNR>(src, lane_stride, k_stride, kc, dst);
}

bool bf16gemm_avx512bf16_scan(const std::uint16_t* values, std::size_t n) {
  // Four registers per step keep the loads ahead of the compares; the
  // verdict is looked at once per 4096 values, so a bad value early in a
  // large operand ends the scan early without a branch per vector.
  std::size_t i = 0;
  while (i + 128 <= n) {
    const std::size_t stop = n - i >= 4096 ? i + 4096 : n / 128 * 128;
    __mmask32 bad = 0;
    for (; i < stop; i += 128) {
      const __mmask32 b0 = out_of_range(_mm512_loadu_si512(values + i));
      const __mmask32 b1 = out_of_range(_mm512_loadu_si512(values + i + 32));
      const __mmask32 b2 = out_of_range(_mm512_loadu_si512(values + i + 64));
      const __mmask32 b3 = out_of_range(_mm512_loadu_si512(values + i + 96));
      bad = _kor_mask32(bad, _kor_mask32(_kor_mask32(b0, b1), _kor_mask32(b2, b3)));
    }
    if (bad != 0) return false;
  }
  for (; i < n; i += 32) {
    const __mmask32 lanes =
        n - i >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((1u << (n - i)) - 1u);
    if ((out_of_range(_mm512_maskz_loadu_epi16(lanes, values + i)) & lanes) != 0) return false;
  }
  return true;
}

void bf16gemm_avx512bf16_dot16(float* acc, const std::uint32_t* a, const std::uint32_t* b) {
  _mm512_storeu_ps(acc, Avx512Bf16::dot(_mm512_loadu_ps(acc), _mm512_loadu_si512(a),
                                        _mm512_loadu_si512(b)));
}

}  // namespace quarn::gemm
