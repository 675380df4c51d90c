// Array conversions between the 16-bit formats and binary32, written once and
// compiled per instruction set: each translation unit gets the widest version
// its compiler flags allow (AVX-512, AVX2 with F16C, or portable code). All
// versions give the bits of the scalar functions in convert_bits.hpp.
//
// float16 uses the hardware conversions, which round to nearest-even, keep
// subnormals, and quiet NaNs the same way the scalar rule does (the native
// conversion test checks every pattern). bfloat16 uses integer arithmetic:
// the hardware bfloat16 instructions flush subnormals, so they never appear.
//
// Internal linkage for the same reason as in convert_bits.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__) || defined(__AVX512F__)
#include <immintrin.h>
#endif

#include "engine/convert_bits.hpp"

namespace quarn::engine {
namespace {

inline void widen_f16_array(const std::uint16_t* src, float* dst, std::size_t n) {
  std::size_t i = 0;
#if defined(__AVX512F__)
  for (; i + 16 <= n; i += 16) {
    __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    _mm512_storeu_ps(dst + i, _mm512_cvtph_ps(h));
  }
#endif
#if defined(__F16C__) && defined(__AVX2__)
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
  }
#endif
  for (; i < n; ++i) dst[i] = widen_f16(src[i]);
}

inline void round_f16_array(const float* src, std::uint16_t* dst, std::size_t n) {
  std::size_t i = 0;
#if defined(__AVX512F__)
  for (; i + 16 <= n; i += 16) {
    __m256i h = _mm512_cvtps_ph(_mm512_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), h);
  }
#endif
#if defined(__F16C__) && defined(__AVX2__)
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
  }
#endif
  for (; i < n; ++i) dst[i] = round_to_f16(src[i]);
}

#if defined(__AVX2__)
// Eight bfloat16 patterns (already zero-extended to 32 bits) to binary32:
// shift into the top half and set the quiet bit of NaNs.
inline __m256 widen_bf16_x8(__m256i h32) {
  __m256i bits = _mm256_slli_epi32(h32, 16);
  __m256i abs = _mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFFFF));
  __m256i nan = _mm256_cmpgt_epi32(abs, _mm256_set1_epi32(0x7F800000));
  bits = _mm256_or_si256(bits, _mm256_and_si256(nan, _mm256_set1_epi32(0x00400000)));
  return _mm256_castsi256_ps(bits);
}

// Eight binary32 values to bfloat16 patterns in the low half of each lane:
// the integer form of round_f32_bits_to_bf16.
inline __m256i round_bf16_x8(__m256 f) {
  __m256i x = _mm256_castps_si256(f);
  __m256i lsb = _mm256_and_si256(_mm256_srli_epi32(x, 16), _mm256_set1_epi32(1));
  __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(x, _mm256_add_epi32(lsb, _mm256_set1_epi32(0x7FFF))), 16);
  __m256i abs = _mm256_and_si256(x, _mm256_set1_epi32(0x7FFFFFFF));
  __m256i nan_mask = _mm256_cmpgt_epi32(abs, _mm256_set1_epi32(0x7F800000));
  __m256i quiet = _mm256_or_si256(_mm256_srli_epi32(x, 16), _mm256_set1_epi32(0x40));
  return _mm256_blendv_epi8(rounded, quiet, nan_mask);
}
#endif

#if defined(__AVX512F__)
inline __m512 widen_bf16_x16(__m512i h32) {
  __m512i bits = _mm512_slli_epi32(h32, 16);
  __m512i abs = _mm512_and_si512(bits, _mm512_set1_epi32(0x7FFFFFFF));
  __mmask16 nan = _mm512_cmpgt_epi32_mask(abs, _mm512_set1_epi32(0x7F800000));
  bits = _mm512_mask_or_epi32(bits, nan, bits, _mm512_set1_epi32(0x00400000));
  return _mm512_castsi512_ps(bits);
}

inline __m512i round_bf16_x16(__m512 f) {
  __m512i x = _mm512_castps_si512(f);
  __m512i lsb = _mm512_and_si512(_mm512_srli_epi32(x, 16), _mm512_set1_epi32(1));
  __m512i rounded = _mm512_srli_epi32(_mm512_add_epi32(x, _mm512_add_epi32(lsb, _mm512_set1_epi32(0x7FFF))), 16);
  __m512i abs = _mm512_and_si512(x, _mm512_set1_epi32(0x7FFFFFFF));
  __mmask16 nan = _mm512_cmpgt_epi32_mask(abs, _mm512_set1_epi32(0x7F800000));
  __m512i quiet = _mm512_or_si512(_mm512_srli_epi32(x, 16), _mm512_set1_epi32(0x40));
  return _mm512_mask_blend_epi32(nan, rounded, quiet);
}
#endif

// ---- Pairs of binary32 vectors, for fused kernels -----------------------------
//
// QUARN_VEC_F32_LANES is defined when this unit has vector conversions; the
// element-wise kernels then load 2 x LANES 16-bit operands straight into two
// binary32 vectors, compute, and round on the store, with no pass through
// memory.
//
// bfloat16 pairs are interleaved: unpacking the 16-bit patterns against zero
// puts each one in the top half of a 32-bit lane (which is the widening) in
// an order that the saturating pack of the store undoes exactly, so no
// permutes are needed. Both operands of a kernel are unpacked alike, so
// lanes still meet their partners; only the lane order inside a pair differs
// from memory order.
//
// These loads do not quiet signalling NaNs. Arithmetic quiets them itself
// and returns the first NaN operand's payload whether it was signalling or
// not, and the store's rounding sets the quiet bit, so the results are those
// of quiet widening bit for bit.
#if defined(__AVX512F__)
#define QUARN_VEC_F32_LANES 16
using VecF32 = __m512;
struct VecPair {
  VecF32 lo, hi;
};
inline VecF32 vec_set1(float x) { return _mm512_set1_ps(x); }
inline VecF32 vec_load(const float* p) { return _mm512_loadu_ps(p); }
// Non-temporal store; `p` must be 64-byte aligned.
inline void vec_stream(float* p, VecF32 v) { _mm512_stream_ps(p, v); }
inline VecPair pair_load_f16(const std::uint16_t* p) {
  return {_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))),
          _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16)))};
}
inline void pair_store_f16(std::uint16_t* p, VecPair v) {
  constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtps_ph(v.lo, kRound));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 16), _mm512_cvtps_ph(v.hi, kRound));
}
inline VecPair pair_load_bf16(const std::uint16_t* p) {
  __m512i h = _mm512_loadu_si512(p);
  __m512i zero = _mm512_setzero_si512();
  return {_mm512_castsi512_ps(_mm512_unpacklo_epi16(zero, h)),
          _mm512_castsi512_ps(_mm512_unpackhi_epi16(zero, h))};
}
inline __m512i round_bf16_lanes(VecF32 f) {
  __m512i x = _mm512_castps_si512(f);
  __m512i top = _mm512_srli_epi32(x, 16);
  __m512i lsb = _mm512_and_si512(top, _mm512_set1_epi32(1));
  __m512i rounded = _mm512_srli_epi32(_mm512_add_epi32(x, _mm512_add_epi32(lsb, _mm512_set1_epi32(0x7FFF))), 16);
  __mmask16 nan = _mm512_cmp_ps_mask(f, f, _CMP_UNORD_Q);
  return _mm512_mask_or_epi32(rounded, nan, top, _mm512_set1_epi32(0x40));
}
inline void pair_store_bf16(std::uint16_t* p, VecPair v) {
  _mm512_storeu_si512(p, _mm512_packus_epi32(round_bf16_lanes(v.lo), round_bf16_lanes(v.hi)));
}
// Non-temporal pair stores; `p` must be 64-byte aligned.
inline void pair_stream_f16(std::uint16_t* p, VecPair v) {
  constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
  _mm256_stream_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtps_ph(v.lo, kRound));
  _mm256_stream_si256(reinterpret_cast<__m256i*>(p + 16), _mm512_cvtps_ph(v.hi, kRound));
}
inline void pair_stream_bf16(std::uint16_t* p, VecPair v) {
  _mm512_stream_si512(reinterpret_cast<__m512i*>(p), _mm512_packus_epi32(round_bf16_lanes(v.lo), round_bf16_lanes(v.hi)));
}
#elif defined(__AVX2__) && defined(__F16C__)
#define QUARN_VEC_F32_LANES 8
using VecF32 = __m256;
struct VecPair {
  VecF32 lo, hi;
};
inline VecF32 vec_set1(float x) { return _mm256_set1_ps(x); }
inline VecF32 vec_load(const float* p) { return _mm256_loadu_ps(p); }
// Non-temporal store; `p` must be 32-byte aligned.
inline void vec_stream(float* p, VecF32 v) { _mm256_stream_ps(p, v); }
inline VecPair pair_load_f16(const std::uint16_t* p) {
  return {_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
          _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)))};
}
inline void pair_store_f16(std::uint16_t* p, VecPair v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(v.lo, _MM_FROUND_TO_NEAREST_INT));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 8), _mm256_cvtps_ph(v.hi, _MM_FROUND_TO_NEAREST_INT));
}
inline VecPair pair_load_bf16(const std::uint16_t* p) {
  __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i zero = _mm256_setzero_si256();
  return {_mm256_castsi256_ps(_mm256_unpacklo_epi16(zero, h)),
          _mm256_castsi256_ps(_mm256_unpackhi_epi16(zero, h))};
}
// round_bf16_x8 with the NaN test done by one unordered compare.
inline __m256i round_bf16_lanes(VecF32 f) {
  __m256i x = _mm256_castps_si256(f);
  __m256i top = _mm256_srli_epi32(x, 16);
  __m256i lsb = _mm256_and_si256(top, _mm256_set1_epi32(1));
  __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(x, _mm256_add_epi32(lsb, _mm256_set1_epi32(0x7FFF))), 16);
  __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(f, f, _CMP_UNORD_Q));
  return _mm256_blendv_epi8(rounded, _mm256_or_si256(top, _mm256_set1_epi32(0x40)), nan);
}
inline void pair_store_bf16(std::uint16_t* p, VecPair v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                      _mm256_packus_epi32(round_bf16_lanes(v.lo), round_bf16_lanes(v.hi)));
}
// Non-temporal pair stores; `p` must be 32-byte aligned.
inline void pair_stream_f16(std::uint16_t* p, VecPair v) {
  _mm_stream_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(v.lo, _MM_FROUND_TO_NEAREST_INT));
  _mm_stream_si128(reinterpret_cast<__m128i*>(p + 8), _mm256_cvtps_ph(v.hi, _MM_FROUND_TO_NEAREST_INT));
}
inline void pair_stream_bf16(std::uint16_t* p, VecPair v) {
  _mm256_stream_si256(reinterpret_cast<__m256i*>(p),
                      _mm256_packus_epi32(round_bf16_lanes(v.lo), round_bf16_lanes(v.hi)));
}
#endif

inline void widen_bf16_array(const std::uint16_t* src, float* dst, std::size_t n) {
  std::size_t i = 0;
#if defined(__AVX512F__)
  for (; i + 16 <= n; i += 16) {
    __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    _mm512_storeu_ps(dst + i, widen_bf16_x16(_mm512_cvtepu16_epi32(h)));
  }
#endif
#if defined(__AVX2__)
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    _mm256_storeu_ps(dst + i, widen_bf16_x8(_mm256_cvtepu16_epi32(h)));
  }
#endif
  for (; i < n; ++i) dst[i] = widen_bf16(src[i]);
}

inline void round_bf16_array(const float* src, std::uint16_t* dst, std::size_t n) {
  std::size_t i = 0;
#if defined(__AVX512F__)
  for (; i + 16 <= n; i += 16) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm512_cvtepi32_epi16(round_bf16_x16(_mm512_loadu_ps(src + i))));
  }
#endif
#if defined(__AVX2__)
  for (; i + 16 <= n; i += 16) {
    __m256i lo = round_bf16_x8(_mm256_loadu_ps(src + i));
    __m256i hi = round_bf16_x8(_mm256_loadu_ps(src + i + 8));
    // packus works within 128-bit lanes; the permute restores element order.
    __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
  }
#endif
  for (; i < n; ++i) dst[i] = round_to_bf16(src[i]);
}

}  // namespace
}  // namespace quarn::engine
