// Functors and the run loops that apply them. Included by one translation
// unit per instruction set (kernels.cpp, kernels_avx2.cpp, kernels_avx512.cpp),
// each of which builds its KernelTable with make_kernel_table(); the compiler
// vectorises the same loops for whatever that unit is compiled for.
//
// Internal linkage throughout: the same templates are instantiated under
// different instruction sets, and the linker must never merge them.
//
// Adding an element-wise operation: write a functor below and register it
// with one line in make_kernel_table() (plus its entry in kernel_table.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/convert_simd.hpp"
#include "engine/elementwise/kernel_table.hpp"

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
  static void widen_array(const std::uint16_t* s, float* d, std::size_t n) { widen_f16_array(s, d, n); }
  static void round_array(const float* s, std::uint16_t* d, std::size_t n) { round_f16_array(s, d, n); }
};

struct BF16Format {
  using Elem = std::uint16_t;
  static constexpr std::uint16_t kInf = 0x7F80;
  static float widen(std::uint16_t h) { return engine::widen_bf16(h); }
  static void widen_array(const std::uint16_t* s, float* d, std::size_t n) { widen_bf16_array(s, d, n); }
  static void round_array(const float* s, std::uint16_t* d, std::size_t n) { round_bf16_array(s, d, n); }
};

struct BoolFormat {
  using Elem = std::uint8_t;
};

// ---- Functors ----------------------------------------------------------------

// Arithmetic, always on binary32 values (half formats are widened first).
struct Add {
  static float apply(float a, float b) { return a + b; }
};
struct Sub {
  static float apply(float a, float b) { return a - b; }
};
struct Mul {
  static float apply(float a, float b) { return a * b; }
};
struct Div {
  static float apply(float a, float b) { return a / b; }
};

// Comparisons: IEEE on floats (NaN compares false), plain order on the
// integer keys of half patterns and on bool bytes.
struct Eq {
  template <class T>
  static bool apply(T a, T b) { return a == b; }
};
struct Ge {
  template <class T>
  static bool apply(T a, T b) { return a >= b; }
};
struct Gt {
  template <class T>
  static bool apply(T a, T b) { return a > b; }
};
struct Le {
  template <class T>
  static bool apply(T a, T b) { return a <= b; }
};
struct Lt {
  template <class T>
  static bool apply(T a, T b) { return a < b; }
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
  // maxNum(x, +0): NaN, -0 and negatives all give +0.
  static float apply(F32Format, float x) { return x > 0.0f ? x : 0.0f; }
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

// Half formats: widen a block of each operand to binary32, combine, round the
// block back. Blocks stay in L1; a broadcast operand is widened once.
inline constexpr std::size_t kHalfBlock = 512;

template <class Fmt>
inline const float* widen_block(const std::uint16_t* p, std::ptrdiff_t s, float* buf, std::size_t m) {
  if (s == 1) {
    Fmt::widen_array(p, buf, m);
  } else {
    for (std::size_t i = 0; i < m; ++i) buf[i] = Fmt::widen(p[static_cast<std::ptrdiff_t>(i) * s]);
  }
  return buf;
}

template <class Op, class Fmt>
void arith_run_half(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                    std::size_t n) {
  auto* po = reinterpret_cast<std::uint16_t*>(out);
  const auto* pa = reinterpret_cast<const std::uint16_t*>(a);
  const auto* pb = reinterpret_cast<const std::uint16_t*>(b);
  alignas(64) float wa[kHalfBlock];
  alignas(64) float wb[kHalfBlock];
  alignas(64) float wr[kHalfBlock];
  // A broadcast operand: widened once, then read with stride 0.
  if (sa == 0) wa[0] = Fmt::widen(*pa);
  if (sb == 0) wb[0] = Fmt::widen(*pb);
  const std::ptrdiff_t ba = sa == 0 ? 0 : 1;
  const std::ptrdiff_t bb = sb == 0 ? 0 : 1;
  for (std::size_t done = 0; done < n; done += kHalfBlock) {
    const std::size_t m = n - done < kHalfBlock ? n - done : kHalfBlock;
    if (sa != 0) widen_block<Fmt>(pa + static_cast<std::ptrdiff_t>(done) * sa, sa, wa, m);
    if (sb != 0) widen_block<Fmt>(pb + static_cast<std::ptrdiff_t>(done) * sb, sb, wb, m);
    binary_map(wr, wa, ba, wb, bb, m, [](float x, float y) { return Op::apply(x, y); });
    Fmt::round_array(wr, po + done, m);
  }
}

template <class Op, class Fmt>
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
    binary_map(po, pa, sa, pb, sb, n, [](Elem x, Elem y) -> std::uint8_t { return Op::apply(x, y); });
  }
}

template <class Op>
void logic_run(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
               std::size_t n) {
  binary_map(reinterpret_cast<std::uint8_t*>(out), reinterpret_cast<const std::uint8_t*>(a), sa,
             reinterpret_cast<const std::uint8_t*>(b), sb, n,
             [](std::uint8_t x, std::uint8_t y) { return Op::apply(x, y); });
}

template <class Op, class Fmt>
void unary_run(char* out, const char* a, std::ptrdiff_t sa, std::size_t n) {
  using Elem = typename Fmt::Elem;
  unary_map(reinterpret_cast<Elem*>(out), reinterpret_cast<const Elem*>(a), sa, n,
            [](Elem x) { return Op::apply(Fmt{}, x); });
}

// ---- Registration ------------------------------------------------------------------

constexpr std::size_t idx(DType d) { return static_cast<std::size_t>(d); }

template <class Op>
constexpr void register_arith(KernelTable& t, BinaryKernel k) {
  t.binary[k][idx(DType::F32)] = arith_run_f32<Op>;
  t.binary[k][idx(DType::F16)] = arith_run_half<Op, F16Format>;
  t.binary[k][idx(DType::BF16)] = arith_run_half<Op, BF16Format>;
}

template <class Op>
constexpr void register_compare(KernelTable& t, BinaryKernel k) {
  t.binary[k][idx(DType::F32)] = compare_run<Op, F32Format>;
  t.binary[k][idx(DType::F16)] = compare_run<Op, F16Format>;
  t.binary[k][idx(DType::BF16)] = compare_run<Op, BF16Format>;
  t.binary[k][idx(DType::Bool)] = compare_run<Op, BoolFormat>;
}

template <class Op>
constexpr void register_logic(KernelTable& t, BinaryKernel k) {
  t.binary[k][idx(DType::Bool)] = logic_run<Op>;
}

template <class Op>
constexpr void register_numeric_map(KernelTable& t, UnaryKernel k) {
  t.unary[k][idx(DType::F32)] = unary_run<Op, F32Format>;
  t.unary[k][idx(DType::F16)] = unary_run<Op, F16Format>;
  t.unary[k][idx(DType::BF16)] = unary_run<Op, BF16Format>;
}

template <class Op>
constexpr void register_bool_map(KernelTable& t, UnaryKernel k) {
  t.unary[k][idx(DType::Bool)] = unary_run<Op, BoolFormat>;
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
  register_numeric_map<Relu>(t, kRelu);
  register_bool_map<Not>(t, kNot);
  return t;
}

}  // namespace
}  // namespace quarn::engine::elementwise
