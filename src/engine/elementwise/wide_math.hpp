// binary32 maps computed in binary64 and rounded once: exp2, log2, log1p,
// expm1, sin, cos, 1/sqrt and pow, written once for a scalar `double` and
// for vectors of binary64 lanes (half a VecF32 each). A binary32 argument is
// exact in binary64, every formula below keeps its relative error under
// 2^-40 or so, and the one rounding to binary32 at the end (which handles
// overflow and subnormal results by itself) then gives the correctly
// rounded result except where the exact value lies within 2^-40 of a
// midpoint: within one ulp everywhere, and almost always exact
// (tests/native/test_maps_accuracy.cpp measures it). Speed is bought back by
// the vector lanes; the polynomials are Taylor series, short enough at the
// reduced arguments' sizes.
//
// Also here: the standard normal distribution function in binary32 for gelu
// (tools/gelu_coefficients.py), and sqrt on vectors.
//
// As in vec_math.hpp, the scalar and vector forms run the same IEEE
// operations in the same order (no fused steps in binary64), so an element
// gets the same bits wherever in a run it falls; sines and cosines of
// arguments of 2^20 and beyond take a scalar reduction in both forms.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/convert_simd.hpp"
#include "engine/elementwise/vec_math.hpp"

namespace quarn::engine::elementwise {
namespace {
namespace vmath {

// ---- binary64 lanes ------------------------------------------------------------------

inline std::uint64_t bits64(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double from_bits64(std::uint64_t u) { return std::bit_cast<double>(u); }
inline std::int64_t signed64(std::uint64_t u) { return static_cast<std::int64_t>(u); }
inline std::uint64_t unsigned64(std::int64_t i) { return static_cast<std::uint64_t>(i); }
inline double sqrt64(double x) { return __builtin_sqrt(x); }

#if defined(QUARN_VEC_F32_LANES)
#if defined(__AVX512F__)
using VecF64 = __m512d;
#else
using VecF64 = __m256d;
#endif
typedef std::int64_t VecI64 __attribute__((vector_size(sizeof(VecF64))));
typedef std::uint64_t VecU64 __attribute__((vector_size(sizeof(VecF64))));
inline constexpr int kF64Lanes = QUARN_VEC_F32_LANES / 2;

inline VecU64 bits64(VecF64 x) { return std::bit_cast<VecU64>(x); }
inline VecF64 from_bits64(VecU64 u) { return std::bit_cast<VecF64>(u); }
inline VecI64 signed64(VecU64 u) { return std::bit_cast<VecI64>(u); }
inline VecU64 unsigned64(VecI64 i) { return std::bit_cast<VecU64>(i); }

#if defined(__AVX512F__)
inline VecF64 sqrt64(VecF64 x) { return _mm512_sqrt_pd(x); }
inline VecF64 widen_low(VecF32 x) { return _mm512_cvtps_pd(_mm512_castps512_ps256(x)); }
inline VecF64 widen_high(VecF32 x) {
  return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
}
inline VecF32 narrow(VecF64 lo, VecF64 hi) {
  const __m512d low = _mm512_castps_pd(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)));
  return _mm512_castpd_ps(_mm512_insertf64x4(low, _mm256_castps_pd(_mm512_cvtpd_ps(hi)), 1));
}
inline VecF32 sqrt(VecF32 x) { return _mm512_sqrt_ps(x); }
#else
inline VecF64 sqrt64(VecF64 x) { return _mm256_sqrt_pd(x); }
inline VecF64 widen_low(VecF32 x) { return _mm256_cvtps_pd(_mm256_castps256_ps128(x)); }
inline VecF64 widen_high(VecF32 x) { return _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)); }
inline VecF32 narrow(VecF64 lo, VecF64 hi) { return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)); }
inline VecF32 sqrt(VecF32 x) { return _mm256_sqrt_ps(x); }
#endif
#endif

// The correctly rounded square root: the instruction itself.
inline float sqrt(float x) { return __builtin_sqrtf(x); }

template <class D>
inline D splat64(double c) {
  if constexpr (std::is_same_v<D, double>) {
    return c;
  } else {
    return D{} + c;
  }
}

// f on binary64 lanes, its result rounded once to binary32.
template <class F>
inline float via_double(float x, F f) {
  return static_cast<float>(f(static_cast<double>(x)));
}
template <class F>
inline float via_double(float x, float y, F f) {
  return static_cast<float>(f(static_cast<double>(x), static_cast<double>(y)));
}
#if defined(QUARN_VEC_F32_LANES)
template <class F>
inline VecF32 via_double(VecF32 x, F f) {
  return narrow(f(widen_low(x)), f(widen_high(x)));
}
template <class F>
inline VecF32 via_double(VecF32 x, VecF32 y, F f) {
  return narrow(f(widen_low(x), widen_low(y)), f(widen_high(x), widen_high(y)));
}
#endif

// Adding 1.5 * 2^52 rounds a value below 2^51 to an integer in the low bits.
constexpr double kShift52 = 0x1.8p52;

// The nearest integer to x (|x| < 2^51), as a binary64 value and as an integer.
template <class D>
inline auto nearest_integer(D x, D& value) {
  const D k = x + kShift52;
  value = k - kShift52;
  return signed64(bits64(k) - bits64(splat64<D>(kShift52)));
}

// An integer below 2^51 as binary64.
template <class I>
inline auto to_double(I i) {
  return from_bits64(unsigned64(i) + bits64(kShift52)) - kShift52;
}

// 2^n for n in [-1022, 1023].
template <class I>
inline auto pow2_64(I n) {
  return from_bits64(unsigned64(n + 1023) << 52);
}

// ---- exp, exp2 and log in binary64 ----------------------------------------------------

constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr double kLog2e64 = 0x1.71547652b82fep0;
// ln 2 with 32 significant bits and the rest: n ln2hi is exact for |n| < 2^21.
constexpr double kLn2Hi64 = 0x1.62e42feep-1;
constexpr double kLn2Lo64 = 0x1.a39ef35793c76p-33;

// e^r for |r| <= 0.35: Taylor to degree 12 (truncation below 2^-53).
template <class D>
inline D exp_small(D r) {
  D p = splat64<D>(1.0 / 479001600.0);
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  return p * r + 1.0;
}

// e^x for |x| <= 700 (callers clamp); NaN gives NaN.
template <class D>
inline D exp64(D x) {
  D nf;
  const auto n = nearest_integer(x * kLog2e64, nf);
  const D r = (x - nf * kLn2Hi64) - nf * kLn2Lo64;
  return exp_small(r) * pow2_64(n);
}

// 2^x for |x| <= 1000: x = n + f exactly, 2^f = e^(f ln2).
template <class D>
inline D exp2_64(D x) {
  D nf;
  const auto n = nearest_integer(x, nf);
  return exp_small((x - nf) * kLn2) * pow2_64(n);
}

// log x for x positive, finite and normal (every binary32 value but zero
// is normal in binary64): x = 2^e m with m in [sqrt(1/2), sqrt(2)), and
// log m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| < 0.172, to s^17.
template <class D>
inline D log64(D x) {
  const auto ix = bits64(x);
  const auto tmp = ix - 0x3FE6A09E667F3BCDull;  // the pattern of sqrt(1/2)
  const auto e = signed64(tmp) >> 52;
  const D m = from_bits64(ix - (tmp & 0xFFF0000000000000ull));
  const D s = (m - 1.0) / (m + 1.0);
  const D z = s * s;
  D p = splat64<D>(1.0 / 17.0);
  p = p * z + 1.0 / 15.0;
  p = p * z + 1.0 / 13.0;
  p = p * z + 1.0 / 11.0;
  p = p * z + 1.0 / 9.0;
  p = p * z + 1.0 / 7.0;
  p = p * z + 1.0 / 5.0;
  p = p * z + 1.0 / 3.0;
  const D two_s = s + s;
  return to_double(e) * kLn2 + (two_s + two_s * (z * p));
}

template <class D>
inline D clamp64(D x, double lo, double hi) {
  const D a = x < lo ? splat64<D>(lo) : x;
  return a > hi ? splat64<D>(hi) : a;  // NaN passes both
}

// ---- The binary32 maps ---------------------------------------------------------------------

template <class T>
inline T exp2(T x) {
  return via_double(x, [](auto d) {
    using D = decltype(d);
    const D r = exp2_64(clamp64(d, -200.0, 200.0));
    return d != d ? d + d : r;  // NaN: quieted in both forms
  });
}

template <class T>
inline T log2(T x) {
  return via_double(x, [](auto d) {
    using D = decltype(d);
    D r = log64(d) * kLog2e64;
    // log64 of a power of two is e ln2 exactly rounded; e comes back
    // exactly from the product only with luck, so powers of two take the
    // exponent itself.
    const auto mantissa = bits64(d) & 0x000FFFFFFFFFFFFFull;
    const D exponent = to_double(signed64(bits64(d) >> 52) - 1023);
    r = mantissa == 0 ? exponent : r;
    r = d == __builtin_inf() ? d : r;
    r = d == 0.0 ? splat64<D>(-__builtin_inf()) : r;
    r = d < 0.0 ? splat64<D>(__builtin_nan("")) : r;
    return d != d ? d + d : r;  // NaN: quieted in both forms
  });
}

// log(1 + x): 1 + x is exact in binary64 unless |x| < 2^-29 (where the
// rounding error c is added back: log(u + c) = log u + c / u, and u is 1 to
// 2^-29) or so large that 1 does not count.
template <class T>
inline T log1p(T x) {
  return via_double(x, [](auto d) {
    using D = decltype(d);
    const D u = 1.0 + d;
    const D c = d - (u - 1.0);
    D r = log64(u) + c;
    r = d == __builtin_inf() ? d : r;
    r = d == -1.0 ? splat64<D>(-__builtin_inf()) : r;
    r = d < -1.0 ? splat64<D>(__builtin_nan("")) : r;
    r = d == 0.0 ? d : r;  // keeps -0
    return d != d ? d + d : r;  // NaN: quieted in both forms
  });
}

// e^x - 1: a Taylor series below 1/2 in magnitude (to x^14, truncation
// below 2^-50 relative), e^x less 1 above, where e^x - 1 is at least 0.39
// and the subtraction loses under two bits.
template <class T>
inline T expm1(T x) {
  return via_double(x, [](auto d) {
    using D = decltype(d);
    D p = splat64<D>(1.0 / 87178291200.0);
    p = p * d + 1.0 / 6227020800.0;
    p = p * d + 1.0 / 479001600.0;
    p = p * d + 1.0 / 39916800.0;
    p = p * d + 1.0 / 3628800.0;
    p = p * d + 1.0 / 362880.0;
    p = p * d + 1.0 / 40320.0;
    p = p * d + 1.0 / 5040.0;
    p = p * d + 1.0 / 720.0;
    p = p * d + 1.0 / 120.0;
    p = p * d + 1.0 / 24.0;
    p = p * d + 1.0 / 6.0;
    p = p * d + 0.5;
    const D small = d + d * (d * p);
    const D large = exp64(clamp64(d, -200.0, 200.0)) - 1.0;
    const D ad = from_bits64(bits64(d) & 0x7FFFFFFFFFFFFFFFull);
    D r = ad < 0.5 ? small : large;
    r = d == 0.0 ? d : r;  // keeps -0
    return d != d ? d + d : r;  // NaN: quieted in both forms
  });
}

// 1 / sqrt(x): both steps in binary64 are within half an ulp there, far
// below what the rounding to binary32 can show.
template <class T>
inline T rsqrt(T x) {
  return via_double(x, [](auto d) { return 1.0 / sqrt64(d); });
}

// ---- sin and cos -----------------------------------------------------------------------

// The leading fraction bits of 2/pi (tools/two_over_pi.py), after a zero
// word that lets the reduction read "bits" in front of the binary point.
alignas(64) inline constexpr std::uint32_t kTwoOverPi[] = {
    0x00000000u, 0xA2F9836Eu, 0x4E441529u, 0xFC2757D1u, 0xF534DDC0u, 0xDB629599u, 0x3C439041u,
    0xFE5163ABu, 0xDEBBC561u, 0xB7246E3Au, 0x424DD2E0u, 0x06492EEAu, 0x09D1921Cu,
};

// 64 bits of the table from bit j on (bit 0 the first of the zero word).
inline std::uint64_t two_over_pi_bits(int j) {
  const int w = j >> 5, s = j & 31;
  const unsigned __int128 v = (static_cast<unsigned __int128>(kTwoOverPi[w]) << 64) |
                              (static_cast<unsigned __int128>(kTwoOverPi[w + 1]) << 32) | kTwoOverPi[w + 2];
  return static_cast<std::uint64_t>(v >> (32 - s));
}

// x - q pi/2 for a finite binary32 x of magnitude 2^20 or more, with q the
// nearest integer to x 2/pi (mod 4): x = m 2^e with m a 24-bit integer, and
// the bits of 2/pi worth 4 or more after the product are left out, so
// m times 128 bits of 2/pi holds q in its two bits above the binary point
// and 124 bits below it; 64 of them are kept (x of this size is never
// closer to a multiple of pi/2 than about 2^-30).
inline double reduce_large(double xd, std::int64_t& q) {
  const std::uint32_t b = std::bit_cast<std::uint32_t>(static_cast<float>(xd));
  const int e = static_cast<int>((b >> 23) & 0xFF) - 150;
  const std::uint64_t m = (b & 0x7FFFFFu) | 0x800000u;
  // The first bit used is fraction bit e - 1 (worth 2^-(e - 1); fraction
  // bit k is bit 31 + k of the table, after the zero word).
  const int j = e + 30;
  const unsigned __int128 hi = static_cast<unsigned __int128>(m) * two_over_pi_bits(j);
  const unsigned __int128 lo = static_cast<unsigned __int128>(m) * two_over_pi_bits(j + 64);
  // Product = top 2^64 + low; the binary point lies 126 bits up.
  const unsigned __int128 top = hi + (lo >> 64);
  const std::uint64_t fraction = (static_cast<std::uint64_t>(top) << 2) | (static_cast<std::uint64_t>(lo) >> 62);
  // A fraction of a half or more rounds q up and is then negative.
  const std::int64_t f = static_cast<std::int64_t>(fraction);
  std::int64_t quadrant = static_cast<std::int64_t>((top >> 62) & 3u) + (f < 0 ? 1 : 0);
  double r = static_cast<double>(f) * 0x1p-64 * 0x1.921fb54442d18p0;
  if (b & 0x80000000u) {
    r = -r;
    quadrant = -quadrant;
  }
  q = quadrant;
  return r;
}

// pi/2 with 33 significant bits and the rest: q pio2hi is exact for q < 2^20.
constexpr double kPio2Hi = 0x1.921fb544p0;
constexpr double kPio2Lo = 0x1.0b4611a626331p-34;
constexpr double kTwoOverPi64 = 0x1.45f306dc9c883p-1;

// sin (quarter = 0) or cos (quarter = 1) of x: x = q pi/2 + r with |r| <=
// pi/4, then the sine or cosine series of r by q + quarter mod 4.
template <int Quarter, class D>
inline D sin_cos64(D x) {
  D qf;
  auto q = nearest_integer(x * kTwoOverPi64, qf);
  D r = (x - qf * kPio2Hi) - qf * kPio2Lo;
  const D ax = from_bits64(bits64(x) & 0x7FFFFFFFFFFFFFFFull);
  const auto large = !(ax < 0x1p20);  // NaN and infinities too
  if constexpr (std::is_same_v<D, double>) {
    if (large) {
      // NaN, and NaN from an infinity, through the series like any r.
      std::int64_t lq = 0;
      r = ax == __builtin_inf() || x != x ? x - x : reduce_large(x, lq);
      q = lq;
    }
  } else {
#if defined(QUARN_VEC_F32_LANES)
    bool any = false;
    for (int i = 0; i < kF64Lanes; ++i) any |= large[i] != 0;
    if (any) {
      for (int i = 0; i < kF64Lanes; ++i) {
        if (!large[i]) continue;
        std::int64_t lq = 0;
        r[i] = ax[i] == __builtin_inf() || x[i] != x[i] ? x[i] - x[i] : reduce_large(x[i], lq);
        q[i] = lq;
      }
    }
#endif
  }
  const D z = r * r;
  D s = splat64<D>(1.0 / 6227020800.0);
  s = s * z - 1.0 / 39916800.0;
  s = s * z + 1.0 / 362880.0;
  s = s * z - 1.0 / 5040.0;
  s = s * z + 1.0 / 120.0;
  s = s * z - 1.0 / 6.0;
  const D sine = r + r * (z * s);
  D c = splat64<D>(1.0 / 87178291200.0);
  c = c * z - 1.0 / 479001600.0;
  c = c * z + 1.0 / 3628800.0;
  c = c * z - 1.0 / 40320.0;
  c = c * z + 1.0 / 720.0;
  c = c * z - 1.0 / 24.0;
  c = c * z + 0.5;
  const D cosine = 1.0 - z * c;
  const auto k = q + Quarter;
  const D v = (k & 1) != 0 ? cosine : sine;
  return (k & 2) != 0 ? -v : v;
}

template <class T>
inline T sin(T x) {
  return via_double(x, [](auto d) { return d == 0.0 ? d : sin_cos64<0>(d); });  // keeps -0
}
template <class T>
inline T cos(T x) {
  return via_double(x, [](auto d) { return sin_cos64<1>(d); });
}

// ---- pow --------------------------------------------------------------------------------

// a^b as C's pow defines it for every pair (1 for b = 0, a = 1 or a = -1
// with b infinite, NaN for a finite negative a and a finite b that is not
// an integer, signs and zeros and infinities from |a|^b with the sign of a
// for an odd integer b), with
// |a|^b = e^(b log|a|): b log|a| is within 2^-44 absolutely, so the result
// is within 2^-44 relatively before its rounding.
template <class D>
inline D pow64(D a, D b) {
  const D aa = from_bits64(bits64(a) & 0x7FFFFFFFFFFFFFFFull);
  const D ab = from_bits64(bits64(b) & 0x7FFFFFFFFFFFFFFFull);
  D logs = log64(aa);
  logs = aa == 0.0 ? splat64<D>(-__builtin_inf()) : logs;
  logs = aa == __builtin_inf() ? aa : logs;
  D r = exp64(clamp64(b * logs, -700.0, 700.0));
  // Integer exponents; every binary32 of 2^24 or more is an even integer.
  D nearest;
  const auto n = nearest_integer(clamp64(b, -0x1p30, 0x1p30), nearest);
  const auto integer = b == nearest || ab >= 0x1p24;
  const auto odd = (b == nearest) && ((n & 1) != 0) && ab < 0x1p24;
  const auto negative = (bits64(a) >> 63) != 0;
  r = negative && odd ? -r : r;
  r = a < 0.0 && a > -__builtin_inf() && !integer && ab < __builtin_inf() ? splat64<D>(__builtin_nan("")) : r;
  r = a != a || b != b ? a + b : r;
  return b == 0.0 || a == 1.0 || (aa == 1.0 && ab == __builtin_inf()) ? splat64<D>(1.0) : r;
}

template <class T>
inline T pow(T a, T b) {
  return via_double(a, b, [](auto x, auto y) { return pow64(x, y); });
}

// x^n for an integer n, |n| <= 64, by repeated squaring in binary64 (at
// most a dozen roundings of 2^-53 each before the one to binary32).
template <class D>
inline D pow_integer64(D x, int n) {
  unsigned k = static_cast<unsigned>(n < 0 ? -n : n);
  D result = splat64<D>(1.0);
  D base = x;
  while (k != 0) {
    if (k & 1u) result = result * base;
    k >>= 1;
    if (k != 0) base = base * base;
  }
  return n < 0 ? 1.0 / result : result;
}

// ---- The standard normal distribution function, in binary32 --------------------------------

// 1/d within an ulp or so: where the unit has vectors, the hardware's
// estimate (the same table for its scalar and vector forms) refined by
// Newton steps, one from the 14 bits of AVX-512's and two from the 12 of
// AVX's, which costs a third of a division; the portable table divides.
inline float reciprocal(float d) {
#if defined(__AVX512F__)
  const float r = _mm_cvtss_f32(_mm_rcp14_ss(_mm_setzero_ps(), _mm_set_ss(d)));
  return fma_like(r, fnma_like(d, r, 1.0f), r);
#elif defined(__AVX2__) && defined(__FMA__)
  float r = _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(d)));
  r = fma_like(r, fnma_like(d, r, 1.0f), r);
  return fma_like(r, fnma_like(d, r, 1.0f), r);
#else
  return 1.0f / d;
#endif
}
#if defined(QUARN_VEC_F32_LANES)
inline VecF32 reciprocal(VecF32 d) {
  const VecF32 one = splat<VecF32>(1.0f);
#if defined(__AVX512F__)
  const VecF32 r = _mm512_rcp14_ps(d);
  return fma_like(r, fnma_like(d, r, one), r);
#else
  VecF32 r = _mm256_rcp_ps(d);
  r = fma_like(r, fnma_like(d, r, one), r);
  return fma_like(r, fnma_like(d, r, one), r);
#endif
}
#endif

// e^z for z in [-128, 0] or NaN, within about 2^-25 relatively where the
// result is normal: sigmoid's shorter reduction and polynomial (no
// correction for the rounding of r), and 2^n applied in two halves so that
// subnormal results are rounded once from 24 bits. Half the steps of exp.
template <class T>
inline T exp_nonpositive(T z) {
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
  const auto n1 = n >> 1;
  const T s1 = pow2(n1);
  return fma_like(s1, w, s1) * pow2(n - n1);
}

// P(X <= x) and, in `density`, e^(-x^2/2) (the normal density times
// sqrt(2 pi)). Below 1.25 in magnitude 1/2 + x C(x^2); beyond it e^(-x^2/2)
// T(t) for the lower tail, with t = 4 / (4 + |x|) mapped onto [-1, 1]
// (tools/gelu_coefficients.py fits both). x^2 is kept as a head and a tail
// so that e^(-x^2/2) is good to the last bits far out, and 1/2 + x C as a
// sum and its error where it cancels (x near -1.25). gelu from it stays
// within 5 ulp of the binary64 value (7 without a fused multiply-add)
// wherever P(X <= x) is normal (x above -12.9), as
// tests/native/test_maps_accuracy.cpp measures; below, the result keeps the
// subnormal's absolute precision.
template <class T>
inline T normal_cdf(T x, T& density) {
  const T ax = abs(x);
  // Past 16 the density is 0 and the result 0 or 1; the clamp keeps x^2 finite.
  const T xc = at_most(at_least(x, -16.0f), 16.0f);
  const T s = xc * xc;
#if defined(__FMA__)
  const T s_lo = fma_like(xc, xc, -s);
#else
  // Without a fused step, x in halves of 12 bits (Dekker): every product exact.
  const T xh = from_bits(as_bits(xc) & 0xFFFFF000u);
  const T xl = xc - xh;
  const T s_lo = ((xh * xh - s) + (xh * xl + xh * xl)) + xl * xl;
#endif
  T c = splat<T>(0x1.002edep-21f);
  c = fma_like(c, s, splat<T>(-0x1.30203p-17f));
  c = fma_like(c, s, splat<T>(0x1.e284c4p-14f));
  c = fma_like(c, s, splat<T>(-0x1.373216p-10f));
  c = fma_like(c, s, splat<T>(0x1.46cfcep-7f));
  c = fma_like(c, s, splat<T>(-0x1.105836p-4f));
  c = fma_like(c, s, splat<T>(0x1.988454p-2f));
  const T h = x * c;
  const T h_lo = fma_like(x, c, -h);
  const T sum = 0.5f + h;
  const T central = sum + (((0.5f - sum) + h) + h_lo);
  // e^(-(s + s_lo)/2) = e^(-s/2) (1 - s_lo/2); past 14 the density is
  // below every binary32 result anyway, and the clamp keeps t in range.
  const T e = exp_nonpositive(s * -0.5f);
  density = fnma_like(e, s_lo * 0.5f, e);
  const T t = 4.0f * reciprocal(4.0f + at_most(ax, 14.0f));
  const T m = fma_like(t, splat<T>(0x1.da5a5ap+1f), splat<T>(-0x1.d2d2d2p+0f));
  T p = splat<T>(0x1.3e3d9p-23f);
  p = fma_like(p, m, splat<T>(-0x1.4f067ap-20f));
  p = fma_like(p, m, splat<T>(-0x1.12a73ap-17f));
  p = fma_like(p, m, splat<T>(0x1.da6b9ap-17f));
  p = fma_like(p, m, splat<T>(0x1.952eb6p-12f));
  p = fma_like(p, m, splat<T>(0x1.4fb7cep-9f));
  p = fma_like(p, m, splat<T>(0x1.675bd2p-7f));
  p = fma_like(p, m, splat<T>(0x1.20bac4p-5f));
  p = fma_like(p, m, splat<T>(0x1.700facp-4f));
  p = fma_like(p, m, splat<T>(0x1.77c12ep-4f));
  const T lower = density * p;
  const T tail = x < 0.0f ? lower : 1.0f - lower;
  return ax < 1.25f ? central : tail;
}

}  // namespace vmath
}  // namespace
}  // namespace quarn::engine::elementwise
