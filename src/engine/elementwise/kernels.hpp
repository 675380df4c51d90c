// Functors and the run loops that apply them. Included by one translation
// unit per instruction set (kernels.cpp, kernels_avx2.cpp, kernels_avx512.cpp),
// each of which builds its KernelTable with make_kernel_table(); the compiler
// vectorises the same loops for whatever that unit is compiled for.
//
// Internal linkage throughout: the same templates are instantiated under
// different instruction sets, and the linker must never merge them.
//
// Adding an element-wise operation: write a functor below and register it
// with one line in make_kernel_table() (plus its entry in kernel_table.hpp);
// CONTRIBUTING.md has the whole path. A functor needs only a scalar form
// (`static float apply(float, float)`); a vector form, a template that also
// takes VecF32, is used where the unit has vectors and is otherwise optional.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/convert_simd.hpp"
#include "engine/elementwise/kernel_table.hpp"
#include "engine/elementwise/vec_math.hpp"
#include "engine/elementwise/wide_math.hpp"

namespace quarn::engine::elementwise {
namespace {

// ---- Element formats ---------------------------------------------------------

struct F32Format {
  using Elem = float;
};

// The 16-bit formats travel as bit patterns. `kInf` is the pattern of +inf:
// a pattern with the sign cleared is NaN exactly when it is above it.
struct F16Format {
  using Elem = std::uint16_t;
  static constexpr std::uint16_t kInf = 0x7C00;
  static float widen(std::uint16_t h) { return engine::widen_f16(h); }
  static std::uint16_t round(float f) { return engine::round_to_f16(f); }
  static void widen_array(const std::uint16_t* s, float* d, std::size_t n) { widen_f16_array(s, d, n); }
  static void round_array(const float* s, std::uint16_t* d, std::size_t n) { round_f16_array(s, d, n); }
#if defined(QUARN_VEC_F32_LANES)
  static VecPair load_pair(const std::uint16_t* p) { return pair_load_f16(p); }
  static void store_pair(std::uint16_t* p, VecPair v) { pair_store_f16(p, v); }
  static void stream_pair(std::uint16_t* p, VecPair v) { pair_stream_f16(p, v); }
#endif
};

struct BF16Format {
  using Elem = std::uint16_t;
  static constexpr std::uint16_t kInf = 0x7F80;
  static float widen(std::uint16_t h) { return engine::widen_bf16(h); }
  static std::uint16_t round(float f) { return engine::round_to_bf16(f); }
  static void widen_array(const std::uint16_t* s, float* d, std::size_t n) { widen_bf16_array(s, d, n); }
  static void round_array(const float* s, std::uint16_t* d, std::size_t n) { round_bf16_array(s, d, n); }
#if defined(QUARN_VEC_F32_LANES)
  static VecPair load_pair(const std::uint16_t* p) { return pair_load_bf16(p); }
  static void store_pair(std::uint16_t* p, VecPair v) { pair_store_bf16(p, v); }
  static void stream_pair(std::uint16_t* p, VecPair v) { pair_stream_bf16(p, v); }
#endif
};

struct BoolFormat {
  using Elem = std::uint8_t;
};

// ---- Functors ----------------------------------------------------------------

// Arithmetic, always on binary32 values (half formats are widened first):
// on scalars, and on whole vectors where the unit has them.
struct Add {
  template <class T>
  static T apply(T a, T b) { return a + b; }
};
struct Sub {
  template <class T>
  static T apply(T a, T b) { return a - b; }
};
struct Mul {
  template <class T>
  static T apply(T a, T b) { return a * b; }
};
struct Div {
  template <class T>
  static T apply(T a, T b) { return a / b; }
};

// Comparisons: IEEE on floats (NaN compares false), plain order on the
// integer keys of half patterns and on bool bytes. On vectors the result is
// a lane mask (all ones or zero).
struct Eq {
  template <class T>
  static auto apply(T a, T b) { return a == b; }
};
struct Ge {
  template <class T>
  static auto apply(T a, T b) { return a >= b; }
};
struct Gt {
  template <class T>
  static auto apply(T a, T b) { return a > b; }
};
struct Le {
  template <class T>
  static auto apply(T a, T b) { return a <= b; }
};
struct Lt {
  template <class T>
  static auto apply(T a, T b) { return a < b; }
};

// Logic on bool bytes.
struct And {
  static std::uint8_t apply(std::uint8_t a, std::uint8_t b) { return a & b; }
};
struct Or {
  static std::uint8_t apply(std::uint8_t a, std::uint8_t b) { return a | b; }
};
struct Xor {
  static std::uint8_t apply(std::uint8_t a, std::uint8_t b) { return a != b; }
};

// Unary maps, one overload per element format.
struct Relu {
  // maxNum(x, +0): NaN, -0 and negatives all give +0. Also on vectors.
  template <class T>
  static T apply(F32Format, T x) {
    return x > T{} ? x : T{};
  }
  // A pattern survives when its sign is clear and it is not NaN, which for
  // an unsigned pattern is one comparison against +inf.
  template <class Fmt>
  static std::uint16_t apply(Fmt, std::uint16_t h) {
    return h <= Fmt::kInf ? h : std::uint16_t{0};
  }
};
struct Not {
  static std::uint8_t apply(BoolFormat, std::uint8_t b) { return b == 0; }
};

// Maps computed on binary32 values (half formats widened first and rounded
// after), registered with register_float_map. One template serves scalars
// and vectors (vec_math.hpp), so an element's bits do not depend on where
// in a run it falls.
struct Exp {
  template <class T>
  static T apply(F32Format, T x) { return vmath::exp(x); }
};
struct Log {
  template <class T>
  static T apply(F32Format, T x) { return vmath::log(x); }
};
struct Tanh {
  template <class T>
  static T apply(F32Format, T x) { return vmath::tanh(x); }
};
struct Sigmoid {
  template <class T>
  static T apply(F32Format, T x) { return vmath::sigmoid(x); }
};

// The gradient of ReLU: the gradient passes where the input is greater than
// zero (zeros of either sign and NaN stop it). On binary32 values and
// vectors; the half formats pass the gradient's pattern on untouched.
struct ReluBackward {
  template <class T>
  static T apply(T x, T g) {
    return x > T{} ? g : T{};
  }
  // Greater than zero means a pattern from the smallest positive one up to
  // +inf, which one unsigned comparison of the pattern less one tells.
  template <class Fmt>
  static std::uint16_t apply(Fmt, std::uint16_t x, std::uint16_t g) {
    return static_cast<std::uint16_t>(x - 1) < Fmt::kInf ? g : std::uint16_t{0};
  }
};

// Maps that only touch the sign: exact on every format, NaN payloads kept.
struct Abs {
  template <class T>
  static T apply(F32Format, T x) { return vmath::from_bits(vmath::as_bits(x) & 0x7FFFFFFFu); }
  template <class Fmt>
  static std::uint16_t apply(Fmt, std::uint16_t h) { return h & 0x7FFF; }
};
struct Neg {
  template <class T>
  static T apply(F32Format, T x) { return -x; }
  template <class Fmt>
  static std::uint16_t apply(Fmt, std::uint16_t h) { return h ^ 0x8000; }
};

// Gradients of the maps above, on (the value the rule saves, g), computed on
// binary32 values and rounded once for the half formats (ReluBackward and
// NegGradient, which have pattern forms, change no bits but the sign). In
// binary32 they take the same steps, in the same order, as the products and
// quotients of the rules written out: exp: g * y; log: g / x;
// tanh: g * (1 - y * y); sigmoid: g * (y * (1 - y)); abs: g * sign(x).
struct ExpGradient {
  template <class T>
  static T apply(T y, T g) { return g * y; }
};
struct LogGradient {
  template <class T>
  static T apply(T x, T g) { return g / x; }
};
struct TanhGradient {
  template <class T>
  static T apply(T y, T g) { return g * (1.0f - y * y); }
};
struct SigmoidGradient {
  template <class T>
  static T apply(T y, T g) { return g * (y * (1.0f - y)); }
};
// sign(x) is 0 at zero and NaN at NaN, as the product with x itself gives.
struct AbsGradient {
  template <class T>
  static T apply(T x, T g) { return x > T{} ? g : (x < T{} ? -g : x * g); }
};
struct NegGradient {
  template <class T>
  static T apply(T, T g) { return -g; }
  template <class Fmt>
  static std::uint16_t apply(Fmt, std::uint16_t, std::uint16_t g) { return g ^ 0x8000; }
};

// ---- Maps added for models ------------------------------------------------------
//
// Maps of QUARN_MORE_MAPS. sqrt is the instruction (correctly rounded),
// square one product, sign exact; the transcendental ones go through binary64
// (wide_math.hpp) and are rounded once, silu is x times the binary32 sigmoid.
struct Sqrt {
  template <class T>
  static T apply(F32Format, T x) { return vmath::sqrt(x); }
};
struct Rsqrt {
  template <class T>
  static T apply(F32Format, T x) { return vmath::rsqrt(x); }
};
struct Square {
  template <class T>
  static T apply(F32Format, T x) { return x * x; }
};
// 1 or -1 by the sign, +0 for both zeros, NaN kept.
struct Sign {
  template <class T>
  static T apply(F32Format, T x) {
    const T one = vmath::splat<T>(1.0f);
    const T r = x > T{} ? one : (x < T{} ? -one : T{});
    return x != x ? x + x : r;
  }
};
struct Exp2 {
  template <class T>
  static T apply(F32Format, T x) { return vmath::exp2(x); }
};
struct Log2 {
  template <class T>
  static T apply(F32Format, T x) { return vmath::log2(x); }
};
struct Log1p {
  template <class T>
  static T apply(F32Format, T x) { return vmath::log1p(x); }
};
struct Expm1 {
  template <class T>
  static T apply(F32Format, T x) { return vmath::expm1(x); }
};
struct Sin {
  template <class T>
  static T apply(F32Format, T x) { return vmath::sin(x); }
};
struct Cos {
  template <class T>
  static T apply(F32Format, T x) { return vmath::cos(x); }
};
struct Silu {
  template <class T>
  static T apply(F32Format, T x) { return x * vmath::sigmoid(x); }
};

// Their gradients on (saved value, g), in binary32 with each step rounded
// (the 16-bit types then rounded once more), in this order:
// sqrt: g / (y + y); rsqrt: g * (-0.5 * (y * y * y)); square: g * (x + x);
// sign: 0; exp2: g * (y * ln2); log2: g / (x * ln2); log1p: g / (1 + x);
// expm1: g * (y + 1); sin: g * cos(x); cos: g * -sin(x), with the binary32
// cosine and sine; silu: g * (s * (1 + x * (1 - s))), s the binary32
// sigmoid of x.
struct SqrtGradient {
  template <class T>
  static T apply(T y, T g) { return g / (y + y); }
};
struct RsqrtGradient {
  template <class T>
  static T apply(T y, T g) { return g * (-0.5f * (y * y * y)); }
};
struct SquareGradient {
  template <class T>
  static T apply(T x, T g) { return g * (x + x); }
};
struct SignGradient {
  template <class T>
  static T apply(T, T) { return T{}; }
};
struct Exp2Gradient {
  template <class T>
  static T apply(T y, T g) { return g * (y * 0x1.62e43p-1f); }
};
struct Log2Gradient {
  template <class T>
  static T apply(T x, T g) { return g / (x * 0x1.62e43p-1f); }
};
struct Log1pGradient {
  template <class T>
  static T apply(T x, T g) { return g / (1.0f + x); }
};
struct Expm1Gradient {
  template <class T>
  static T apply(T y, T g) { return g * (y + 1.0f); }
};
struct SinGradient {
  template <class T>
  static T apply(T x, T g) { return g * vmath::cos(x); }
};
struct CosGradient {
  template <class T>
  static T apply(T x, T g) { return g * -vmath::sin(x); }
};
struct SiluGradient {
  template <class T>
  static T apply(T x, T g) {
    const T s = vmath::sigmoid(x);
    return g * (s * (1.0f + x * (1.0f - s)));
  }
};

// ---- Maps with numbers (QUARN_PARAM_MAPS) ------------------------------------------
//
// f(x, p0, p1) in binary32 on the widened value, rounded once for the 16-bit
// types; the gradients on (x, g, p0, p1) likewise, each step rounded to
// binary32 in the order written.

// x P(X <= x) for the exact form (p0 == 0; normal_cdf is within a few ulp);
// for the tanh form 1 + tanh(u) = 2 sigmoid(2u), so that it is x
// sigmoid(2u) with u = sqrt(2/pi) (x + 0.044715 x^3): no cancellation for
// negative x.
struct Gelu {
  template <class T>
  static T apply(F32Format, T x, float p0, float) {
    if (p0 != 0.0f) {
      const T u = x * (0x1.988454p+0f * vmath::fma_like(x * x, vmath::splat<T>(0.044715f), vmath::splat<T>(1.0f)));
      return x * vmath::sigmoid(u);
    }
    T density;
    return x * vmath::normal_cdf(x, density);
  }
};
// Exact: P(X <= x) + x e^(-x^2/2) / sqrt(2 pi). tanh form: with s =
// sigmoid(2u), s + x (2 s (1 - s)) sqrt(2/pi) (1 + 3 0.044715 x^2).
struct GeluGradient {
  template <class T>
  static T apply(T x, T g, float p0, float) {
    if (p0 != 0.0f) {
      const T x2 = x * x;
      const T u = x * (0x1.988454p+0f * vmath::fma_like(x2, vmath::splat<T>(0.044715f), vmath::splat<T>(1.0f)));
      const T s = vmath::sigmoid(u);
      const T du = 0x1.988454p-1f * vmath::fma_like(x2, vmath::splat<T>(0.134145f), vmath::splat<T>(1.0f));
      return g * vmath::fma_like(x * (s * (1.0f - s)), du + du, s);
    }
    T density;
    const T cdf = vmath::normal_cdf(x, density);
    return g * vmath::fma_like(x, density * 0x1.988454p-2f, cdf);
  }
};
struct LeakyRelu {
  template <class T>
  static T apply(F32Format, T x, float slope, float) { return x > T{} ? x : x * slope; }
};
struct LeakyReluGradient {
  template <class T>
  static T apply(T x, T g, float slope, float) { return x > T{} ? g : g * slope; }
};
// alpha (e^x - 1) with the binary64 expm1 rounded to binary32 first.
struct Elu {
  template <class T>
  static T apply(F32Format, T x, float alpha, float) { return x > T{} ? x : alpha * vmath::expm1(x); }
};
struct EluGradient {
  template <class T>
  static T apply(T x, T g, float alpha, float) { return x > T{} ? g : g * (alpha * vmath::exp(x)); }
};
// z = beta x in binary32; where z > threshold x itself, else
// (max(z, 0) + log1p(e^-|z|)) / beta in binary64 (no overflow for any z).
struct Softplus {
  template <class T>
  static T apply(F32Format, T x, float beta, float threshold) {
    const T z = x * beta;
    const T r = vmath::via_double(z, [beta](auto d) {
      using D = decltype(d);
      const D ad = vmath::from_bits64(vmath::bits64(d) & 0x7FFFFFFFFFFFFFFFull);
      const D e = vmath::exp64(vmath::clamp64(-ad, -200.0, 0.0));
      const D u = 1.0 + e;
      const D l = vmath::log64(u) + (e - (u - 1.0));
      const D m = d > 0.0 ? d : vmath::splat64<D>(0.0);
      return (m + l) / static_cast<double>(beta);
    });
    return z > threshold ? x : r;
  }
};
struct SoftplusGradient {
  template <class T>
  static T apply(T x, T g, float beta, float threshold) {
    const T z = x * beta;
    return z > threshold ? g : g * vmath::sigmoid(z);
  }
};
// Clamped to [lo, hi] (hi wins where lo > hi); NaN stays NaN.
struct Hardtanh {
  template <class T>
  static T apply(F32Format, T x, float lo, float hi) {
    const T a = x < lo ? vmath::splat<T>(lo) : x;
    return a > hi ? vmath::splat<T>(hi) : a;
  }
};
// The gradient stops at the bounds and beyond; NaN lets it through.
struct HardtanhGradient {
  template <class T>
  static T apply(T x, T g, float lo, float hi) { return x <= lo || x >= hi ? T{} : g; }
};
struct Clip {
  template <class T>
  static T apply(F32Format f, T x, float lo, float hi) { return Hardtanh::apply(f, x, lo, hi); }
};
// The gradient passes at the bounds and between them; NaN stops it.
struct ClipGradient {
  template <class T>
  static T apply(T x, T g, float lo, float hi) { return x >= lo && x <= hi ? g : T{}; }
};
// tensor ** e: 2 is one product, 0.5 the square root, -1 the quotient (each
// correctly rounded), 1 and 0 exact; other integers up to 64 in magnitude
// by repeated squaring in binary64, the rest e^(e log x) in binary64, both
// rounded once (wide_math.hpp).
struct PowNumber {
  template <class T>
  static T apply(F32Format, T x, float e, float) {
    if (e == 2.0f) return x * x;
    if (e == 0.5f) return vmath::sqrt(x);
    if (e == -1.0f) return 1.0f / x;
    if (e == 1.0f) return x;
    if (e == 0.0f) return vmath::splat<T>(1.0f);
    if (e == __builtin_rintf(e) && __builtin_fabsf(e) <= 64.0f) {
      const int n = static_cast<int>(e);
      return vmath::via_double(x, [n](auto d) { return vmath::pow_integer64(d, n); });
    }
    return vmath::pow(x, vmath::splat<T>(e));
  }
};
// g (e x^(e - 1)), 0 for e = 0.
struct PowNumberGradient {
  template <class T>
  static T apply(T x, T g, float e, float) {
    if (e == 0.0f) return T{};
    return g * (e * PowNumber::apply(F32Format{}, x, e - 1.0f, 0.0f));
  }
};
// s ** x; its gradient on (y, g) is g (y log s), 0 where s = 0 and x >= 0
// (y is then 0 or 1).
struct NumberPow {
  template <class T>
  static T apply(F32Format, T x, float s, float) { return vmath::pow(vmath::splat<T>(s), x); }
};
struct NumberPowGradient {
  template <class T>
  static T apply(T y, T g, float s, float) {
    if (s == 0.0f) return y <= 1.0f ? T{} : g * (y * -__builtin_inff());
    return g * (y * vmath::log(s));
  }
};

// ---- Two tensors (QUARN_PAIRWISE) ---------------------------------------------------

// The larger (smaller) of a and b, NaN when either is; of two zeros, b.
struct Maximum {
  template <class T>
  static T apply(T a, T b) {
    const T m = a > b ? a : b;
    return a != a || b != b ? a + b : m;
  }
};
struct Minimum {
  template <class T>
  static T apply(T a, T b) {
    const T m = a < b ? a : b;
    return a != a || b != b ? a + b : m;
  }
};
struct Pow {
  template <class T>
  static T apply(T a, T b) { return vmath::pow(a, b); }
};

// Whether a functor also has a vector form; the run loops fall back to its
// scalar form where it has none.
#if defined(QUARN_VEC_F32_LANES)
template <class Op>
concept VectorBinary = requires(VecF32 x) { Op::apply(x, x); };
template <class Op>
concept VectorUnary = requires(VecF32 x) { Op::apply(F32Format{}, x); };
#endif

// ---- Run loops -----------------------------------------------------------------

// The four shapes of a binary run. Each branch is a plain loop the compiler
// vectorises; the strided one at least avoids re-deriving addresses.
template <class Out, class In, class F>
inline void binary_map(Out* __restrict out, const In* a, std::ptrdiff_t sa, const In* b,
                       std::ptrdiff_t sb, std::size_t n, F f) {
  if (sa == 1 && sb == 1) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i], b[i]);
  } else if (sa == 1 && sb == 0) {
    const In y = *b;
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i], y);
  } else if (sa == 0 && sb == 1) {
    const In x = *a;
    for (std::size_t i = 0; i < n; ++i) out[i] = f(x, b[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i * sa], b[i * sb]);
  }
}

template <class Out, class In, class F>
inline void unary_map(Out* __restrict out, const In* a, std::ptrdiff_t sa, std::size_t n, F f) {
  if (sa == 1) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i * sa]);
  }
}

template <class Op>
void arith_run_f32(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                   std::size_t n) {
  binary_map(reinterpret_cast<float*>(out), reinterpret_cast<const float*>(a), sa,
             reinterpret_cast<const float*>(b), sb, n, [](float x, float y) { return Op::apply(x, y); });
}

// Half formats. Contiguous and broadcast runs are fused where the unit has
// vector conversions: load and widen, compute, round and store, a pair of
// vectors at a time. Whatever is left (tails, strided reads, units without vector
// conversions) widens a block of each operand to binary32 in L1, combines,
// and rounds the block back; a broadcast operand is widened once.
inline constexpr std::size_t kHalfBlock = 512;

template <class Fmt>
inline void widen_block(const std::uint16_t* p, std::ptrdiff_t s, float* buf, std::size_t m) {
  if (s == 1) {
    Fmt::widen_array(p, buf, m);
    return;
  }
  // Gather the patterns first, so that the widening itself is vectorised.
  alignas(64) std::uint16_t gathered[kHalfBlock];
  for (std::size_t i = 0; i < m; ++i) gathered[i] = p[static_cast<std::ptrdiff_t>(i) * s];
  Fmt::widen_array(gathered, buf, m);
}

// The vector part of a half-precision run; returns how many elements it
// did. With `Stream` the pairs go out with non-temporal stores, after a
// scalar head that brings the result to their alignment.
template <class Op, class Fmt, bool Stream>
std::size_t arith_half_fused(std::uint16_t* po, const std::uint16_t* pa, std::ptrdiff_t sa,
                             const std::uint16_t* pb, std::ptrdiff_t sb, std::size_t n) {
  std::size_t i = 0;
#if defined(QUARN_VEC_F32_LANES)
  if constexpr (!VectorBinary<Op>) return 0;
  constexpr std::size_t L = 2 * QUARN_VEC_F32_LANES;
  if ((sa != 0 && sa != 1) || (sb != 0 && sb != 1) || (sa | sb) == 0) return 0;
  if constexpr (Stream) {
    for (; i < n && reinterpret_cast<std::uintptr_t>(po + i) % (L * sizeof(std::uint16_t)) != 0; ++i)
      po[i] = Fmt::round(Op::apply(Fmt::widen(pa[static_cast<std::ptrdiff_t>(i) * sa]),
                                   Fmt::widen(pb[static_cast<std::ptrdiff_t>(i) * sb])));
  }
  auto store = [](std::uint16_t* p, VecPair x, VecPair y) {
    const VecPair r{Op::apply(x.lo, y.lo), Op::apply(x.hi, y.hi)};
    if constexpr (Stream) {
      Fmt::stream_pair(p, r);
    } else {
      Fmt::store_pair(p, r);
    }
  };
  if (sa == 1 && sb == 1) {
    for (; i + L <= n; i += L) store(po + i, Fmt::load_pair(pa + i), Fmt::load_pair(pb + i));
  } else if (sa == 1) {
    const VecF32 v = vec_set1(Fmt::widen(*pb));
    for (; i + L <= n; i += L) store(po + i, Fmt::load_pair(pa + i), VecPair{v, v});
  } else {
    const VecF32 v = vec_set1(Fmt::widen(*pa));
    for (; i + L <= n; i += L) store(po + i, VecPair{v, v}, Fmt::load_pair(pb + i));
  }
#else
  (void)po, (void)pa, (void)sa, (void)pb, (void)sb, (void)n;
#endif
  return i;
}

template <class Op, class Fmt, bool Stream = false>
void arith_run_half(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                    std::size_t n) {
  auto* po = reinterpret_cast<std::uint16_t*>(out);
  const auto* pa = reinterpret_cast<const std::uint16_t*>(a);
  const auto* pb = reinterpret_cast<const std::uint16_t*>(b);
  std::size_t done = arith_half_fused<Op, Fmt, Stream>(po, pa, sa, pb, sb, n);
  if (done == n) return;
  alignas(64) float wa[kHalfBlock];
  alignas(64) float wb[kHalfBlock];
  alignas(64) float wr[kHalfBlock];
  if (sa == 0) wa[0] = Fmt::widen(*pa);
  if (sb == 0) wb[0] = Fmt::widen(*pb);
  const std::ptrdiff_t ba = sa == 0 ? 0 : 1;
  const std::ptrdiff_t bb = sb == 0 ? 0 : 1;
  for (; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    if (sa != 0) widen_block<Fmt>(pa + static_cast<std::ptrdiff_t>(done) * sa, sa, wa, m);
    if (sb != 0) widen_block<Fmt>(pb + static_cast<std::ptrdiff_t>(done) * sb, sb, wb, m);
    binary_map(wr, wa, ba, wb, bb, m, [](float x, float y) { return Op::apply(x, y); });
    Fmt::round_array(wr, po + done, m);
  }
}

#if defined(QUARN_VEC_F32_LANES)
using VecMask = decltype(VecF32{} < VecF32{});

// Four lane masks to 4 x LANES bytes of 0 or 1, in lane order; with
// `Stream`, non-temporal stores to a 4 x LANES-byte aligned `p`.
template <bool Stream>
inline void store_mask_bytes(std::uint8_t* p, VecMask m0, VecMask m1, VecMask m2, VecMask m3) {
#if defined(__AVX512F__)
  const __m128i one = _mm_set1_epi8(1);
  const VecMask masks[4] = {m0, m1, m2, m3};
  for (int j = 0; j < 4; ++j) {
    __mmask16 k = _mm512_movepi32_mask(reinterpret_cast<__m512i>(masks[j]));
    auto* dst = reinterpret_cast<__m128i*>(p + 16 * j);
    if constexpr (Stream) {
      _mm_stream_si128(dst, _mm_maskz_mov_epi8(k, one));
    } else {
      _mm_storeu_si128(dst, _mm_maskz_mov_epi8(k, one));
    }
  }
#else
  // Saturating packs keep 0 and -1 and work within 128-bit halves; the
  // permute puts the four-byte groups back in order.
  __m256i lo = _mm256_packs_epi32(reinterpret_cast<__m256i>(m0), reinterpret_cast<__m256i>(m1));
  __m256i hi = _mm256_packs_epi32(reinterpret_cast<__m256i>(m2), reinterpret_cast<__m256i>(m3));
  __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packs_epi16(lo, hi), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  bytes = _mm256_and_si256(bytes, _mm256_set1_epi8(1));
  if constexpr (Stream) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(p), bytes);
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), bytes);
  }
#endif
}
#endif

// binary32 comparisons, four vectors at a time where the unit has vectors:
// the compiler's own code for bool results spends twice the instructions on
// narrowing the masks.
template <class Op, bool Stream>
std::size_t compare_f32_fused(std::uint8_t* po, const float* pa, std::ptrdiff_t sa, const float* pb,
                              std::ptrdiff_t sb, std::size_t n) {
  std::size_t i = 0;
#if defined(QUARN_VEC_F32_LANES)
  constexpr std::size_t L = QUARN_VEC_F32_LANES;
  if ((sa != 0 && sa != 1) || (sb != 0 && sb != 1) || (sa | sb) == 0) return 0;
  if constexpr (Stream) {
    for (; i < n && reinterpret_cast<std::uintptr_t>(po + i) % (4 * L) != 0; ++i)
      po[i] = Op::apply(pa[static_cast<std::ptrdiff_t>(i) * sa], pb[static_cast<std::ptrdiff_t>(i) * sb]);
  }
  auto load = [](const float* p) { return vec_load(p); };
  auto store_mask_bytes = [](std::uint8_t* p, VecMask m0, VecMask m1, VecMask m2, VecMask m3) {
    elementwise::store_mask_bytes<Stream>(p, m0, m1, m2, m3);
  };
  if (sa == 1 && sb == 1) {
    for (; i + 4 * L <= n; i += 4 * L)
      store_mask_bytes(po + i, Op::apply(load(pa + i), load(pb + i)), Op::apply(load(pa + i + L), load(pb + i + L)),
                       Op::apply(load(pa + i + 2 * L), load(pb + i + 2 * L)),
                       Op::apply(load(pa + i + 3 * L), load(pb + i + 3 * L)));
  } else if (sa == 1 && sb == 0) {
    const VecF32 y = vec_set1(*pb);
    for (; i + 4 * L <= n; i += 4 * L)
      store_mask_bytes(po + i, Op::apply(load(pa + i), y), Op::apply(load(pa + i + L), y),
                       Op::apply(load(pa + i + 2 * L), y), Op::apply(load(pa + i + 3 * L), y));
  } else if (sa == 0 && sb == 1) {
    const VecF32 x = vec_set1(*pa);
    for (; i + 4 * L <= n; i += 4 * L)
      store_mask_bytes(po + i, Op::apply(x, load(pb + i)), Op::apply(x, load(pb + i + L)),
                       Op::apply(x, load(pb + i + 2 * L)), Op::apply(x, load(pb + i + 3 * L)));
  }
#else
  (void)po, (void)pa, (void)sa, (void)pb, (void)sb, (void)n;
#endif
  return i;
}

template <class Op, class Fmt, bool Stream = false>
void compare_run(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                 std::size_t n) {
  using Elem = typename Fmt::Elem;
  auto* po = reinterpret_cast<std::uint8_t*>(out);
  const auto* pa = reinterpret_cast<const Elem*>(a);
  const auto* pb = reinterpret_cast<const Elem*>(b);
  if constexpr (std::is_same_v<Fmt, F16Format> || std::is_same_v<Fmt, BF16Format>) {
    // IEEE order on the patterns themselves: sign-magnitude becomes a signed
    // integer key (both zeros map to 0), and NaN on either side is false.
    binary_map(po, pa, sa, pb, sb, n, [](std::uint16_t x, std::uint16_t y) -> std::uint8_t {
      const std::int16_t mx = static_cast<std::int16_t>(x & 0x7FFF);
      const std::int16_t my = static_cast<std::int16_t>(y & 0x7FFF);
      const std::int16_t kx = (x & 0x8000) ? static_cast<std::int16_t>(-mx) : mx;
      const std::int16_t ky = (y & 0x8000) ? static_cast<std::int16_t>(-my) : my;
      const bool ordered = mx <= static_cast<std::int16_t>(Fmt::kInf) && my <= static_cast<std::int16_t>(Fmt::kInf);
      return ordered & Op::apply(kx, ky);
    });
  } else {
    std::size_t i = 0;
    if constexpr (std::is_same_v<Fmt, F32Format>) i = compare_f32_fused<Op, Stream>(po, pa, sa, pb, sb, n);
    binary_map(po + i, pa + static_cast<std::ptrdiff_t>(i) * sa, sa, pb + static_cast<std::ptrdiff_t>(i) * sb, sb,
               n - i, [](Elem x, Elem y) -> std::uint8_t { return Op::apply(x, y); });
  }
}

template <class Op>
void logic_run(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
               std::size_t n) {
  binary_map(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<const std::uint8_t*>(a), sa,
             reinterpret_cast<const std::uint8_t*>(b), sb, n,
             [](std::uint8_t x, std::uint8_t y) { return Op::apply(x, y); });
}

// A binary operation on the patterns of a half format, without widening.
template <class Op, class Fmt>
void pattern_run(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                 std::size_t n) {
  binary_map(reinterpret_cast<std::uint16_t*>(out), reinterpret_cast<const std::uint16_t*>(a), sa,
             reinterpret_cast<const std::uint16_t*>(b), sb, n,
             [](std::uint16_t x, std::uint16_t y) { return Op::apply(Fmt{}, x, y); });
}

// A binary32 map over contiguous values, in place or not: whole vectors
// through the functor's vector form where it has one, the rest one by one.
template <class Op>
inline void float_map_contiguous(float* out, const float* a, std::size_t n) {
  std::size_t i = 0;
#if defined(QUARN_VEC_F32_LANES)
  if constexpr (VectorUnary<Op>) {
    constexpr std::size_t L = QUARN_VEC_F32_LANES;
    for (; i + L <= n; i += L) {
      const VecF32 r = Op::apply(F32Format{}, vec_load(a + i));
      std::memcpy(out + i, &r, sizeof r);
    }
  }
#endif
  for (; i < n; ++i) out[i] = Op::apply(F32Format{}, a[i]);
}

// binary32 maps: a strided operand is gathered into the result a block at a
// time and mapped there, so every run gets the vector form.
template <class Op>
void float_map_run_f32(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
  auto* po = reinterpret_cast<float*>(out);
  const auto* pa = reinterpret_cast<const float*>(a);
  if (sa == 1) return float_map_contiguous<Op>(po, pa, n);
  for (std::size_t done = 0; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    for (std::size_t i = 0; i < m; ++i) po[done + i] = pa[static_cast<std::ptrdiff_t>(done + i) * sa];
    float_map_contiguous<Op>(po + done, po + done, m);
  }
}

// A binary32 map on a half format: widen a block, map it, round it back.
template <class Op, class Fmt>
void float_map_run_half(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
  auto* po = reinterpret_cast<std::uint16_t*>(out);
  const auto* pa = reinterpret_cast<const std::uint16_t*>(a);
  alignas(64) float w[kHalfBlock];
  for (std::size_t done = 0; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    widen_block<Fmt>(pa + static_cast<std::ptrdiff_t>(done) * sa, sa, w, m);
    float_map_contiguous<Op>(w, w, m);
    Fmt::round_array(w, po + done, m);
  }
}

template <class Op, class Fmt>
void unary_run(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
  using Elem = typename Fmt::Elem;
  unary_map(reinterpret_cast<Elem*>(out), reinterpret_cast<const Elem*>(a), sa, n,
            [](Elem x) { return Op::apply(Fmt{}, x); });
}

// ---- Streaming stores -----------------------------------------------------------------
//
// A result much larger than the caches is written around them: each run is
// computed into an L1 block and copied out with non-temporal stores, which
// saves reading every result line into the cache before overwriting it. The
// driver picks these variants only for large results (map.cpp).

inline constexpr std::size_t kStreamBlockBytes = 4096;

inline void stream_copy(char* dst, const char* src, std::size_t bytes) {
  std::size_t i = 0;
#if defined(__AVX__)
  std::size_t head = (0 - reinterpret_cast<std::uintptr_t>(dst)) & 31;
  if (head > bytes) head = bytes;
  std::memcpy(dst, src, head);
  for (i = head; i + 32 <= bytes; i += 32)
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
#elif defined(__SSE2__)
  std::size_t head = (0 - reinterpret_cast<std::uintptr_t>(dst)) & 15;
  if (head > bytes) head = bytes;
  std::memcpy(dst, src, head);
  for (i = head; i + 16 <= bytes; i += 16)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
#endif
  std::memcpy(dst + i, src + i, bytes - i);
}

template <BinaryRunFn Run, std::size_t InSize, std::size_t OutSize>
void streamed_binary_run(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                         std::size_t n) {
  constexpr std::size_t kBlock = kStreamBlockBytes / OutSize;
  alignas(64) char buf[kStreamBlockBytes];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t m = n - i < kBlock ? n - i : kBlock;
    const auto off = static_cast<std::ptrdiff_t>(i * InSize);
    Run(buf, a + off * sa, sa, b + off * sb, sb, m);
    stream_copy(out + i * OutSize, buf, m * OutSize);
  }
}

template <UnaryRunFn Run, std::size_t InSize, std::size_t OutSize>
void streamed_unary_run(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
  constexpr std::size_t kBlock = kStreamBlockBytes / OutSize;
  alignas(64) char buf[kStreamBlockBytes];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t m = n - i < kBlock ? n - i : kBlock;
    Run(buf, a + static_cast<std::ptrdiff_t>(i * InSize) * sa, sa, m);
    stream_copy(out + i * OutSize, buf, m * OutSize);
  }
}

// binary32 arithmetic streams straight from the registers: the detour
// through an L1 block would cost a load and a store per element.
template <class Op>
void arith_run_f32_streaming(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                             std::size_t n) {
#if defined(QUARN_VEC_F32_LANES)
  constexpr std::size_t L = QUARN_VEC_F32_LANES;
  auto* po = reinterpret_cast<float*>(out);
  const auto* pa = reinterpret_cast<const float*>(a);
  const auto* pb = reinterpret_cast<const float*>(b);
  const bool a_ok = sa == 0 || sa == 1, b_ok = sb == 0 || sb == 1;
  if constexpr (VectorBinary<Op>) if (a_ok && b_ok && (sa | sb) != 0) {
    std::size_t i = 0;
    // Scalar head up to the vector alignment the streaming store needs.
    for (; i < n && reinterpret_cast<std::uintptr_t>(po + i) % (L * sizeof(float)) != 0; ++i)
      po[i] = Op::apply(pa[static_cast<std::ptrdiff_t>(i) * sa], pb[static_cast<std::ptrdiff_t>(i) * sb]);
    if (sa == 1 && sb == 1) {
      for (; i + L <= n; i += L) vec_stream(po + i, Op::apply(vec_load(pa + i), vec_load(pb + i)));
    } else if (sa == 1) {
      const VecF32 y = vec_set1(*pb);
      for (; i + L <= n; i += L) vec_stream(po + i, Op::apply(vec_load(pa + i), y));
    } else {
      const VecF32 x = vec_set1(*pa);
      for (; i + L <= n; i += L) vec_stream(po + i, Op::apply(x, vec_load(pb + i)));
    }
    for (; i < n; ++i)
      po[i] = Op::apply(pa[static_cast<std::ptrdiff_t>(i) * sa], pb[static_cast<std::ptrdiff_t>(i) * sb]);
    return;
  }
#endif
  streamed_binary_run<arith_run_f32<Op>, sizeof(float), sizeof(float)>(out, a, sa, b, sb, n);
}

// The same for binary32 element maps.
template <class Op>
void unary_run_f32_streaming(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
#if defined(QUARN_VEC_F32_LANES)
  constexpr std::size_t L = QUARN_VEC_F32_LANES;
  auto* po = reinterpret_cast<float*>(out);
  const auto* pa = reinterpret_cast<const float*>(a);
  if constexpr (VectorUnary<Op>) if (sa == 1) {
    std::size_t i = 0;
    for (; i < n && reinterpret_cast<std::uintptr_t>(po + i) % (L * sizeof(float)) != 0; ++i)
      po[i] = Op::apply(F32Format{}, pa[i]);
    // A map that costs tens of instructions per vector fills the core's
    // window with arithmetic, and the loads then reach memory too late for
    // the hardware prefetcher to stay ahead: asking for the input 4 KiB
    // ahead let sigmoid's memory traffic hide behind its arithmetic (1.7 ms
    // instead of 2.9 over 4M elements on an AVX-512 core). The address may
    // lie past the input, so it is formed as an integer.
    constexpr std::uintptr_t kAhead = 4096;
    for (; i + L <= n; i += L) {
      const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(pa + i) + kAhead;
      _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
      vec_stream(po + i, Op::apply(F32Format{}, vec_load(pa + i)));
    }
    for (; i < n; ++i) po[i] = Op::apply(F32Format{}, pa[i]);
    return;
  }
#endif
  streamed_unary_run<unary_run<Op, F32Format>, sizeof(float), sizeof(float)>(out, a, sa, n);
}

// binary32 maps: contiguous runs stream from the registers as above,
// strided ones through the L1 block.
template <class Op>
void float_map_run_f32_streaming(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
  if (sa == 1) return unary_run_f32_streaming<Op>(out, a, sa, n);
  streamed_unary_run<float_map_run_f32<Op>, sizeof(float), sizeof(float)>(out, a, sa, n);
}

// ---- Runs of the maps with numbers ----------------------------------------------------
//
// As the binary32 maps above, with the row's two numbers passed to the
// functor: contiguous binary32 through the vector form, strided operands
// gathered a block at a time, the 16-bit formats widened a block at a time
// and rounded back.

template <class Op>
inline void param_map_contiguous(float* out, const float* a, std::size_t n, const float* p) {
  const float p0 = p[0], p1 = p[1];
  std::size_t i = 0;
#if defined(QUARN_VEC_F32_LANES)
  constexpr std::size_t L = QUARN_VEC_F32_LANES;
  for (; i + L <= n; i += L) {
    const VecF32 r = Op::apply(F32Format{}, vec_load(a + i), p0, p1);
    std::memcpy(out + i, &r, sizeof r);
  }
#endif
  for (; i < n; ++i) out[i] = Op::apply(F32Format{}, a[i], p0, p1);
}

template <class Op>
void param_run_f32(char* out, const char* a, std::ptrdiff_t sa, std::size_t n, const float* p) {
  auto* po = reinterpret_cast<float*>(out);
  const auto* pa = reinterpret_cast<const float*>(a);
  if (sa == 1) return param_map_contiguous<Op>(po, pa, n, p);
  for (std::size_t done = 0; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    for (std::size_t i = 0; i < m; ++i) po[done + i] = pa[static_cast<std::ptrdiff_t>(done + i) * sa];
    param_map_contiguous<Op>(po + done, po + done, m, p);
  }
}

template <class Op, class Fmt>
void param_run_half(char* out, const char* a, std::ptrdiff_t sa, std::size_t n, const float* p) {
  auto* po = reinterpret_cast<std::uint16_t*>(out);
  const auto* pa = reinterpret_cast<const std::uint16_t*>(a);
  alignas(64) float w[kHalfBlock];
  for (std::size_t done = 0; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    widen_block<Fmt>(pa + static_cast<std::ptrdiff_t>(done) * sa, sa, w, m);
    param_map_contiguous<Op>(w, w, m, p);
    Fmt::round_array(w, po + done, m);
  }
}

// Large binary32 results: contiguous runs stream from the registers (with
// the read-ahead of unary_run_f32_streaming), strided ones through an L1 block.
template <class Op>
void param_run_f32_streaming(char* out, const char* a, std::ptrdiff_t sa, std::size_t n, const float* p) {
  auto* po = reinterpret_cast<float*>(out);
  const auto* pa = reinterpret_cast<const float*>(a);
#if defined(QUARN_VEC_F32_LANES)
  if (sa == 1) {
    constexpr std::size_t L = QUARN_VEC_F32_LANES;
    const float p0 = p[0], p1 = p[1];
    std::size_t i = 0;
    for (; i < n && reinterpret_cast<std::uintptr_t>(po + i) % (L * sizeof(float)) != 0; ++i)
      po[i] = Op::apply(F32Format{}, pa[i], p0, p1);
    constexpr std::uintptr_t kAhead = 4096;
    for (; i + L <= n; i += L) {
      const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(pa + i) + kAhead;
      _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
      vec_stream(po + i, Op::apply(F32Format{}, vec_load(pa + i), p0, p1));
    }
    for (; i < n; ++i) po[i] = Op::apply(F32Format{}, pa[i], p0, p1);
    return;
  }
#endif
  constexpr std::size_t kBlock = kStreamBlockBytes / sizeof(float);
  alignas(64) float buf[kBlock];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t m = n - i < kBlock ? n - i : kBlock;
    param_run_f32<Op>(reinterpret_cast<char*>(buf), reinterpret_cast<const char*>(pa + static_cast<std::ptrdiff_t>(i) * sa),
                      sa, m, p);
    stream_copy(reinterpret_cast<char*>(po + i), reinterpret_cast<const char*>(buf), m * sizeof(float));
  }
}

// Gradients on (x, g): both contiguous through the vector form, anything
// else one element at a time (binary32) or a widened block at a time.
template <class Op>
void param_gradient_f32(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb, std::size_t n,
                        const float* p) {
  auto* po = reinterpret_cast<float*>(out);
  const auto* pa = reinterpret_cast<const float*>(a);
  const auto* pb = reinterpret_cast<const float*>(b);
  const float p0 = p[0], p1 = p[1];
  std::size_t i = 0;
  if (sa == 1 && sb == 1) {
#if defined(QUARN_VEC_F32_LANES)
    constexpr std::size_t L = QUARN_VEC_F32_LANES;
    for (; i + L <= n; i += L) {
      const VecF32 r = Op::apply(vec_load(pa + i), vec_load(pb + i), p0, p1);
      std::memcpy(po + i, &r, sizeof r);
    }
#endif
    for (; i < n; ++i) po[i] = Op::apply(pa[i], pb[i], p0, p1);
    return;
  }
  for (; i < n; ++i)
    po[i] = Op::apply(pa[static_cast<std::ptrdiff_t>(i) * sa], pb[static_cast<std::ptrdiff_t>(i) * sb], p0, p1);
}

template <class Op, class Fmt>
void param_gradient_half(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb, std::size_t n,
                         const float* p) {
  auto* po = reinterpret_cast<std::uint16_t*>(out);
  const auto* pa = reinterpret_cast<const std::uint16_t*>(a);
  const auto* pb = reinterpret_cast<const std::uint16_t*>(b);
  alignas(64) float wa[kHalfBlock];
  alignas(64) float wb[kHalfBlock];
  for (std::size_t done = 0; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    widen_block<Fmt>(pa + static_cast<std::ptrdiff_t>(done) * sa, sa, wa, m);
    widen_block<Fmt>(pb + static_cast<std::ptrdiff_t>(done) * sb, sb, wb, m);
    param_gradient_f32<Op>(reinterpret_cast<char*>(wa), reinterpret_cast<const char*>(wa), 1,
                           reinterpret_cast<const char*>(wb), 1, m, p);
    Fmt::round_array(wa, po + done, m);
  }
}

// ---- Registration ------------------------------------------------------------------

constexpr std::size_t idx(DType d) { return static_cast<std::size_t>(d); }

// Every kernel goes in with its streaming twin.
template <BinaryRunFn Run, DType In, DType Out,
          BinaryRunFn Streaming = streamed_binary_run<Run, dtype_size(In), dtype_size(Out)>>
constexpr void set_binary(KernelTable& t, BinaryKernel k) {
  t.binary[k][idx(In)] = Run;
  t.binary_streaming[k][idx(In)] = Streaming;
}

template <UnaryRunFn Run, DType In, DType Out,
          UnaryRunFn Streaming = streamed_unary_run<Run, dtype_size(In), dtype_size(Out)>>
constexpr void set_unary(KernelTable& t, UnaryKernel k) {
  t.unary[k][idx(In)] = Run;
  t.unary_streaming[k][idx(In)] = Streaming;
}

template <class Op>
constexpr void register_arith(KernelTable& t, BinaryKernel k) {
  set_binary<arith_run_f32<Op>, DType::F32, DType::F32, arith_run_f32_streaming<Op>>(t, k);
  set_binary<arith_run_half<Op, F16Format>, DType::F16, DType::F16, arith_run_half<Op, F16Format, true>>(t, k);
  set_binary<arith_run_half<Op, BF16Format>, DType::BF16, DType::BF16, arith_run_half<Op, BF16Format, true>>(t, k);
}

template <class Op>
constexpr void register_gradient(KernelTable& t, BinaryKernel k) {
  set_binary<arith_run_f32<Op>, DType::F32, DType::F32, arith_run_f32_streaming<Op>>(t, k);
  set_binary<pattern_run<Op, F16Format>, DType::F16, DType::F16>(t, k);
  set_binary<pattern_run<Op, BF16Format>, DType::BF16, DType::BF16>(t, k);
}

template <class Op>
constexpr void register_compare(KernelTable& t, BinaryKernel k) {
  set_binary<compare_run<Op, F32Format>, DType::F32, DType::Bool, compare_run<Op, F32Format, true>>(t, k);
  set_binary<compare_run<Op, F16Format>, DType::F16, DType::Bool>(t, k);
  set_binary<compare_run<Op, BF16Format>, DType::BF16, DType::Bool>(t, k);
  set_binary<compare_run<Op, BoolFormat>, DType::Bool, DType::Bool>(t, k);
}

template <class Op>
constexpr void register_logic(KernelTable& t, BinaryKernel k) {
  set_binary<logic_run<Op>, DType::Bool, DType::Bool>(t, k);
}

template <class Op>
constexpr void register_numeric_map(KernelTable& t, UnaryKernel k) {
  set_unary<unary_run<Op, F32Format>, DType::F32, DType::F32, unary_run_f32_streaming<Op>>(t, k);
  set_unary<unary_run<Op, F16Format>, DType::F16, DType::F16>(t, k);
  set_unary<unary_run<Op, BF16Format>, DType::BF16, DType::BF16>(t, k);
}

template <class Op>
constexpr void register_float_map(KernelTable& t, UnaryKernel k) {
  set_unary<float_map_run_f32<Op>, DType::F32, DType::F32, float_map_run_f32_streaming<Op>>(t, k);
  set_unary<float_map_run_half<Op, F16Format>, DType::F16, DType::F16>(t, k);
  set_unary<float_map_run_half<Op, BF16Format>, DType::BF16, DType::BF16>(t, k);
}

template <class Op>
constexpr void register_bool_map(KernelTable& t, UnaryKernel k) {
  set_unary<unary_run<Op, BoolFormat>, DType::Bool, DType::Bool>(t, k);
}

// A map computed on bit patterns changes no value but the one it means to
// (relu, abs, neg); any other is computed in binary32 and rounded once.
template <class Op>
concept PatternMap = requires(std::uint16_t h) { Op::apply(F16Format{}, h); };
template <class Op>
concept PatternGradient = requires(std::uint16_t h) { Op::apply(F16Format{}, h, h); };

template <Compute How, class Op>
constexpr void register_map(KernelTable& t, UnaryKernel k) {
  static_assert(How == Compute::Pattern || How == Compute::Widen, "a map is computed on patterns or widened");
  static_assert((How == Compute::Pattern) == PatternMap<Op>, "a Pattern map has a 16-bit pattern form, and only it");
  if constexpr (How == Compute::Pattern) {
    register_numeric_map<Op>(t, k);
  } else {
    register_float_map<Op>(t, k);
  }
}

// A gradient with a pattern form passes patterns on (relu's); any other is
// computed in binary32 from both widened operands and rounded once.
template <class Op>
constexpr void register_map_gradient(KernelTable& t, BinaryKernel k) {
  if constexpr (PatternGradient<Op>) {
    register_gradient<Op>(t, k);
  } else {
    register_arith<Op>(t, k);
  }
}

template <class Op, class Gradient>
constexpr void register_param_map(KernelTable& t, ParamKernel k, ParamGradientKernel kg) {
  t.param[k][idx(DType::F32)] = param_run_f32<Op>;
  t.param_streaming[k][idx(DType::F32)] = param_run_f32_streaming<Op>;
  t.param[k][idx(DType::F16)] = t.param_streaming[k][idx(DType::F16)] = param_run_half<Op, F16Format>;
  t.param[k][idx(DType::BF16)] = t.param_streaming[k][idx(DType::BF16)] = param_run_half<Op, BF16Format>;
  t.param_gradient[kg][idx(DType::F32)] = param_gradient_f32<Gradient>;
  t.param_gradient[kg][idx(DType::F16)] = param_gradient_half<Gradient, F16Format>;
  t.param_gradient[kg][idx(DType::BF16)] = param_gradient_half<Gradient, BF16Format>;
}

constexpr KernelTable make_kernel_table(const char* name) {
  KernelTable t{};
  t.name = name;
  register_arith<Add>(t, kAdd);
  register_arith<Sub>(t, kSub);
  register_arith<Mul>(t, kMul);
  register_arith<Div>(t, kDiv);
  register_compare<Eq>(t, kEq);
  register_compare<Ge>(t, kGe);
  register_compare<Gt>(t, kGt);
  register_compare<Le>(t, kLe);
  register_compare<Lt>(t, kLt);
  register_logic<And>(t, kAnd);
  register_logic<Or>(t, kOr);
  register_logic<Xor>(t, kXor);
  register_bool_map<Not>(t, kNot);
  // The element-wise maps of the operation table with their gradients.
#define QUARN_REGISTER_MAP(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  register_map<Compute::compute, kernel>(t, k##kernel);                                             \
  register_map_gradient<gradient>(t, k##gradient);
  QUARN_MAPS(QUARN_REGISTER_MAP)
#undef QUARN_REGISTER_MAP
#define QUARN_REGISTER_PARAM_MAP(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  register_param_map<kernel, gradient>(t, k##kernel, k##gradient);
  QUARN_PARAM_MAPS(QUARN_REGISTER_PARAM_MAP)
#undef QUARN_REGISTER_PARAM_MAP
#define QUARN_REGISTER_PAIRWISE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  register_arith<kernel>(t, k##kernel);
  QUARN_PAIRWISE(QUARN_REGISTER_PAIRWISE)
#undef QUARN_REGISTER_PAIRWISE
  return t;
}

}  // namespace
}  // namespace quarn::engine::elementwise
