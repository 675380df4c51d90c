// Accuracy of the binary32 maps exp, log, tanh and sigmoid, and of those
// computed through binary64 (exp2, log2, log1p, expm1, sin, cos, rsqrt, sqrt).
//
// The reference is the binary64 function rounded once to binary32; every
// result must be within one ulp of it, NaN exactly where it is NaN. The
// default run sweeps every 97th of the 2^32 patterns on the active kernel
// table (a coarser sample on the other tables the machine has), checks the
// special values bit for bit, checks that an element's bits do not depend on
// where in a run it falls, and checks the half-precision kernels on every
// pattern against the binary32 kernel rounded once.
//
//   --exhaustive  sweep all 2^32 patterns on every table the machine has
//   --only NAME   sweep and check the half formats of that map alone
//   --bench       print ns per element of each map over 4M binary32 values,
//                 through the public operation and through the bare kernels
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

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

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }
float float_of(std::uint32_t u) { return std::bit_cast<float>(u); }

struct Map {
  UnaryKernel kernel;
  const char* name;
  double (*reference)(double);
  Result<Storage> (*op)(const Storage&);
};

const Map kMaps[] = {
    {kExp, "exp", [](double x) { return std::exp(x); }, engine::exp},
    {kLog, "log", [](double x) { return std::log(x); }, engine::log},
    {kTanh, "tanh", [](double x) { return std::tanh(x); }, engine::tanh},
    {kSigmoid, "sigmoid", [](double x) { return 1.0 / (1.0 + std::exp(-x)); }, engine::sigmoid},
    // Computed in binary64 and rounded once (wide_math.hpp).
    {kExp2, "exp2", [](double x) { return std::exp2(x); }, [](const Storage& s) { return engine::map(Op::exp2, s); }},
    {kLog2, "log2", [](double x) { return std::log2(x); }, [](const Storage& s) { return engine::map(Op::log2, s); }},
    {kLog1p, "log1p", [](double x) { return std::log1p(x); }, [](const Storage& s) { return engine::map(Op::log1p, s); }},
    {kExpm1, "expm1", [](double x) { return std::expm1(x); }, [](const Storage& s) { return engine::map(Op::expm1, s); }},
    {kSin, "sin", [](double x) { return std::sin(x); }, [](const Storage& s) { return engine::map(Op::sin, s); }},
    {kCos, "cos", [](double x) { return std::cos(x); }, [](const Storage& s) { return engine::map(Op::cos, s); }},
    {kRsqrt, "rsqrt", [](double x) { return 1.0 / std::sqrt(x); }, [](const Storage& s) { return engine::map(Op::rsqrt, s); }},
    {kSqrt, "sqrt", [](double x) { return std::sqrt(x); }, [](const Storage& s) { return engine::map(Op::sqrt, s); }},
};
// The first four sweep every 97th pattern by default, the binary64 ones
// (slower references, and the same formula on every table) every 1021st.
constexpr std::size_t kFirstFour = 4;

std::vector<const KernelTable*> supported_tables() {
  std::vector<const KernelTable*> t{&kernel_table_baseline()};
#if defined(__x86_64__)
  if (cpu_features().has_avx2_fma()) t.push_back(&kernel_table_avx2());
  if (cpu_features().has_avx512()) t.push_back(&kernel_table_avx512());
#endif
  return t;
}

// Patterns between two binary32 values (both zeros count as one); NaN is
// infinitely far from everything but NaN.
constexpr std::int64_t kNanMismatch = std::int64_t{1} << 40;

std::int64_t ulp_distance(float got, float want) {
  if (std::isnan(got) || std::isnan(want)) return std::isnan(got) && std::isnan(want) ? 0 : kNanMismatch;
  auto key = [](float f) {
    const std::uint32_t b = bits_of(f);
    return (b & 0x80000000u) ? -static_cast<std::int64_t>(b & 0x7FFFFFFFu) : static_cast<std::int64_t>(b);
  };
  const std::int64_t d = key(got) - key(want);
  return d < 0 ? -d : d;
}

// ---- Sweeps -------------------------------------------------------------------------

struct Worst {
  std::int64_t ulps = 0;
  float input = 0, got = 0, want = 0;
  std::uint64_t count = 0;
  std::uint64_t inexact = 0;  // results other than the correctly rounded one
};

// Every `stride`-th pattern through the kernel, against the reference.
Worst sweep(UnaryRunFn fn, double (*reference)(double), std::uint64_t stride) {
  constexpr std::size_t kChunk = 1 << 16;
  std::vector<float> in(kChunk), out(kChunk);
  Worst w;
  std::uint64_t p = 0;
  while (p < (std::uint64_t{1} << 32)) {
    std::size_t m = 0;
    for (; m < kChunk && p < (std::uint64_t{1} << 32); ++m, p += stride) in[m] = float_of(static_cast<std::uint32_t>(p));
    fn(reinterpret_cast<char*>(out.data()), reinterpret_cast<const char*>(in.data()), 1, m);
    for (std::size_t i = 0; i < m; ++i) {
      const float want = static_cast<float>(reference(in[i]));
      const std::int64_t d = ulp_distance(out[i], want);
      w.inexact += d != 0;
      if (d > w.ulps) w = {d, in[i], out[i], want, w.count, w.inexact};
    }
    w.count += m;
  }
  return w;
}

void report_sweep(const KernelTable& t, const Map& map, std::uint64_t stride) {
  UnaryRunFn fn = t.unary[map.kernel][static_cast<std::size_t>(DType::F32)];
  const Worst w = sweep(fn, map.reference, stride);
  std::printf("%-8s %-7s every %llu-th pattern (%llu values): max %lld ulp at x = %a (got %a, want %a), "
              "%.4f%% not correctly rounded\n",
              t.name, map.name, static_cast<unsigned long long>(stride), static_cast<unsigned long long>(w.count),
              static_cast<long long>(w.ulps), w.input, w.got, w.want, 100.0 * w.inexact / w.count);
  check(w.ulps <= 1, std::string(t.name) + " " + map.name + " within one ulp");
}

// ---- Special values, bit for bit ------------------------------------------------------

struct Special {
  float x, want;
};

void test_specials(const KernelTable& t) {
  const float inf = INFINITY, nan = NAN, tiny = float_of(1);  // smallest subnormal
  const Special exp_cases[] = {{0.0f, 1.0f},  {-0.0f, 1.0f}, {inf, inf},        {-inf, 0.0f},
                               {nan, nan},    {89.0f, inf},  {-104.0f, 0.0f},   {tiny, 1.0f}};
  const Special log_cases[] = {{0.0f, -inf}, {-0.0f, -inf}, {1.0f, 0.0f}, {-1.0f, nan},
                               {inf, inf},   {-inf, nan},   {nan, nan},   {-tiny, nan}};
  const Special tanh_cases[] = {{0.0f, 0.0f},  {-0.0f, -0.0f},  {inf, 1.0f}, {-inf, -1.0f}, {nan, nan},
                                {20.0f, 1.0f}, {-20.0f, -1.0f}, {tiny, tiny}, {-tiny, -tiny}};
  const Special sigmoid_cases[] = {{0.0f, 0.5f},   {-0.0f, 0.5f},    {inf, 1.0f}, {-inf, 0.0f},
                                   {nan, nan},     {100.0f, 1.0f},   {-200.0f, 0.0f}, {tiny, 0.5f}};
  auto run = [&](const Map& map, const Special* cases, std::size_t n) {
    UnaryRunFn fn = t.unary[map.kernel][static_cast<std::size_t>(DType::F32)];
    for (std::size_t i = 0; i < n; ++i) {
      float got;
      fn(reinterpret_cast<char*>(&got), reinterpret_cast<const char*>(&cases[i].x), 1, 1);
      const bool ok = std::isnan(cases[i].want) ? std::isnan(got) && (bits_of(got) & 0x00400000u)
                                                : bits_of(got) == bits_of(cases[i].want);
      char what[160];
      std::snprintf(what, sizeof what, "%s %s(%a) = %a, want %a", t.name, map.name, cases[i].x, got, cases[i].want);
      check(ok, what);
    }
  };
  run(kMaps[0], exp_cases, std::size(exp_cases));
  run(kMaps[1], log_cases, std::size(log_cases));
  run(kMaps[2], tanh_cases, std::size(tanh_cases));
  run(kMaps[3], sigmoid_cases, std::size(sigmoid_cases));
  const float nan_ = nan;
  const Special exp2_cases[] = {{0.0f, 1.0f}, {-0.0f, 1.0f}, {inf, inf}, {-inf, 0.0f}, {nan_, nan_},
                                {128.0f, inf}, {127.0f, 0x1p127f}, {-149.0f, tiny}, {-150.0f, 0.0f}, {-126.5f, static_cast<float>(std::exp2(-126.5))}};
  const Special log2_cases[] = {{0.0f, -inf}, {-0.0f, -inf}, {1.0f, 0.0f}, {8.0f, 3.0f}, {tiny, -149.0f},
                                {-1.0f, nan_}, {inf, inf}, {nan_, nan_}, {0x1p-126f, -126.0f}};
  const Special log1p_cases[] = {{0.0f, 0.0f}, {-0.0f, -0.0f}, {-1.0f, -inf}, {-2.0f, nan_}, {inf, inf},
                                 {nan_, nan_}, {tiny, tiny}, {-tiny, -tiny}, {1e-30f, 1e-30f}};
  const Special expm1_cases[] = {{0.0f, 0.0f}, {-0.0f, -0.0f}, {inf, inf}, {-inf, -1.0f}, {nan_, nan_},
                                 {tiny, tiny}, {-tiny, -tiny}, {100.0f, inf}, {-100.0f, -1.0f}};
  const Special sin_cases[] = {{0.0f, 0.0f}, {-0.0f, -0.0f}, {inf, nan_}, {-inf, nan_}, {nan_, nan_},
                               {tiny, tiny}, {0x1p127f, static_cast<float>(std::sin(0x1p127))}};
  const Special cos_cases[] = {{0.0f, 1.0f}, {-0.0f, 1.0f}, {inf, nan_}, {nan_, nan_}, {tiny, 1.0f}};
  run(kMaps[4], exp2_cases, std::size(exp2_cases));
  run(kMaps[5], log2_cases, std::size(log2_cases));
  run(kMaps[6], log1p_cases, std::size(log1p_cases));
  run(kMaps[7], expm1_cases, std::size(expm1_cases));
  run(kMaps[8], sin_cases, std::size(sin_cases));
  run(kMaps[9], cos_cases, std::size(cos_cases));
}

// ---- Position independence -----------------------------------------------------------------

// The vector body, the scalar tail, strided runs and the streaming variant
// must agree bit for bit on every element.
void test_same_bits_everywhere(const KernelTable& t, const Map& map) {
  std::mt19937 rng(42);
  const std::size_t n = 4099;
  std::vector<float> in(2 * n), whole(n), strided(n), streamed(n);
  for (float& v : in) v = float_of(rng());
  const std::size_t f32 = static_cast<std::size_t>(DType::F32);
  UnaryRunFn fn = t.unary[map.kernel][f32], stream = t.unary_streaming[map.kernel][f32];
  auto out = [](std::vector<float>& v, std::size_t i = 0) { return reinterpret_cast<char*>(v.data() + i); };
  auto src = [&](std::size_t i) { return reinterpret_cast<const char*>(in.data() + i); };
  fn(out(whole), src(0), 2, n);
  stream(out(streamed), src(0), 2, n);
  int bad = 0;
  for (std::size_t i = 0; i < n; ++i) in[i] = in[2 * i];
  fn(out(strided), src(0), 1, n);
  bad += std::memcmp(whole.data(), strided.data(), n * sizeof(float)) != 0;
  bad += std::memcmp(whole.data(), streamed.data(), n * sizeof(float)) != 0;
  stream(out(streamed), src(0), 1, n);
  bad += std::memcmp(whole.data(), streamed.data(), n * sizeof(float)) != 0;
  for (std::size_t i = 0; i < n; ++i) {
    float one;
    fn(reinterpret_cast<char*>(&one), src(i), 1, 1);
    bad += bits_of(one) != bits_of(whole[i]);
  }
  // Offsets move every element between the vector body and the tail.
  for (std::size_t off = 1; off < 17; ++off) {
    fn(out(strided), src(off), 1, n - off);
    bad += std::memcmp(whole.data() + off, strided.data(), (n - off) * sizeof(float)) != 0;
  }
  check(bad == 0, std::string(t.name) + " " + map.name + " gives the same bits at every position");
}

// ---- Dense ranges ---------------------------------------------------------------------

// Input patterns between two values (every one, or every stride-th), on
// every table, within one ulp: where sigmoid's results go from normal to
// subnormal to zero, and where tanh (on AVX-512) runs on its table of
// interval polynomials, on both signs (an odd stride still reaches every
// interval tens of thousands of times). The sigmoid range also checks that, where the unit scales those
// lanes to keep every step normal (AVX-512), no step raises the underflow
// or denormal flag: such a step would cost a microcode assist.
void test_dense_ranges(const KernelTable& t) {
  struct Range {
    const Map& map;
    float from, to;
    std::uint32_t stride;
    bool no_subnormal_steps;
  };
  const Range ranges[] = {{kMaps[3], -60.0f, -104.0f, 1, true},
                          {kMaps[2], 0.625f, 10.0f, 13, false},
                          {kMaps[2], -0.625f, -10.0f, 13, false}};
  for (const Range& r : ranges) {
    const std::uint32_t first = bits_of(r.from), last = bits_of(r.to);
    std::vector<float> in, out;
    for (std::uint32_t b = first; b <= last; b += r.stride) in.push_back(float_of(b));
    out.resize(in.size());
    UnaryRunFn fn = t.unary[r.map.kernel][static_cast<std::size_t>(DType::F32)];
    const std::string what = std::string(t.name) + " " + r.map.name + " from " + std::to_string(r.from) +
                             " to " + std::to_string(r.to);
#if defined(__x86_64__)
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved & ~0x3Fu);
#endif
    fn(reinterpret_cast<char*>(out.data()), reinterpret_cast<const char*>(in.data()), 1, in.size());
#if defined(__x86_64__)
    const unsigned flags = _mm_getcsr() & 0x3Fu;
    _mm_setcsr(saved);
    if (r.no_subnormal_steps && std::string(t.name) == "avx512")
      check((flags & 0x12u) == 0,
            what + " rounds no step to a subnormal (MXCSR flags " + std::to_string(flags) + ")");
#endif
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < in.size(); ++i)
      worst = std::max(worst, ulp_distance(out[i], static_cast<float>(r.map.reference(in[i]))));
    check(worst <= 1, what + " within one ulp (worst " + std::to_string(worst) + ")");
  }
}

// ---- Public operations ----------------------------------------------------------------------

// Every half-precision pattern through the public operation equals the
// binary32 kernel on the widened value, rounded once.
void test_half_formats(const Map& map) {
  for (DType d : {DType::F16, DType::BF16}) {
    Storage s = Storage::allocate_row_major(d, {256, 256});
    auto* p = s.mutable_data_as<std::uint16_t>();
    for (std::uint32_t i = 0; i < 65536; ++i) p[i] = static_cast<std::uint16_t>(i);
    auto r = map.op(s);
    check(r.ok() && r->dtype() == d, std::string(map.name) + " keeps the half dtype");
    if (!r.ok()) continue;
    const auto* got = r->data_as<std::uint16_t>();
    int bad = 0;
    for (std::uint32_t i = 0; i < 65536; ++i) {
      const float x = d == DType::F16 ? f16_to_f32(p[i]) : bf16_to_f32(p[i]);
      float y;
      unary_kernel(map.kernel, DType::F32)(reinterpret_cast<char*>(&y), reinterpret_cast<const char*>(&x), 1, 1);
      const std::uint16_t want = d == DType::F16 ? f32_to_f16(y) : f32_to_bf16(y);
      const std::uint16_t inf = d == DType::F16 ? 0x7C00 : 0x7F80;
      if ((want & 0x7FFF) > inf) {
        bad += (got[i] & 0x7FFF) <= inf;
      } else {
        bad += got[i] != want;
      }
    }
    check(bad == 0, std::string(map.name) + " " + dtype_name(d).data() + " rounds the binary32 result once");
  }
  Storage b = Storage::allocate_row_major(DType::Bool, {3});
  std::memset(b.mutable_data(), 1, 3);
  auto r = map.op(b);
  check(!r.ok() && r.error().kind == ErrorKind::kTypeError &&
            r.error().message == std::string("Tensor Dtype not supported for this operation: ") + map.name,
        std::string(map.name) + " refuses bool");
}

// ---- gelu ------------------------------------------------------------------------------------

// Both forms of gelu against binary64 references, over every `stride`-th
// pattern, in ulp of the result from `from` up: the exact form within
// kGeluUlps where P(X <= x) is normal (x above -12.9); the tanh form, whose
// sigmoid argument 2u is rounded in binary32 (a relative error of u costs
// |u| times as much in e^u), within kGeluTanhUlps from -4 up. Below, both
// are held to a relative 2^-12 or an absolute 2^-140 (subnormal results).
constexpr std::int64_t kGeluUlps = 7;  // 5 with a fused multiply-add (AVX2, AVX-512)
constexpr std::int64_t kGeluTanhUlps = 32;

void test_gelu(const KernelTable& t, std::uint64_t stride) {
  const double k = std::sqrt(2.0 / M_PI);
  struct Form {
    float p0;
    const char* name;
    std::int64_t bound;
    float from;
    double (*reference)(double, double);
  };
  const Form forms[] = {
      {0.0f, "gelu", kGeluUlps, -12.9f, [](double x, double) { return x * 0.5 * std::erfc(-x / std::sqrt(2.0)); }},
      {1.0f, "gelu tanh", kGeluTanhUlps, -4.0f,
       // 0.5 x (1 + tanh(u)) as x / (1 + e^(-2u)), which does not cancel for negative x.
       [](double x, double c) { return x / (1.0 + std::exp(-2.0 * c * (x + 0.044715 * x * x * x))); }},
  };
  for (const Form& form : forms) {
    ParamUnaryRunFn fn = t.param[kGelu][static_cast<std::size_t>(DType::F32)];
    const float params[2] = {form.p0, 0.0f};
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<float> in(kChunk), out(kChunk);
    Worst w;
    std::int64_t bad_small = 0;
    for (std::uint64_t p = 0; p < (std::uint64_t{1} << 32);) {
      std::size_t m = 0;
      for (; m < kChunk && p < (std::uint64_t{1} << 32); ++m, p += stride) in[m] = float_of(static_cast<std::uint32_t>(p));
      fn(reinterpret_cast<char*>(out.data()), reinterpret_cast<const char*>(in.data()), 1, m, params);
      for (std::size_t i = 0; i < m; ++i) {
        const double exact = form.reference(in[i], k);
        const float want = static_cast<float>(exact);
        if (in[i] < form.from) {
          const double error = std::fabs(out[i] - exact);
          bad_small += !(error <= 0x1p-140 || error <= 0x1p-12 * std::fabs(exact)) &&
                       !(std::isnan(out[i]) && std::isnan(exact));
          continue;
        }
        const std::int64_t d = ulp_distance(out[i], want);
        w.inexact += d != 0;
        if (d > w.ulps) w = {d, in[i], out[i], want, w.count, w.inexact};
      }
      w.count += m;
    }
    std::printf("%-8s %-9s every %llu-th pattern: max %lld ulp at x = %a (got %a, want %a), %.4f%% not correctly rounded\n",
                t.name, form.name, static_cast<unsigned long long>(stride), static_cast<long long>(w.ulps), w.input, w.got,
                w.want, 100.0 * w.inexact / w.count);
    check(w.ulps <= form.bound, std::string(t.name) + " " + form.name + " within its bound");
    check(bad_small == 0, std::string(t.name) + " " + form.name + " far out within its bound");
  }
}

// ---- Timing (printed only) -------------------------------------------------------------------

// Median of `rounds` timings of fn, in nanoseconds.
template <class F>
double median_ns(F fn, int rounds = 21) {
  std::vector<double> t;
  fn();
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    t.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// The public operation (a fresh result each call, the driver's choice of
// kernel) and the bare kernels writing into one reused buffer.
void bench() {
  const std::size_t n = std::size_t{1} << 22;
  std::mt19937 rng(1);
  std::printf("kernel table: %s, %zu binary32 elements, one thread, medians\n", kernels().name, n);
  std::vector<float> out(n);
  for (const Map& map : kMaps) {
    Storage s = Storage::allocate_row_major(DType::F32, {n});
    float* in = s.mutable_data_as<float>();
    std::uniform_real_distribution<float> u(map.kernel == kLog ? 1e-3f : -10.0f, 10.0f);
    for (std::size_t i = 0; i < n; ++i) in[i] = u(rng);
    const double op = median_ns([&] { (void)map.op(s); });
    std::printf("%-8s %-10s %.3f ns/element (%.2f ms)\n", map.name, "operation", op / n, op * 1e-6);
    for (bool streaming : {false, true}) {
      UnaryRunFn fn = unary_kernel(map.kernel, DType::F32, streaming);
      const double k = median_ns([&] { fn(reinterpret_cast<char*>(out.data()), reinterpret_cast<const char*>(in), 1, n); });
      std::printf("%-8s %-10s %.3f ns/element (%.2f ms)\n", map.name, streaming ? "streaming" : "plain", k / n,
                  k * 1e-6);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool exhaustive = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--bench") {
      bench();
      return 0;
    }
    if (arg == "--exhaustive") exhaustive = true;
    if (arg == "--only" && i + 1 < argc) only = argv[++i];
  }
  const KernelTable& active = kernels();
  for (const KernelTable* t : supported_tables()) {
    test_specials(*t);
    test_dense_ranges(*t);
    for (const Map& map : kMaps) test_same_bits_everywhere(*t, map);
  }
  for (const Map& map : kMaps) {
    if (!only.empty() && only != map.name) continue;
    const bool first_four = &map < kMaps + kFirstFour;
    report_sweep(active, map, exhaustive ? 1 : first_four ? 97 : 1021);
    for (const KernelTable* t : supported_tables())
      if (t != &active) report_sweep(*t, map, exhaustive ? 1 : first_four ? 1009 : 8009);
    test_half_formats(map);
  }
  for (const KernelTable* t : supported_tables()) test_gelu(*t, exhaustive ? 1 : t == &active ? 1021 : 8009);
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
