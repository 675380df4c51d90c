// binary32 exp, log, tanh and sigmoid, written once for a scalar `float` and
// for the unit's VecF32. The two forms run the same IEEE operations in the
// same order, so an element gets the same bits whether a vector loop or a
// scalar tail computes it. Nothing here calls the C library.
//
// Every function stays within one ulp of the correctly rounded result over
// the whole binary32 range (tests/native/test_maps_accuracy.cpp measures it):
//  - exp: Cody-Waite reduction x = n ln2 + r with a split ln2, a minimax
//    polynomial for e^r - 1, and 2^n applied in two halves so that results
//    near overflow and in the subnormal range are scaled without losing
//    the integer bits (subnormal results are rounded from 24 bits).
//  - log: exponent and mantissa taken from the bits (subnormals scaled up
//    first), the mantissa folded into [sqrt(1/2), sqrt(2)), and
//    log(1 + f) = f + f^2 Q(f).
//  - tanh is an odd polynomial below 0.625. Above, without AVX-512, it
//    needs 1 / (1 + e^z). Rounding e^z and then 1 + e^z before the
//    division would cost up to an ulp on its own, so both are kept as a
//    head and a tail, and the reciprocal is corrected by its exact residual.
//    With AVX-512, whose two-register permute reads a 32-entry table per
//    instruction, a polynomial per interval (32 of them up to 10) takes
//    half the instructions.
//  - sigmoid is 1 / (1 + e) or e / (1 + e) with e = e^-|x|, the same head
//    and tail and residual correction, but e itself from a cheaper
//    reduction and a shorter polynomial: speed bought with part of the
//    ulp. All 2^32 inputs are within one ulp, about 0.14% of them not
//    correctly rounded. With AVX-512, tiny results are formed without any
//    step rounding to a subnormal (see there).
//
// fma_like is a fused multiply-add wherever the unit has one and a separate
// multiply and add otherwise, for scalars and vectors alike. Results can
// therefore differ in the last bit between kernel tables, never between
// elements. GCC may contract a plain a * b + c in C++ even under -std=c++20
// when the unit has FMA, and need not do it alike in scalar and vector code,
// so no plain product here feeds a sum: every multiply-add is spelled out.
//
// Internal linkage, as in kernels.hpp: each instruction set instantiates its
// own copy.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/convert_simd.hpp"

namespace quarn::engine::elementwise {
namespace {
namespace vmath {

// ---- Lanes and their bits ------------------------------------------------------

inline std::uint32_t as_bits(float x) { return std::bit_cast<std::uint32_t>(x); }
inline float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }
inline std::int32_t as_signed(std::uint32_t u) { return static_cast<std::int32_t>(u); }
inline std::uint32_t as_unsigned(std::int32_t i) { return static_cast<std::uint32_t>(i); }
inline float to_float(std::int32_t i) { return static_cast<float>(i); }

inline float fma_like(float a, float b, float c) {
#if defined(__FMA__)
  return __builtin_fmaf(a, b, c);
#else
  return a * b + c;
#endif
}

// c - a b, fused exactly where fma_like is.
inline float fnma_like(float a, float b, float c) {
#if defined(__FMA__)
  return __builtin_fmaf(-a, b, c);
#else
  return c - a * b;
#endif
}

#if defined(QUARN_VEC_F32_LANES)
typedef std::int32_t VecI32 __attribute__((vector_size(sizeof(VecF32))));
typedef std::uint32_t VecU32 __attribute__((vector_size(sizeof(VecF32))));

inline VecU32 as_bits(VecF32 x) { return std::bit_cast<VecU32>(x); }
inline VecF32 from_bits(VecU32 u) { return std::bit_cast<VecF32>(u); }
inline VecI32 as_signed(VecU32 u) { return std::bit_cast<VecI32>(u); }
inline VecU32 as_unsigned(VecI32 i) { return std::bit_cast<VecU32>(i); }
inline VecF32 to_float(VecI32 i) { return __builtin_convertvector(i, VecF32); }

inline VecF32 fma_like(VecF32 a, VecF32 b, VecF32 c) {
#if defined(__FMA__) && defined(__AVX512F__)
  return _mm512_fmadd_ps(a, b, c);
#elif defined(__FMA__)
  return _mm256_fmadd_ps(a, b, c);
#else
  return a * b + c;
#endif
}

inline VecF32 fnma_like(VecF32 a, VecF32 b, VecF32 c) {
#if defined(__FMA__) && defined(__AVX512F__)
  return _mm512_fnmadd_ps(a, b, c);
#elif defined(__FMA__)
  return _mm256_fnmadd_ps(a, b, c);
#else
  return c - a * b;
#endif
}
#endif

// A constant in every lane.
template <class T>
inline T splat(float c) {
  if constexpr (std::is_same_v<T, float>) {
    return c;
  } else {
    return T{} + c;
  }
}
template <class I>
inline I splat_int(std::int32_t c) {
  if constexpr (std::is_same_v<I, std::int32_t>) {
    return c;
  } else {
    return I{} + c;
  }
}

// a - q * d exactly, for q the rounded quotient a / d (that remainder is
// always representable). With a fused multiply-add it is one instruction;
// without, the product is split into halves (Dekker) so it is exact too.
template <class T>
inline T quotient_residual(T q, T d, T a) {
#if defined(__FMA__)
  return fnma_like(q, d, a);
#else
  const T split = splat<T>(4097.0f);
  T cq = split * q, cd = split * d;
  T qh = cq - (cq - q), dh = cd - (cd - d);
  T ql = q - qh, dl = d - dh;
  T p = q * d;
  T e = ((qh * dh - p) + qh * dl + ql * dh) + ql * dl;
  return (a - p) - e;
#endif
}

template <class T>
inline T copy_sign(T magnitude, T sign) {
  return from_bits(as_bits(magnitude) | (as_bits(sign) & 0x80000000u));
}

template <class T>
inline T abs(T x) {
  return from_bits(as_bits(x) & 0x7FFFFFFFu);
}

// max(lo, x) and min(hi, x) that let NaN through. The x86 min and max
// return their second operand when the comparison fails, as the scalar forms
// spell out. The 512-bit forms are the zero-masking ones with every lane on
// (the same instruction): GCC 12's plain forms pass a self-initialised
// placeholder that it reports as uninitialised in sanitizer builds.
inline float at_least(float x, float lo) { return lo > x ? lo : x; }
inline float at_most(float x, float hi) { return hi < x ? hi : x; }
#if defined(QUARN_VEC_F32_LANES)
inline VecF32 at_least(VecF32 x, float lo) {
#if defined(__AVX512F__)
  return _mm512_maskz_max_ps(static_cast<__mmask16>(0xFFFF), vec_set1(lo), x);
#else
  return _mm256_max_ps(vec_set1(lo), x);
#endif
}
inline VecF32 at_most(VecF32 x, float hi) {
#if defined(__AVX512F__)
  return _mm512_maskz_min_ps(static_cast<__mmask16>(0xFFFF), vec_set1(hi), x);
#else
  return _mm256_min_ps(vec_set1(hi), x);
#endif
}
#endif

// 2^n for n in [-126, 127].
template <class I>
inline auto pow2(I n) {
  return from_bits((as_unsigned(n) + 127u) << 23);
}

// ---- exp ------------------------------------------------------------------------

// ln 2 in two parts: kLn2Hi has 15 significant bits, so n * kLn2Hi is exact
// for every |n| below 512.
constexpr float kLog2e = 0x1.715476p+0f;
constexpr float kLn2Hi = 0x1.62e4p-1f;
constexpr float kLn2Lo = 0x1.7f7d1cp-20f;
// Adding 1.5 * 2^23 rounds to an integer, which then sits in the low bits.
constexpr float kRoundShift = 0x1.8p23f;

// e^x = 2^n (1 + r + lo) for |x| <= 104 (or NaN), n in [-150, 150]: r is
// the reduced argument, |r| <= ln2 / 2 plus a hair, and lo = e^r - 1 - r
// including the rounding error of r itself, so 1 + r + lo is good to about
// 2^-28.
template <class T>
struct ExpParts {
  decltype(as_signed(as_bits(T{}))) n;
  T r, lo;
};

template <class T>
inline ExpParts<T> exp_parts(T x) {
  const T k = fma_like(x, splat<T>(kLog2e), splat<T>(kRoundShift));
  const T nf = k - kRoundShift;
  ExpParts<T> p;
  p.n = as_signed(as_bits(k) - as_bits(kRoundShift));
  // x - n ln2hi is exact (n ln2hi is, and it lies within a factor two of x).
  const T r_hi = fnma_like(nf, splat<T>(kLn2Hi), x);
  p.r = fnma_like(nf, splat<T>(kLn2Lo), r_hi);
  const T c = fnma_like(nf, splat<T>(kLn2Lo), r_hi - p.r);  // what rounding r lost
  // e^r - 1 - r = r^2 Q(r), minimax on [-0.35, 0.35] (error below 2^-31).
  T q = splat<T>(0x1.a24b38p-13f);
  q = fma_like(q, p.r, splat<T>(0x1.6d2b16p-10f));
  q = fma_like(q, p.r, splat<T>(0x1.111p-7f));
  q = fma_like(q, p.r, splat<T>(0x1.555506p-5f));
  q = fma_like(q, p.r, splat<T>(0x1.555556p-3f));
  q = fma_like(q, p.r, splat<T>(0x1p-1f));
  // e^(r + c) ~ e^r (1 + c): the tail takes c (1 + r) as well.
  p.lo = fma_like(p.r * p.r, q, fma_like(c, p.r, c));
  return p;
}

// 2^n (1 + r + lo) for n in [-150, 128], applied as 2^n1 * 2^n2 with both
// halves normal. 1 + r is split exactly into h + h_lo, so the first product
// is one rounding of a sum good to 2^-31 (both products with the power of
// two are exact); the second is exact unless the result overflows or is
// subnormal, where it is the final rounding.
template <class T>
inline T exp_from_parts(const ExpParts<T>& p) {
  const T h = 1.0f + p.r;
  const T h_lo = (1.0f - h) + p.r;
  const auto n1 = p.n >> 1;
  const auto n2 = p.n - n1;
  const T s1 = pow2(n1);
  return fma_like(s1, h_lo + p.lo, s1 * h) * pow2(n2);
}

template <class T>
inline T exp(T x) {
  // Above 89 the result is +inf, below -104 it rounds to zero either way;
  // clamping keeps n in range. NaN fails both tests and goes through.
  const T r = exp_from_parts(exp_parts(at_least(at_most(x, 89.0f), -104.0f)));
  return x != x ? x + x : r;  // NaN: the input's, quieted, in every lane
}

// ---- 1 / (1 + e^z) ----------------------------------------------------------------

// 1 / (one + s (1 + r + lo)): with one = 1 and s = 2^n, 1 / (1 + e^z) from
// the parts of e^z; a caller may scale one and s alike to keep them normal.
// Within about half an ulp plus 2^-28.
template <class T>
inline T inv_one_plus_exp(const ExpParts<T>& p, T s, float one) {
  // e^z = s (1 + w_hi + w_lo) = e_hi + e_lo, head and tail of one sum. The
  // products with s are exact (a power of two), so e_lo is the exact
  // rounding error of e_hi plus the small s w_lo.
  const T w_hi = p.r + p.lo;
  const T w_lo = (p.r - w_hi) + p.lo;
  const T e_hi = fma_like(s, w_hi, s);
  const T e_lo = fma_like(s, w_lo, fma_like(s, w_hi, s - e_hi));
  // one + e^z = d_hi + d_lo: the rounding error of one + e_hi is exact when
  // the larger addend goes first.
  const T d_hi = one + e_hi;
  const T d_lo = ((at_least(e_hi, one) - d_hi) + at_most(e_hi, one)) + e_lo;
  // q = 1 / d_hi rounded; 1 - q d_hi is exact, and with the tail it is the
  // relative error of q, which one more step removes.
  const T q = 1.0f / d_hi;
  const T e = fnma_like(q, d_lo, quotient_residual(q, d_hi, splat<T>(1.0f)));
  return fma_like(q, e, q);
}

// ---- tanh and sigmoid ---------------------------------------------------------------

#if defined(__AVX512F__)
// tanh on [0.625, 10) where the unit has AVX-512: 32 intervals, the octaves
// from 0.5 to 16 in eight each (so [0.625, 0.75) up to [9, 10)), picked by
// the exponent and the three leading fraction bits of x, which are bits 20
// and up of its pattern; their low five bits run through all 32 values
// once over the range, starting at 18 for 0.625. On each interval a
// degree-5 polynomial in x less the interval's centre interpolates tanh at
// the Chebyshev nodes, with the constant term as a head and a tail
// (tools/tanh_table.py computes them; its emulation of the evaluation
// below stays within 0.54 ulp). Each row is two registers, and a lane's
// coefficient is one two-register permute away.
alignas(64) inline constexpr float kTanhTable[7][32] = {
    // c0_hi
    {0x1.f1994ep-1f, 0x1.f73776p-1f, 0x1.faa794p-1f, 0x1.fcc04cp-1f, 0x1.fe06ecp-1f, 0x1.fecd6cp-1f,
     0x1.ff45f6p-1f, 0x1.ff8f22p-1f, 0x1.ffcaacp-1f, 0x1.ffec62p-1f, 0x1.fff8c8p-1f, 0x1.fffd58p-1f,
     0x1.ffff06p-1f, 0x1.ffffa4p-1f, 0x1.ffffdep-1f, 0x1.fffff4p-1f, 0x1.fffffep-1f, 0x1p+0f,
     0x1.26d77p-1f, 0x1.3b75f8p-1f, 0x1.4e8d8ap-1f, 0x1.60260ap-1f, 0x1.704bb2p-1f, 0x1.7f0e1ap-1f,
     0x1.92bfb4p-1f, 0x1.a8dbccp-1f, 0x1.bad50ap-1f, 0x1.c950a4p-1f, 0x1.d4e6f4p-1f, 0x1.de1eb6p-1f,
     0x1.e56b7p-1f, 0x1.eb2dfep-1f},
    // c0_lo
    {-0x1.2dcb64p-30f, 0x1.63c392p-26f, -0x1.6a6264p-26f, 0x1.b6ad08p-26f, -0x1.f38e16p-26f, -0x1.031f0cp-26f,
     0x1.a6831ap-26f, -0x1.93473cp-28f, 0x1.e6306cp-28f, -0x1.b28adcp-26f, 0x1.c1b3aap-29f, 0x1.7fb0e6p-28f,
     -0x1.73816cp-29f, -0x1.c35a7p-34f, 0x1.3af904p-28f, -0x1.ce28ap-27f, -0x1.8e88fep-26f, -0x1.8109d4p-27f,
     -0x1.19bbc6p-26f, 0x1.796dcp-26f, -0x1.49fd74p-26f, -0x1.545e44p-27f, -0x1.20092ep-27f, 0x1.3365c4p-27f,
     -0x1.1daeacp-26f, -0x1.e50b2cp-28f, 0x1.2a794ap-27f, -0x1.979dacp-26f, 0x1.90fb74p-27f, -0x1.b1fb92p-27f,
     -0x1.820074p-26f, 0x1.babf0ep-26f},
    // c1
    {0x1.c65b1cp-5f, 0x1.16a7fcp-5f, 0x1.5452p-6f, 0x1.9e87dp-7f, 0x1.f81bd8p-8f, 0x1.3238b8p-8f,
     0x1.73cecp-9f, 0x1.c34706p-10f, 0x1.aa87d2p-11f, 0x1.39e784p-12f, 0x1.cdf5a6p-14f, 0x1.53e716p-15f,
     0x1.f42de2p-17f, 0x1.700358p-18f, 0x1.0ec4f4p-19f, 0x1.8e713p-21f, 0x1.639ec4p-23f, 0x1.81061p-26f,
     0x1.56363cp-1f, 0x1.3da23cp-1f, 0x1.25653p-1f, 0x1.0dcbbp-1f, 0x1.ee264ap-2f, 0x1.c2d4ccp-2f,
     0x1.86616p-2f, 0x1.3ee73p-2f, 0x1.01fba8p-2f, 0x1.9e1ep-3f, 0x1.4a4584p-3f, 0x1.06129cp-3f,
     0x1.9e3efep-4f, 0x1.465a2p-4f},
    // c2
    {-0x1.b99352p-5f, -0x1.11ep-5f, -0x1.50c41p-6f, -0x1.9be5ecp-7f, -0x1.f629dap-8f, -0x1.3180e8p-8f,
     -0x1.73471ap-9f, -0x1.c2e2dap-10f, -0x1.aa50cap-11f, -0x1.39d39ep-12f, -0x1.cde386p-14f, -0x1.53dcc4p-15f,
     -0x1.f42056p-17f, -0x1.6ff9dp-18f, -0x1.0ebe1p-19f, -0x1.8e671ep-21f, -0x1.630c38p-23f, -0x1.806768p-26f,
     -0x1.8a2244p-2f, -0x1.8769p-2f, -0x1.7f6c3ap-2f, -0x1.732028p-2f, -0x1.637494p-2f, -0x1.514a9ap-2f,
     -0x1.3314aap-2f, -0x1.08a064p-2f, -0x1.be433ep-3f, -0x1.71e30ap-3f, -0x1.2e788cp-3f, -0x1.e97638p-4f,
     -0x1.88bd9ap-4f, -0x1.3914cp-4f},
    // c3
    {0x1.15b444p-5f, 0x1.60958ep-6f, 0x1.b79f3ep-7f, 0x1.0f1bf6p-7f, 0x1.4c31b6p-8f, 0x1.956eccp-9f,
     0x1.eda208p-10f, 0x1.2c12f2p-10f, 0x1.1bfebap-11f, 0x1.a2557p-13f, 0x1.33e8c2p-14f, 0x1.c5282ep-16f,
     0x1.4d6e6cp-17f, 0x1.eaa8ccp-19f, 0x1.69026ep-20f, 0x1.099ddap-21f, 0x1.d9d54ap-24f, 0x1.008164p-26f,
     -0x1.2ca3f6p-10f, 0x1.d67caap-6f, 0x1.b78668p-5f, 0x1.2d9236p-4f, 0x1.6be3a2p-4f, 0x1.9846a6p-4f,
     0x1.bdb6d6p-4f, 0x1.c5255ep-4f, 0x1.abf936p-4f, 0x1.80aec8p-4f, 0x1.4dd6e6p-4f, 0x1.1a5ba6p-4f,
     0x1.d48a0ap-5f, 0x1.7f21a4p-5f},
    // c4
    {-0x1.eb3c6p-7f, -0x1.487db4p-7f, -0x1.a6058ep-8f, -0x1.08e098p-8f, -0x1.47fac8p-9f, -0x1.92d0dep-10f,
     -0x1.ec4f66p-11f, -0x1.2bf4d4p-11f, -0x1.1f1226p-12f, -0x1.a7557ep-14f, -0x1.37b776p-15f, -0x1.cad446p-17f,
     -0x1.519fa2p-18f, -0x1.f0d6aap-20f, -0x1.6d8f02p-21f, -0x1.0cf6e4p-22f, -0x1.f258bp-25f, -0x1.0dc68ep-27f,
     0x1.080e48p-3f, 0x1.c15f8cp-4f, 0x1.6fa726p-4f, 0x1.1f7ad6p-4f, 0x1.a88e06p-5f, 0x1.20c146p-5f,
     0x1.da5eeap-7f, -0x1.6c69ap-8f, -0x1.2156b4p-6f, -0x1.832934p-6f, -0x1.9fd69ap-6f, -0x1.91cc48p-6f,
     -0x1.6ca884p-6f, -0x1.3da4eap-6f},
    // c5
    {0x1.25c016p-8f, 0x1.c006aap-9f, 0x1.33f254p-9f, 0x1.915abp-10f, 0x1.fbd9b4p-11f, 0x1.3bdde8p-11f,
     0x1.84fd18p-12f, 0x1.dc2cfcp-13f, 0x1.c82a2ep-14f, 0x1.510d6ap-15f, 0x1.f0c04cp-17f, 0x1.6db2c4p-18f,
     0x1.0d1f56p-19f, 0x1.8c0c9p-21f, 0x1.2367a8p-22f, 0x1.accfep-24f, 0x1.891612p-26f, 0x1.a99688p-29f,
     -0x1.e336aap-5f, -0x1.037d9ep-4f, -0x1.053362p-4f, -0x1.f4523ap-5f, -0x1.cbe6e6p-5f, -0x1.97dae2p-5f,
     -0x1.40538ap-5f, -0x1.9e3a52p-6f, -0x1.c81286p-7f, -0x1.748e26p-8f, -0x1.5abca8p-12f, 0x1.6ad93ap-9f,
     0x1.189daep-8f, 0x1.38fc16p-8f},
};
enum TanhRow { kC0Hi, kC0Lo, kC1, kC2, kC3, kC4, kC5 };

inline float tanh_coefficient(TanhRow row, std::uint32_t index) { return kTanhTable[row][index & 31u]; }
inline VecF32 tanh_coefficient(TanhRow row, VecU32 index) {
  return _mm512_permutex2var_ps(_mm512_load_ps(kTanhTable[row]), std::bit_cast<__m512i>(index),
                                _mm512_load_ps(kTanhTable[row] + 16));
}
#endif

template <class T>
inline T tanh(T x) {
  const T ax = abs(x);
  // |x| < 0.625: x + x^3 P(x^2), minimax (relative error below 2^-32), on
  // |x| with the sign put back last, so that tanh(-0) = -0.
  const T z = x * x;
  T p = splat<T>(0x1.1a27fep-9f);
  p = fma_like(p, z, splat<T>(-0x1.0c5ecep-7f));
  p = fma_like(p, z, splat<T>(0x1.63a55p-6f));
  p = fma_like(p, z, splat<T>(-0x1.b9f188p-5f));
  p = fma_like(p, z, splat<T>(0x1.11107ap-3f));
  p = fma_like(p, z, splat<T>(-0x1.555554p-2f));
  const T small = fma_like(ax * z, p, ax);
#if defined(__AVX512F__)
  // Otherwise the interval polynomial (kTanhTable), on |x| clamped to
  // [0.625, 9.99]: past 9.99 the result is 1, and the clamp keeps the
  // table lanes of small inputs away from zero and subnormals. t is exact
  // (x and the centre are within a factor of two), and the head of the
  // constant term is added last. A NaN comes through both clamps and
  // every step.
  const T xc = at_most(at_least(ax, 0.625f), 9.99f);
  const auto bits = as_bits(xc);
  const auto index = bits >> 20;
  const T t = xc - from_bits((bits & 0xFFF00000u) | 0x00080000u);
  T q = tanh_coefficient(kC5, index);
  q = fma_like(q, t, tanh_coefficient(kC4, index));
  q = fma_like(q, t, tanh_coefficient(kC3, index));
  q = fma_like(q, t, tanh_coefficient(kC2, index));
  q = fma_like(q, t, tanh_coefficient(kC1, index));
  const T large = fma_like(q, t, tanh_coefficient(kC0Lo, index)) + tanh_coefficient(kC0Hi, index);
  return copy_sign(ax < 0.625f ? small : large, x);
#else
  // Otherwise 1 - 2 / (1 + e^2|x|), where 2 / (1 + e^2|x|) is below 0.45 and
  // its error is at most half an ulp of the result. Past |x| = 20 it is 1.
  const ExpParts<T> e = exp_parts(at_most(ax + ax, 40.0f));
  const T u = inv_one_plus_exp(e, pow2(e.n), 1.0f);
  const T r = copy_sign(ax < 0.625f ? small : 1.0f - (u + u), x);
  return x != x ? x + x : r;
#endif
}

template <class T>
inline T sigmoid(T x) {
  // e = e^-|x| in (0, 1], then 1 / (1 + e) for x >= 0 and e / (1 + e) for
  // x < 0: one quotient for both signs, and no cancellation when the result
  // is small. |x| is clamped to 104: e^-104 is below 2^-150, so x < 0 still
  // rounds to 0 and x > 0 gives 1.
  const T z = at_least(from_bits(as_bits(x) | 0x80000000u), -104.0f);
  // e = 2^n (1 + w): the reduction of exp_parts without its correction for
  // the rounding of r, and a polynomial one degree shorter (e^r - 1 - r =
  // r^2 Q(r), minimax on [-0.35, 0.35], relative error below 2^-28).
  // Together they cost e a relative 2^-26 or so, a quarter of an ulp of the
  // result at most; with the last rounding's half that stays within one.
  const T k = fma_like(z, splat<T>(kLog2e), splat<T>(kRoundShift));
  const T nf = k - kRoundShift;
  const auto n = as_signed(as_bits(k) - as_bits(kRoundShift));
  const T r = fnma_like(nf, splat<T>(kLn2Lo), fnma_like(nf, splat<T>(kLn2Hi), z));
  T q = splat<T>(0x1.6a23fp-10f);
  q = fma_like(q, r, splat<T>(0x1.123a0cp-7f));
  q = fma_like(q, r, splat<T>(0x1.5558f2p-5f));
  q = fma_like(q, r, splat<T>(0x1.555492p-3f));
  q = fma_like(q, r, splat<T>(0x1.fffffcp-2f));
  const T w = fma_like(r * r, q, r);
  // Everything is scaled by 2^64, so that e keeps its 24 bits down to
  // 2^-150 (s = 2^(n + 64) stays normal) and a subnormal result is rounded
  // by the quotient and its correction, not by a scaling afterwards.
  //
  // Where the unit has AVX-512, lanes below -65 are scaled by 2^128
  // instead. An operation that rounds to a subnormal takes a microcode
  // assist on many x86 cores, over a hundred cycles for the whole vector,
  // and with 2^64 some steps do: below -87 where the result is subnormal,
  // and from about -66 down, where d_hi is 2^64, y0 is exact, the residual
  // is 0 and the correction's product y0 d_lo (about 2^64 e^2) is rounded
  // alone. With 2^128 every step stays normal; the quotient is then
  // Y = 2^64 y (the denominator's tail is 2^64 times too large there, a
  // relative error below 2^64 e^-65 < 2^-29), brought down to y at the end
  // by integer steps. That made sigmoid below -87 twenty times faster on a
  // Sapphire Rapids core, and everywhere else about 15% slower; with the
  // 16 registers of AVX2 the extra values cost a third everywhere, so the
  // AVX2 table keeps the assists.
  // s (1 + w) = e_hi + e_lo exactly (the products with s are exact), and
  // 2^64 + e_hi = d_hi + d_lo - e_lo exactly (the larger addend goes first).
#if defined(__AVX512F__)
  const auto tiny = x < -65.0f;
  const T s = pow2(n + (tiny ? splat_int<decltype(n)>(128) : splat_int<decltype(n)>(64)));
#else
  const T s = pow2(n + 64);
#endif
  const T e_hi = fma_like(s, w, s);
  const T e_lo = fma_like(s, w, s - e_hi);
  const T d_hi = 0x1p64f + e_hi;
  const T d_lo = ((0x1p64f - d_hi) + e_hi) + e_lo;
  // y0 = a / d_hi rounded, with a the numerator's head; a - y0 d_hi is
  // exact, and with the tails it is the residual of y0 against the whole
  // quotient, which one step divides by d (1/d is 1 - y for x < 0 and y for
  // x >= 0, and a few correct bits of it are plenty; for the scaled
  // quotient, 1 - Y is as good as 1 - y, both being 1 to 2^-62).
  const auto negative = x < 0.0f;
  const T a = negative ? e_hi : splat<T>(0x1p64f);
  const T y0 = a / d_hi;
  const T res = fnma_like(y0, d_lo, quotient_residual(y0, d_hi, a)) + (negative ? e_lo : splat<T>(0.0f));
#if defined(__AVX512F__)
  // The scaling by 2^-64 goes on the exponent bits: as a product, the
  // compiler may form it on both arms of the choice, and y0 2^-64 is
  // subnormal where y0 is Y.
  const T inv_d = from_bits(as_bits(negative ? 1.0f - y0 : y0) - (64u << 23));
#else
  const T inv_d = (negative ? 1.0f - y0 : y0) * 0x1p-64f;
#endif
  const T y = fma_like(res, inv_d, y0);
  // A NaN needs no test of its own: every NaN on the way is the one z
  // started with (no step makes a fresh one from numbers), so the result
  // is that NaN, quiet and negative, whatever the order of the operands.
#if defined(__AVX512F__)
  // y from Y in the scaled lanes. Below 2^-62, Y + 2^-62 lies in
  // [2^-62, 2^-61), where the spacing is 2^-85: the sum rounds Y to a
  // multiple of 2^-85, that is y to a multiple of 2^-149, the subnormal
  // spacing, and its bits less those of 2^-62 are the pattern of y so
  // rounded (with the rounding of Y, within 0.5 + 0.26 ulp). From 2^-62 up,
  // y is Y with 64 off its exponent. As signed integers the first pattern
  // is the larger below 2^-62 and the second from there up, so the larger
  // of the two is y's pattern everywhere.
  const auto scaled = as_signed(as_bits(y + 0x1p-62f) - as_bits(splat<T>(0x1p-62f)));
  const auto lowered = as_signed(as_bits(y) - (64u << 23));
  const T small = from_bits(as_unsigned(scaled > lowered ? scaled : lowered));
  return tiny ? small : y;
#else
  return y;
#endif
}

// ---- log --------------------------------------------------------------------------------

template <class T>
inline T log(T x) {
  using I = decltype(as_signed(as_bits(x)));
  // Subnormals are scaled into the normal range first.
  const auto tiny = x < 0x1p-126f;
  const T xs = tiny ? x * 0x1p23f : x;
  const I e_adjust = tiny ? splat_int<I>(-23) : splat_int<I>(0);
  // x = 2^e m with m in [sqrt(1/2), sqrt(2)), so that f = m - 1 is small
  // on both sides of zero: subtracting the pattern of sqrt(1/2) moves the
  // exponent boundary there.
  const auto ix = as_bits(xs);
  const auto tmp = ix - 0x3F3504F3u;
  const I e = (as_signed(tmp) >> 23) + e_adjust;
  const T f = from_bits(ix - (tmp & 0xFF800000u)) - 1.0f;  // exact
  // log(1 + f) = f + f^2 Q(f), minimax on [sqrt(1/2) - 1, sqrt(2) - 1]
  // (relative error below 2^-30).
  T q = splat<T>(0x1.16a74cp-4f);
  q = fma_like(q, f, splat<T>(-0x1.e0211p-4f));
  q = fma_like(q, f, splat<T>(0x1.e6d1b6p-4f));
  q = fma_like(q, f, splat<T>(-0x1.fbbf34p-4f));
  q = fma_like(q, f, splat<T>(0x1.233318p-3f));
  q = fma_like(q, f, splat<T>(-0x1.555fbep-3f));
  q = fma_like(q, f, splat<T>(0x1.99a524p-3f));
  q = fma_like(q, f, splat<T>(-0x1.fffff8p-3f));
  q = fma_like(q, f, splat<T>(0x1.555546p-2f));
  q = fma_like(q, f, splat<T>(-0x1p-1f));
  // e ln2hi is exact; the small terms are summed first.
  const T ef = to_float(e);
  const T tail = fma_like(f * f, q, ef * kLn2Lo);
  T r = fma_like(ef, splat<T>(kLn2Hi), f + tail);
  r = x == __builtin_inff() ? x : r;
  r = x == 0.0f ? splat<T>(-__builtin_inff()) : r;
  r = x < 0.0f ? splat<T>(__builtin_nanf("")) : r;
  return x != x ? x + x : r;  // NaN stays NaN, quieted
}

}  // namespace vmath
}  // namespace
}  // namespace quarn::engine::elementwise
