// Element-wise kernels and the strided walk.
//
// 1. Every kernel table the machine supports, every operation and dtype, on
//    runs of every stride shape (contiguous, broadcast, strided) and lengths
//    that cross the vector widths and the half-precision block, against a
//    scalar reference built from the conversion functions.
// 2. The public operations on broadcast, transposed and permuted operands,
//    element by element against a reference that walks the multi-index.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/convert.hpp"
#include "engine/cpu_features.hpp"
#include "engine/elementwise/kernel_table.hpp"
#include "engine/storage_ops.hpp"

using namespace quarn;
using namespace quarn::engine;
using namespace quarn::engine::elementwise;

namespace {

using quarn_test::check;
using quarn_test::g_failed;
using quarn_test::g_passed;

std::vector<const KernelTable*> supported_tables() {
  std::vector<const KernelTable*> t{&kernel_table_baseline()};
#if defined(__x86_64__)
  if (cpu_features().has_avx2_fma()) t.push_back(&kernel_table_avx2());
  if (cpu_features().has_avx512()) t.push_back(&kernel_table_avx512());
#endif
  return t;
}

const DType kNumeric[] = {DType::F16, DType::BF16, DType::F32};
const char* name(DType d) { return dtype_name(d).data(); }

// ---- Element access by dtype -----------------------------------------------------

float to_float(DType d, const char* p) { return quarn_test::element_value(d, p); }

// Stores the value rounded to dtype `d`.
void store(DType d, char* p, float v) {
  std::uint16_t h;
  switch (d) {
    case DType::F16:
      h = f32_to_f16(v);
      std::memcpy(p, &h, 2);
      return;
    case DType::BF16:
      h = f32_to_bf16(v);
      std::memcpy(p, &h, 2);
      return;
    case DType::F32:
      std::memcpy(p, &v, 4);
      return;
    case DType::Bool:
      *p = v != 0;
      return;
  }
}

bool is_nan_pattern(DType d, const char* p) {
  if (d == DType::F32) return std::isnan(to_float(d, p));
  if (d != DType::F16 && d != DType::BF16) return false;
  // Only the half types hold two bytes; a Bool element is one.
  std::uint16_t h;
  std::memcpy(&h, p, 2);
  return (h & 0x7FFF) > (d == DType::F16 ? 0x7C00 : 0x7F80);
}

// A NaN result must be a quiet NaN; which operand's payload survives is the
// hardware's choice. Anything else must match bit for bit.
bool same_result(DType d, const char* got, const char* want) {
  if (is_nan_pattern(d, want)) {
    if (!is_nan_pattern(d, got)) return false;
    std::uint32_t bits = 0;
    std::memcpy(&bits, got, dtype_size(d));
    if (d == DType::F16) return bits & 0x200;
    if (d == DType::BF16) return bits & 0x40;
    return bits & 0x00400000u;
  }
  return std::memcmp(got, want, dtype_size(d)) == 0;
}

// Random values that include the interesting ones: zeros of both signs,
// infinities, NaNs, subnormals, ties, and values that overflow in half.
float interesting(std::mt19937& rng, DType d) {
  static const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, -NAN, 1.0f, -1.0f,
                                   65504.0f, 16.0f, 1e-7f, -3e-8f, 1.00390625f, 0.1f, 3.0f, 7.0f};
  std::uint32_t r = rng();
  if (r % 4 == 0) return specials[(r >> 8) % 16];
  std::uniform_real_distribution<float> u(-100.0f, 100.0f);
  float v = u(rng);
  if (d == DType::Bool) return (r >> 3) & 1;
  return v;
}

std::vector<char> random_buffer(std::mt19937& rng, DType d, std::size_t n) {
  std::vector<char> buf(n * dtype_size(d) + 16);
  for (std::size_t i = 0; i < n; ++i) store(d, buf.data() + i * dtype_size(d), interesting(rng, d));
  return buf;
}

// ---- Scalar reference for one element ----------------------------------------------

// The kernel table under test, for references that use its own maps.
const KernelTable* g_table = nullptr;

float table_map(UnaryKernel k, float x) {
  float y = 0.0f;
  g_table->unary[k][static_cast<std::size_t>(DType::F32)](reinterpret_cast<char*>(&y), reinterpret_cast<const char*>(&x),
                                                         1, 1);
  return y;
}

void reference(BinaryKernel k, DType d, const char* a, const char* b, char* out) {
  float x = to_float(d, a), y = to_float(d, b);
  switch (k) {
    case kAdd:
      return store(d, out, x + y);
    case kSub:
      return store(d, out, x - y);
    case kMul:
      return store(d, out, x * y);
    case kDiv:
      return store(d, out, x / y);
    case kEq:
      *out = x == y;
      return;
    case kGe:
      *out = x >= y;
      return;
    case kGt:
      *out = x > y;
      return;
    case kLe:
      *out = x <= y;
      return;
    case kLt:
      *out = x < y;
      return;
    case kAnd:
      *out = *a & *b;
      return;
    case kOr:
      *out = *a | *b;
      return;
    case kXor:
      *out = *a != *b;
      return;
    case kReluBackward:
      // The gradient's own pattern passes where the input is above zero.
      if (x > 0) {
        std::memcpy(out, b, dtype_size(d));
      } else {
        std::memset(out, 0, dtype_size(d));
      }
      return;
    // The maps' gradients on (saved, g): binary32 formulas rounded once.
    case kExpGradient:
      return store(d, out, y * x);
    case kLogGradient:
      return store(d, out, y / x);
    case kTanhGradient:
      return store(d, out, y * (1.0f - x * x));
    case kSigmoidGradient:
      return store(d, out, y * (x * (1.0f - x)));
    case kAbsGradient:
      return store(d, out, x > 0 ? y : (x < 0 ? -y : x * y));
    case kNegGradient:
      return store(d, out, -y);
    case kSqrtGradient:
      return store(d, out, y / (x + x));
    case kRsqrtGradient:
      return store(d, out, y * (-0.5f * (x * x * x)));
    case kSquareGradient:
      return store(d, out, y * (x + x));
    case kSignGradient:
      return store(d, out, 0.0f);
    case kExp2Gradient:
      return store(d, out, y * (x * 0x1.62e43p-1f));
    case kLog2Gradient:
      return store(d, out, y / (x * 0x1.62e43p-1f));
    case kLog1pGradient:
      return store(d, out, y / (1.0f + x));
    case kExpm1Gradient:
      return store(d, out, y * (x + 1.0f));
    // The cosine, sine and sigmoid the gradients use are the table's own.
    case kSinGradient:
      return store(d, out, y * table_map(kCos, x));
    case kCosGradient:
      return store(d, out, y * -table_map(kSin, x));
    case kSiluGradient: {
      const float sg = table_map(kSigmoid, x);
      return store(d, out, y * (sg * (1.0f + x * (1.0f - sg))));
    }
    case kMaximum:
    case kMinimum: {
      const bool first = k == kMaximum ? x > y : x < y;
      return store(d, out, x != x || y != y ? x + y : (first ? x : y));
    }
    case kPow:
      return store(d, out, static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(y))));
    case kBinaryKernelCount:
      break;
  }
}

DType out_dtype(BinaryKernel k, DType in) { return k <= kDiv || k >= kReluBackward ? in : DType::Bool; }

const char* kernel_name(BinaryKernel k) {
  static const char* names[] = {"add", "sub", "mul", "div", "eq", "ge", "gt", "le", "lt", "and", "or", "xor",
#define QUARN_GRADIENT_NAME(name, ...) #name " gradient",
                                QUARN_MAPS(QUARN_GRADIENT_NAME)
#undef QUARN_GRADIENT_NAME
#define QUARN_PAIRWISE_NAME(name, ...) #name,
                                QUARN_PAIRWISE(QUARN_PAIRWISE_NAME)
#undef QUARN_PAIRWISE_NAME
  };
  static_assert(std::size(names) == kBinaryKernelCount);
  return names[k];
}

// The transcendental maps promise one ulp, not correct rounding: the
// reference is computed in binary64 and rounded once to binary32.
bool is_float_map(int k) {
  return k == kExp || k == kLog || k == kTanh || k == kSigmoid || k == kRsqrt || k == kExp2 || k == kLog2 ||
         k == kLog1p || k == kExpm1 || k == kSin || k == kCos;
}

double map_reference(int k, float x) {
  const double v = x;
  switch (k) {
    case kExp:
      return std::exp(v);
    case kLog:
      return std::log(v);
    case kTanh:
      return std::tanh(v);
    case kRsqrt:
      return 1.0 / std::sqrt(v);
    case kExp2:
      return std::exp2(v);
    case kLog2:
      return std::log2(v);
    case kLog1p:
      return std::log1p(v);
    case kExpm1:
      return std::expm1(v);
    case kSin:
      return std::sin(v);
    case kCos:
      return std::cos(v);
    default:
      return 1.0 / (1.0 + std::exp(-v));
  }
}

// Maps of QUARN_MORE_MAPS exact in binary32 (silu: x times the table's own
// sigmoid), as binary32 results rounded once.
bool is_exact_new_map(int k) { return k == kSqrt || k == kSquare || k == kSign || k == kSilu; }

float exact_map_reference(int k, float x) {
  if (k == kSqrt) return std::sqrt(x);
  if (k == kSquare) return x * x;
  if (k == kSilu) return x * table_map(kSigmoid, x);
  return x > 0 ? 1.0f : x < 0 ? -1.0f : (x != x ? x : 0.0f);
}

// Distance in units in the last place of dtype `d`, counting the patterns
// between the two values (the zeros count as one); NaN matches only a quiet NaN.
bool within_one_ulp(DType d, const char* got, const char* want) {
  if (is_nan_pattern(d, want) || is_nan_pattern(d, got)) return same_result(d, got, want);
  const std::size_t n = dtype_size(d);
  std::uint32_t g = 0, w = 0;
  std::memcpy(&g, got, n);
  std::memcpy(&w, want, n);
  const std::uint32_t sign = n == 2 ? 0x8000u : 0x80000000u;
  auto key = [sign](std::uint32_t b) {
    return (b & sign) ? -static_cast<std::int64_t>(b & (sign - 1)) : static_cast<std::int64_t>(b);
  };
  const std::int64_t diff = key(g) - key(w);
  return diff >= -1 && diff <= 1;
}

// ---- 1. Kernel runs ------------------------------------------------------------------

// One binary kernel on every run shape, against the reference.
int binary_run_mismatches(std::mt19937& rng, BinaryRunFn fn, BinaryKernel k, DType d) {
  const std::size_t lengths[] = {0, 1, 7, 8, 15, 16, 17, 33, 511, 512, 513, 1100, 5000};
  const std::ptrdiff_t strides[] = {1, 0, 3};
  const DType od = out_dtype(k, d);
  const std::size_t is = dtype_size(d), os = dtype_size(od);
  int bad = 0;
  for (std::size_t n : lengths) {
    for (std::ptrdiff_t sa : strides) {
      for (std::ptrdiff_t sb : strides) {
        auto a = random_buffer(rng, d, 3 * n + 1), b = random_buffer(rng, d, 3 * n + 1);
        std::vector<char> out(n * os + 8, 0x5A), want(os);
        fn(out.data(), a.data(), sa, b.data(), sb, n);
        for (std::size_t i = 0; i < n; ++i) {
          reference(k, d, a.data() + i * sa * is, b.data() + i * sb * is, want.data());
          // pow's reference is the C library's, which the kernel meets
          // within an ulp of the 16-bit or binary32 result.
          bad += k == kPow ? !within_one_ulp(od, out.data() + i * os, want.data())
                           : !same_result(od, out.data() + i * os, want.data());
        }
        bad += out[n * os] != 0x5A;  // nothing written past the run
      }
    }
  }
  return bad;
}

void test_binary_runs() {
  std::mt19937 rng(2024);
  for (const KernelTable* t : supported_tables()) {
    g_table = t;
    for (bool streaming : {false, true}) {
      for (int ki = 0; ki < kBinaryKernelCount; ++ki) {
        auto k = static_cast<BinaryKernel>(ki);
        for (std::size_t di = 0; di < kDTypeCount; ++di) {
          BinaryRunFn fn = (streaming ? t->binary_streaming : t->binary)[k][di];
          if (!fn) continue;
          auto d = static_cast<DType>(di);
          check(binary_run_mismatches(rng, fn, k, d) == 0,
                std::string(t->name) + (streaming ? " streaming " : " ") + kernel_name(k) + " " + name(d));
        }
      }
    }
  }
}

void test_unary_runs() {
  std::mt19937 rng(7);
  for (const KernelTable* t : supported_tables()) {
    g_table = t;
    for (DType d : {DType::F16, DType::BF16, DType::F32, DType::Bool}) {
      for (int kj = 0; kj < 2 * kUnaryKernelCount; ++kj) {
        const int ki = kj % kUnaryKernelCount;
        const bool streaming = kj >= kUnaryKernelCount;
        UnaryRunFn fn = (streaming ? t->unary_streaming : t->unary)[ki][static_cast<std::size_t>(d)];
        if (!fn) continue;
        const std::size_t is = dtype_size(d);
        int bad = 0;
        for (std::size_t n : {0, 1, 9, 31, 32, 100, 1000, 5000}) {
          for (std::ptrdiff_t sa : {1, 2}) {
            auto a = random_buffer(rng, d, 2 * n + 1);
            std::vector<char> out(n * is + 4, 0x5A), want(is);
            fn(out.data(), a.data(), sa, n);
            for (std::size_t i = 0; i < n; ++i) {
              const char* x = a.data() + i * sa * is;
              if (ki == kNot) {
                want[0] = *x == 0;
              } else if (ki == kAbs || ki == kNeg) {
                // Only the sign bit changes, NaN payloads included.
                std::memcpy(want.data(), x, is);
                want[is - 1] = static_cast<char>(ki == kAbs ? want[is - 1] & 0x7F : want[is - 1] ^ 0x80);
              } else if (is_exact_new_map(ki)) {
                store(d, want.data(), exact_map_reference(ki, to_float(d, x)));
                bad += !same_result(d, out.data() + i * is, want.data());
                continue;
              } else if (is_float_map(ki)) {
                store(d, want.data(), static_cast<float>(map_reference(ki, to_float(d, x))));
                bad += !within_one_ulp(d, out.data() + i * is, want.data());
                continue;
              } else {
                // x if x > 0, else +0 (NaN included): decided by value here,
                // by bit pattern in the kernels.
                float v = to_float(d, x);
                if (v > 0) std::memcpy(want.data(), x, is);
                else std::memset(want.data(), 0, is);
              }
              bad += std::memcmp(out.data() + i * is, want.data(), is) != 0;
            }
            bad += out[n * is] != 0x5A;
          }
        }
        static const char* names[] = {" not ",
#define QUARN_MAP_NAME(name, ...) " " #name " ",
                                      QUARN_MAPS(QUARN_MAP_NAME)
#undef QUARN_MAP_NAME
        };
        static_assert(std::size(names) == kUnaryKernelCount);
        check(bad == 0, std::string(t->name) + (streaming ? " streaming" : "") + names[ki] + name(d));
      }
    }
  }
}

// The maps with numbers and their gradients, on every table: every run
// shape (strided, streaming, the 16-bit formats) gives the contiguous
// binary32 run's bits (rounded once for the 16-bit formats), and the
// binary32 results agree with binary64 references within a few ulp of the
// largest value (gelu's own accuracy is measured in test_maps_accuracy).
void test_param_runs() {
  struct Case {
    ParamKernel kernel;
    ParamGradientKernel gradient;
    float p0, p1;
    double (*value)(double, double, double);
    double (*slope)(double, double, double);
  };
  const Case cases[] = {
      {kGelu, kGeluGradient, 0.0f, 0.0f, [](double x, double, double) { return x * 0.5 * std::erfc(-x / std::sqrt(2.0)); },
       [](double x, double, double) {
         return 0.5 * std::erfc(-x / std::sqrt(2.0)) + x * std::exp(-x * x / 2) / std::sqrt(2 * M_PI);
       }},
      {kLeakyRelu, kLeakyReluGradient, 0.25f, 0.0f, [](double x, double a, double) { return x > 0 ? x : a * x; },
       [](double x, double a, double) { return x > 0 ? 1.0 : a; }},
      {kElu, kEluGradient, 1.5f, 0.0f, [](double x, double a, double) { return x > 0 ? x : a * std::expm1(x); },
       [](double x, double a, double) { return x > 0 ? 1.0 : a * std::exp(x); }},
      {kSoftplus, kSoftplusGradient, 2.0f, 30.0f,
       [](double x, double b, double th) { return b * x > th ? x : std::log1p(std::exp(b * x)) / b; },
       [](double x, double b, double th) { return b * x > th ? 1.0 : 1.0 / (1.0 + std::exp(-b * x)); }},
      {kHardtanh, kHardtanhGradient, -2.0f, 3.0f, [](double x, double lo, double hi) { return std::min(std::max(x, lo), hi); },
       [](double x, double lo, double hi) { return x <= lo || x >= hi ? 0.0 : 1.0; }},
      {kClip, kClipGradient, -2.0f, 3.0f, [](double x, double lo, double hi) { return std::min(std::max(x, lo), hi); },
       [](double x, double lo, double hi) { return x >= lo && x <= hi ? 1.0 : 0.0; }},
      {kPowNumber, kPowNumberGradient, 3.0f, 0.0f, [](double x, double e, double) { return std::pow(x, e); },
       [](double x, double e, double) { return e * std::pow(x, e - 1); }},
      {kPowNumber, kPowNumberGradient, 1.75f, 0.0f, [](double x, double e, double) { return std::pow(x, e); },
       [](double x, double e, double) { return e * std::pow(x, e - 1); }},
  };
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> u(-8.0f, 8.0f);
  const std::size_t n = 5000;
  std::vector<float> x(2 * n), g(2 * n);
  for (float& v : x) v = u(rng);
  for (float& v : g) v = u(rng);
  auto bytes = [](auto& v, std::size_t i = 0) { return reinterpret_cast<char*>(v.data() + i); };
  for (const KernelTable* t : supported_tables()) {
    for (const Case& c : cases) {
      const float params[2] = {c.p0, c.p1};
      const std::string what = std::string(t->name) + " parameterised kernel " + std::to_string(c.kernel);
      const std::size_t f32 = static_cast<std::size_t>(DType::F32);
      std::vector<float> whole(n), other(n), grad(n), grad_strided(n), dense(n), dense_g(n);
      for (std::size_t i = 0; i < n; ++i) dense[i] = x[2 * i], dense_g[i] = g[2 * i];
      t->param[c.kernel][f32](bytes(whole), bytes(dense), 1, n, params);
      int bad = 0;
      for (bool streaming : {false, true}) {
        (streaming ? t->param_streaming : t->param)[c.kernel][f32](bytes(other), bytes(x), 2, n, params);
        bad += std::memcmp(whole.data(), other.data(), n * sizeof(float)) != 0;
        (streaming ? t->param_streaming : t->param)[c.kernel][f32](bytes(other, 0), bytes(dense, 3), 1, n - 3, params);
        bad += std::memcmp(whole.data() + 3, other.data(), (n - 3) * sizeof(float)) != 0;
      }
      t->param_gradient[c.gradient][f32](bytes(grad), bytes(dense), 1, bytes(dense_g), 1, n, params);
      t->param_gradient[c.gradient][f32](bytes(grad_strided), bytes(x), 2, bytes(g), 2, n, params);
      bad += std::memcmp(grad.data(), grad_strided.data(), n * sizeof(float)) != 0;
      check(bad == 0, what + ": every run shape gives the same bits");
      // Against binary64, within 16 binary32 units of the largest value.
      double scale = 0, worst = 0, gscale = 0, gworst = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const double want = c.value(dense[i], c.p0, c.p1);
        const double gwant = dense_g[i] * c.slope(dense[i], c.p0, c.p1);
        scale = std::max(scale, std::fabs(want));
        gscale = std::max(gscale, std::fabs(gwant));
        worst = std::max(worst, std::fabs(whole[i] - want));
        gworst = std::max(gworst, std::fabs(grad[i] - gwant));
      }
      check(worst <= 16 * 0x1p-24 * scale && gworst <= 16 * 0x1p-24 * gscale, what + " near its binary64 reference");
      // The 16-bit formats: the binary32 run on the widened values, rounded once.
      for (DType d : {DType::F16, DType::BF16}) {
        std::vector<std::uint16_t> h(n), hg(n), out(n), gout(n);
        std::vector<float> wide(n), wide_g(n), ref(n), gref(n);
        for (std::size_t i = 0; i < n; ++i) {
          h[i] = d == DType::F16 ? f32_to_f16(dense[i]) : f32_to_bf16(dense[i]);
          hg[i] = d == DType::F16 ? f32_to_f16(dense_g[i]) : f32_to_bf16(dense_g[i]);
          wide[i] = d == DType::F16 ? f16_to_f32(h[i]) : bf16_to_f32(h[i]);
          wide_g[i] = d == DType::F16 ? f16_to_f32(hg[i]) : bf16_to_f32(hg[i]);
        }
        const std::size_t di = static_cast<std::size_t>(d);
        t->param[c.kernel][di](bytes(out), bytes(h), 1, n, params);
        t->param_gradient[c.gradient][di](bytes(gout), bytes(h), 1, bytes(hg), 1, n, params);
        t->param[c.kernel][f32](bytes(ref), bytes(wide), 1, n, params);
        t->param_gradient[c.gradient][f32](bytes(gref), bytes(wide), 1, bytes(wide_g), 1, n, params);
        int mismatched = 0;
        for (std::size_t i = 0; i < n; ++i) {
          mismatched += out[i] != (d == DType::F16 ? f32_to_f16(ref[i]) : f32_to_bf16(ref[i]));
          mismatched += gout[i] != (d == DType::F16 ? f32_to_f16(gref[i]) : f32_to_bf16(gref[i]));
        }
        check(mismatched == 0, what + " " + name(d) + " rounds the binary32 result once");
      }
    }
  }
}

// ---- 2. Public operations -------------------------------------------------------------

// A row-major storage of `shape` filled with random values.
Storage random_storage(std::mt19937& rng, DType d, Shape shape) {
  Storage s = Storage::allocate_row_major(d, std::move(shape));
  char* p = s.mutable_data_as<char>();
  for (std::size_t i = 0; i < s.numel(); ++i) store(d, p + i * s.itemsize(), interesting(rng, d));
  return s;
}

// The same elements seen with two axes swapped, as transpose makes them.
Storage swapped(const Storage& s, std::size_t i, std::size_t j) {
  Shape sh = s.shape();
  Strides st = s.strides();
  std::swap(sh[i], sh[j]);
  std::swap(st[i], st[j]);
  return s.relabel(sh, st);
}

const char* at(const Storage& s, const SmallVector<std::size_t>& index, std::size_t lead) {
  // `index` is over the target shape; s is aligned to its trailing axes.
  std::ptrdiff_t off = 0;
  for (std::size_t i = 0; i < s.ndim(); ++i) {
    std::size_t ix = s.shape()[i] == 1 ? 0 : index[lead + i];
    off += static_cast<std::ptrdiff_t>(ix) * s.strides()[i];
  }
  return s.data_as<char>() + off * static_cast<std::ptrdiff_t>(s.itemsize());
}

// Walks every position of the result and compares with the reference.
void check_against_reference(BinaryKernel k, const Storage& a, const Storage& b, const Storage& r,
                             const std::string& what) {
  const Shape& shape = r.shape();
  const std::size_t nd = shape.size();
  SmallVector<std::size_t> index(nd, 0);
  int bad = 0;
  std::vector<char> want(4);
  for (std::size_t pos = 0; pos < r.numel(); ++pos) {
    reference(k, a.dtype(), at(a, index, nd - a.ndim()), at(b, index, nd - b.ndim()), want.data());
    bad += !same_result(r.dtype(), at(r, index, 0), want.data());
    for (std::size_t d = nd; d-- > 0;) {
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
  check(bad == 0, what);
}

using BinaryOp = std::function<Result<Storage>(const Storage&, const Storage&)>;

struct NamedOp {
  BinaryKernel kernel;
  BinaryOp op;
};

std::vector<NamedOp> public_ops() {
  return {
      {kAdd, [](const Storage& a, const Storage& b) { return engine::add(a, b); }},
      {kSub, [](const Storage& a, const Storage& b) { return engine::sub(a, b); }},
      {kMul, [](const Storage& a, const Storage& b) { return engine::mul(a, b); }},
      {kDiv, [](const Storage& a, const Storage& b) { return engine::div(a, b); }},
      {kEq, [](const Storage& a, const Storage& b) { return compare(CompareOp::kEq, a, b); }},
      {kLt, [](const Storage& a, const Storage& b) { return compare(CompareOp::kLt, a, b); }},
      {kGe, [](const Storage& a, const Storage& b) { return compare(CompareOp::kGe, a, b); }},
  };
}

void test_public_broadcasting() {
  std::mt19937 rng(11);
  struct Case {
    Shape a, b;
  };
  const Case cases[] = {
      {{2, 3}, {3}},          {{2, 1}, {1, 3}},      {{4, 1, 5}, {3, 1}}, {{}, {2, 3}},
      {{}, {}},               {{0}, {1}},            {{2, 0}, {1}},       {{130, 140}, {140}},
      {{130, 1}, {1, 140}},   {{3, 1, 4, 1}, {2, 1, 5}}, {{600}, {600}},  {{5, 1}, {5, 1}},
  };
  for (DType d : kNumeric) {
    for (const Case& c : cases) {
      Storage a = random_storage(rng, d, c.a), b = random_storage(rng, d, c.b);
      for (const NamedOp& op : public_ops()) {
        auto r = op.op(a, b);
        if (!r.ok()) {
          check(false, "unexpected error " + r.error().message);
          continue;
        }
        check_against_reference(op.kernel, a, b, *r,
                                std::string("broadcast ") + kernel_name(op.kernel) + " " + name(d) + " " +
                                    format_shape(c.a) + " " + format_shape(c.b));
        auto rev = op.op(b, a);
        check(rev.ok(), "reverse order broadcasts too");
        if (rev.ok()) check_against_reference(op.kernel, b, a, *rev, "reversed operands");
      }
    }
  }
}

// Transposed and permuted operands: values through strides, tiles included.
void test_public_strided() {
  std::mt19937 rng(5);
  for (DType d : kNumeric) {
    Storage big = random_storage(rng, d, {200, 300});
    Storage big_t = swapped(random_storage(rng, d, {300, 200}), 0, 1);  // [200, 300], strides [1, 200]
    Storage cube = swapped(random_storage(rng, d, {4, 5, 6}), 0, 2);     // [6, 5, 4]
    Storage cube_rm = random_storage(rng, d, {6, 5, 4});
    Storage row = random_storage(rng, d, {300});
    Storage col = swapped(random_storage(rng, d, {1, 200}), 0, 1);      // [200, 1]
    const std::pair<const Storage*, const Storage*> pairs[] = {
        {&big_t, &big}, {&big, &big_t}, {&big_t, &big_t}, {&big_t, &row},
        {&col, &big_t}, {&cube, &cube_rm}, {&cube, &cube}};
    for (const auto& [a, b] : pairs) {
      for (const NamedOp& op : public_ops()) {
        auto r = op.op(*a, *b);
        check(r.ok(), "strided operands");
        if (r.ok())
          check_against_reference(op.kernel, *a, *b, *r,
                                  std::string("strided ") + kernel_name(op.kernel) + " " + name(d) + " " +
                                      format_shape(a->shape()));
      }
    }
  }
}

// Bool operands take the tiled walk with one-byte tiles.
void test_public_strided_bool() {
  std::mt19937 rng(8);
  Storage a = swapped(random_storage(rng, DType::Bool, {300, 200}), 0, 1);  // [200, 300], transposed
  Storage b = random_storage(rng, DType::Bool, {200, 300});
  const std::pair<BinaryKernel, Result<Storage>> results[] = {
      {kXor, logical(LogicOp::kXor, a, b)},
      {kAnd, logical(LogicOp::kAnd, b, a)},
      {kLt, compare(CompareOp::kLt, a, b)},
  };
  for (const auto& [k, r] : results) {
    check(r.ok(), "bool strided");
    if (r.ok()) check_against_reference(k, k == kAnd ? b : a, k == kAnd ? a : b, r.value(),
                                        std::string("bool strided ") + kernel_name(k));
  }
}

// Scalar operations and scalar comparisons equal the tensor-tensor ones
// against a one-element tensor holding the number rounded to the dtype.
void test_public_scalar() {
  std::mt19937 rng(3);
  for (DType d : kNumeric) {
    for (Storage a : {random_storage(rng, d, {37, 3}), swapped(random_storage(rng, d, {3, 37}), 0, 1)}) {
      for (float s : {0.1f, -2.5f, 0.0f, 70000.0f, NAN}) {
        Storage one = Storage::allocate_row_major(d, {});
        store(d, one.mutable_data_as<char>(), s);
        const std::pair<BinaryKernel, Result<Storage>> results[] = {
            {kAdd, scalar_add(a, s)},
            {kSub, scalar_sub(a, s)},
            {kMul, scalar_product(a, s)},
            {kGt, compare_scalar(CompareOp::kGt, a, s)},
            {kEq, compare_scalar(CompareOp::kEq, a, s)},
            {kLe, compare_scalar(CompareOp::kLe, a, s)},
        };
        for (const auto& [k, r] : results) {
          check(r.ok() && r->strides() == a.strides(), "scalar result keeps the operand's strides");
          if (r.ok()) check_against_reference(k, a, one, r.value(), std::string("scalar ") + kernel_name(k) + " " + name(d));
        }
        auto rd = scalar_rdiv(a, s);
        if (rd.ok()) check_against_reference(kDiv, one, a, *rd, std::string("rdiv ") + name(d));
      }
    }
  }
}

// ---- Layout and messages --------------------------------------------------------------

void test_result_layout() {
  std::mt19937 rng(1);
  Storage rm = random_storage(rng, DType::F32, {3, 2});
  Storage t = swapped(random_storage(rng, DType::F32, {2, 3}), 0, 1);  // [3, 2] strides [1, 3]
  auto strides_of = [](const Result<Storage>& r) { return r.ok() ? r->strides() : Strides{99}; };
  check(strides_of(add(t, t)) == Strides{1, 3}, "two transposed operands give a column-major result");
  check(strides_of(add(t, rm)) == Strides{2, 1}, "transposed with row-major gives row-major");
  check(strides_of(add(rm, t)) == Strides{2, 1}, "row-major with transposed gives row-major");
  check(strides_of(scalar_product(t, 2.0f)) == Strides{1, 3}, "scalar op keeps transposed strides");
  check(strides_of(relu(t)) == Strides{1, 3}, "relu keeps transposed strides");
  Storage scalar = random_storage(rng, DType::F32, {});
  check(strides_of(add(t, scalar)) == Strides{1, 3}, "transposed with a 0-d operand is column-major");
  Storage col = random_storage(rng, DType::F32, {3, 1});
  // [3, 1] broadcast to [3, 2]: strides [1, 0] leans column-major (-1), the
  // transposed operand is column-major (-2).
  check(strides_of(add(t, col)) == Strides{1, 3}, "scores below zero give column-major");
  // A row vector leans row-major (+1) and outweighs nothing else: row-major.
  Storage row = random_storage(rng, DType::F32, {2});
  check(strides_of(add(t, row)) == Strides{1, 3}, "transposed (-2) with a row vector (+1) is column-major");
  // A column (-1) against a row (+1) ties at 0: row-major.
  check(strides_of(add(col, row)) == Strides{2, 1}, "leaning both ways ties to row-major");
  Storage cube = swapped(random_storage(rng, DType::F32, {4, 5, 6}), 0, 1);  // [5, 4, 6], strides [6, 30, 1]
  check(strides_of(add(cube, cube)) == Strides{24, 6, 1}, "permuted operands lean row-major");
  check(strides_of(relu(cube)) == Strides{6, 30, 1}, "element maps keep any dense order");
  Storage bools = swapped(Storage::allocate_row_major(DType::Bool, {2, 3}), 0, 1);
  std::memset(bools.mutable_data(), 1, 6);
  check(logical_not(bools).strides() == Strides{1, 3}, "not keeps transposed strides");
}

void test_messages() {
  std::mt19937 rng(9);
  Storage f32 = random_storage(rng, DType::F32, {2, 3});
  Storage f16 = random_storage(rng, DType::F16, {4});
  Storage f32b = random_storage(rng, DType::F32, {4});
  Storage bools = Storage::allocate_row_major(DType::Bool, {2});
  std::memset(bools.mutable_data(), 0, 2);
  auto expect = [](const Result<Storage>& r, ErrorKind kind, const std::string& msg) {
    check(!r.ok() && r.error().kind == kind && r.error().message == msg, "message: " + msg);
  };
  expect(add(bools, bools), ErrorKind::kTypeError,
         "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
  expect(mul(f32, f16), ErrorKind::kValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16.");
  expect(sub(bools, f32), ErrorKind::kValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32.");
  expect(engine::div(f32, f32b), ErrorKind::kRuntimeError, "Shape mismatch: cannot broadcast [2, 3] and [4]");
  expect(add(f32b, f32), ErrorKind::kRuntimeError, "Shape mismatch: cannot broadcast [4] and [2, 3]");
  expect(scalar_add(bools, 1), ErrorKind::kValueError,
         "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar.");
  expect(scalar_sub(bools, 1), ErrorKind::kValueError,
         "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar.");
  expect(scalar_product(bools, 1), ErrorKind::kValueError,
         "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar.");
  expect(scalar_rdiv(bools, 1), ErrorKind::kValueError,
         "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar.");
  expect(compare(CompareOp::kGe, f32, f16), ErrorKind::kRuntimeError,
         "Tensor device or dtype mismatch for element-wise >= operation.");
  expect(compare_scalar(CompareOp::kLt, bools, 0), ErrorKind::kRuntimeError,
         "Tensor device or dtype mismatch for scalar < operation.");
  expect(logical(LogicOp::kOr, bools, f32), ErrorKind::kRuntimeError,
         "Logical operations are only supported for Bool data types.");
  expect(relu(bools), ErrorKind::kTypeError, "Tensor Dtype not supported for this operation: relu");

  // Empty operands whose target overflows a machine word.
  const std::size_t huge = std::size_t{1} << 40;
  Storage e1 = Storage::allocate_row_major(DType::F32, {huge, 1, 0});
  Storage e2 = Storage::allocate_row_major(DType::F32, {1, huge, 0});
  expect(add(e1, e2), ErrorKind::kRuntimeError,
         "Broadcast failed for A: [1099511627776, 1, 0] -> [1099511627776, 1099511627776, 0]");
  auto shape = broadcast_shape({4, 1, 5}, {3, 1});
  check(shape.ok() && *shape == Shape{4, 3, 5}, "broadcast_shape [4, 1, 5] with [3, 1]");
  auto bad = broadcast_shape({0}, {3});
  check(!bad.ok() && bad.error().message == "Shape mismatch: cannot broadcast [0] and [3]", "[0] with [3]");
}

}  // namespace

// A kernel the table lacks for a dtype (every map's on bool) is a fault with a
// message, never a call through a null pointer; so is a map asked of an
// operation that is not one.
void test_missing_kernels_fault() {
  auto faults = [](auto&& call) {
    try {
      call();
    } catch (const Fault& f) {
      return std::string(f.what()).find("internal error") == 0;
    }
    return false;
  };
  for (bool streaming : {false, true}) {
    check(faults([&] { binary_kernel(kExpGradient, DType::Bool, streaming); }), "binary kernel missing for bool");
    check(faults([&] { unary_kernel(kExp, DType::Bool, streaming); }), "unary kernel missing for bool");
  }
  check(faults([] { map_kernel_of(Op::matmul); }), "matmul is no map");
  check(faults([] { gradient_kernel_of(Op::sum); }), "sum has no map gradient");
}

int main() {
  test_missing_kernels_fault();
  test_binary_runs();
  test_unary_runs();
  test_param_runs();
  test_public_broadcasting();
  test_public_strided();
  test_public_strided_bool();
  test_public_scalar();
  test_result_layout();
  test_messages();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
