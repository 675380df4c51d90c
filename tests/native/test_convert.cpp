// Half-precision conversions: the scalar bit functions against an independent
// reference computed in double precision, and every vector table the machine
// supports against the scalar functions.
//
// By default the float32 -> 16-bit rounding is checked on every pattern whose
// exponent can produce a subnormal or the smallest normals, and elsewhere on
// every sign/exponent/kept-fraction combination with the dropped bits set to
// each rounding boundary. Pass --exhaustive to compare all 2^32 patterns.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "engine/convert.hpp"
#include "engine/convert_isa.hpp"
#include "engine/cpu_features.hpp"

using namespace quarn;
using namespace quarn::engine;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, std::uint64_t detail = 0) {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  if (g_failed <= 20) std::printf("FAIL: %s (0x%llx)\n", what, static_cast<unsigned long long>(detail));
}

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }
float float_of(std::uint32_t u) { return std::bit_cast<float>(u); }

// ---- References, written from the definitions of the formats ---------------

// Value of a binary16 pattern, NaNs excluded.
double f16_value(std::uint16_t h) {
  int sign = h >> 15, exp = (h >> 10) & 0x1F, frac = h & 0x3FF;
  double mag = exp == 0 ? std::ldexp(frac, -24) : exp == 31 ? INFINITY : std::ldexp(1024 + frac, exp - 25);
  return sign ? -mag : mag;
}

bool f16_is_nan(std::uint16_t h) { return (h & 0x7FFF) > 0x7C00; }
bool bf16_is_nan(std::uint16_t h) { return (h & 0x7FFF) > 0x7F80; }
bool f32_is_nan(std::uint32_t x) { return (x & 0x7FFFFFFF) > 0x7F800000; }

// Nearest binary16 to a finite or infinite non-NaN float, ties to even, using
// the default rounding of nearbyint (round half to even) on exact doubles.
std::uint16_t f16_reference(float f) {
  std::uint16_t sign = std::signbit(f) ? 0x8000 : 0;
  double x = std::fabs(static_cast<double>(f));
  if (std::isinf(x)) return sign | 0x7C00;
  if (x < std::ldexp(1.0, -14)) {
    // Subnormal range: a multiple of 2^-24; 1024 is the smallest normal.
    return sign | static_cast<std::uint16_t>(std::nearbyint(std::ldexp(x, 24)));
  }
  int e;
  std::frexp(x, &e);  // x = m * 2^e with m in [0.5, 1)
  e -= 1;             // now x = s * 2^e with s in [1, 2)
  double r = std::nearbyint(std::ldexp(x, 10 - e));
  if (r == 2048) {
    r = 1024;
    e += 1;
  }
  if (e > 15) return sign | 0x7C00;
  return sign | static_cast<std::uint16_t>(((e + 15) << 10) | (static_cast<int>(r) - 1024));
}

std::uint16_t bf16_reference(float f) {
  // Pick the nearer of the two bfloat16 neighbours by exact distance.
  std::uint32_t x = bits_of(f);
  std::uint32_t lo = x & 0xFFFF0000u;
  if (lo == x) return static_cast<std::uint16_t>(x >> 16);
  std::uint32_t hi = lo + 0x10000u;  // next pattern away from zero
  double d_lo = std::fabs(static_cast<double>(f) - static_cast<double>(float_of(lo)));
  double hi_value = ((hi & 0x7FFFFFFF) == 0x7F800000) ? std::ldexp(std::copysign(1.0, f), 128)
                                                      : static_cast<double>(float_of(hi));
  double d_hi = std::fabs(static_cast<double>(f) - hi_value);
  if (d_lo < d_hi) return static_cast<std::uint16_t>(lo >> 16);
  if (d_hi < d_lo) return static_cast<std::uint16_t>(hi >> 16);
  return static_cast<std::uint16_t>(((lo >> 16) & 1) ? hi >> 16 : lo >> 16);
}

// The NaN rules: quiet, sign kept, top fraction bits kept.
std::uint16_t f16_nan_expected(std::uint32_t x) {
  return static_cast<std::uint16_t>(((x >> 16) & 0x8000) | 0x7C00 | ((x >> 13) & 0x3FF) | 0x200);
}
std::uint16_t bf16_nan_expected(std::uint32_t x) { return static_cast<std::uint16_t>((x >> 16) | 0x40); }

std::vector<const HalfArrayConverters*> supported_tables() {
  std::vector<const HalfArrayConverters*> tables{&half_converters_baseline()};
#if defined(__x86_64__)
  if (cpu_features().has_avx2_fma()) tables.push_back(&half_converters_avx2());
  if (cpu_features().has_avx512()) tables.push_back(&half_converters_avx512());
#endif
  return tables;
}

// ---- Widening: all 65,536 patterns ---------------------------------------------

void test_widen_all_patterns() {
  int bad_f16 = 0, bad_bf16 = 0;
  for (std::uint32_t p = 0; p < 0x10000; ++p) {
    auto h = static_cast<std::uint16_t>(p);
    std::uint32_t got = bits_of(f16_to_f32(h));
    if (f16_is_nan(h)) {
      std::uint32_t want = (static_cast<std::uint32_t>(h & 0x8000) << 16) | 0x7FC00000u | ((h & 0x3FFu) << 13);
      bad_f16 += got != want;
    } else {
      bad_f16 += static_cast<double>(float_of(got)) != f16_value(h) || std::signbit(float_of(got)) != (h >> 15);
    }
    std::uint32_t gb = bits_of(bf16_to_f32(h));
    std::uint32_t wb = static_cast<std::uint32_t>(h) << 16;
    if (bf16_is_nan(h)) wb |= 0x00400000u;
    bad_bf16 += gb != wb;
  }
  check(bad_f16 == 0, "f16 widening of every pattern", bad_f16);
  check(bad_bf16 == 0, "bf16 widening of every pattern", bad_bf16);

  std::vector<std::uint16_t> all(0x10000);
  for (std::uint32_t p = 0; p < 0x10000; ++p) all[p] = static_cast<std::uint16_t>(p);
  std::vector<float> out(0x10000);
  for (const auto* t : supported_tables()) {
    t->widen_f16(all.data(), out.data(), all.size());
    int bad = 0;
    for (std::uint32_t p = 0; p < 0x10000; ++p) bad += bits_of(out[p]) != bits_of(f16_to_f32(all[p]));
    check(bad == 0, t->name, bad);
    t->widen_bf16(all.data(), out.data(), all.size());
    bad = 0;
    for (std::uint32_t p = 0; p < 0x10000; ++p) bad += bits_of(out[p]) != bits_of(bf16_to_f32(all[p]));
    check(bad == 0, t->name, bad);
  }
}

// ---- Narrowing: scalar against the references ------------------------------

void check_scalar_rounding(std::uint32_t x, int& bad_f16, int& bad_bf16) {
  float f = float_of(x);
  std::uint16_t h = f32_to_f16(f), b = f32_to_bf16(f);
  if (f32_is_nan(x)) {
    bad_f16 += h != f16_nan_expected(x);
    bad_bf16 += b != bf16_nan_expected(x);
  } else {
    bad_f16 += h != f16_reference(f);
    bad_bf16 += b != bf16_reference(f);
  }
}

// Patterns whose dropped bits sit on or next to a rounding boundary for both
// formats, for every sign, exponent and kept fraction of binary16 precision.
std::vector<std::uint32_t> boundary_patterns() {
  static const std::uint32_t low13[] = {0x0000, 0x0001, 0x0FFF, 0x1000, 0x1001, 0x1FFF, 0x0800, 0x17FF};
  std::vector<std::uint32_t> v;
  v.reserve((1u << 19) * 8);
  for (std::uint32_t high = 0; high < (1u << 19); ++high)
    for (std::uint32_t low : low13) v.push_back((high << 13) | low);
  // bfloat16 drops 16 bits; its tie and its neighbours for every kept pattern.
  static const std::uint32_t low16[] = {0x7FFF, 0x8000, 0x8001, 0xFFFF};
  for (std::uint32_t high = 0; high < 0x10000; ++high)
    for (std::uint32_t low : low16) v.push_back((high << 16) | low);
  return v;
}

void test_scalar_rounding() {
  int bad_f16 = 0, bad_bf16 = 0;
  for (std::uint32_t x : boundary_patterns()) check_scalar_rounding(x, bad_f16, bad_bf16);
  std::mt19937 rng(12345);
  for (int i = 0; i < 2000000; ++i) check_scalar_rounding(rng(), bad_f16, bad_bf16);
  check(bad_f16 == 0, "f16 rounding against the reference", bad_f16);
  check(bad_bf16 == 0, "bf16 rounding against the reference", bad_bf16);

  // Every binary16 value survives a round trip; NaNs come back quiet.
  int bad = 0;
  for (std::uint32_t p = 0; p < 0x10000; ++p) {
    auto h = static_cast<std::uint16_t>(p);
    std::uint16_t want = f16_is_nan(h) ? static_cast<std::uint16_t>(h | 0x200) : h;
    bad += f32_to_f16(f16_to_f32(h)) != want;
    std::uint16_t want_b = bf16_is_nan(h) ? static_cast<std::uint16_t>(h | 0x40) : h;
    bad += f32_to_bf16(bf16_to_f32(h)) != want_b;
  }
  check(bad == 0, "round trip of every 16-bit pattern", bad);
}

void test_named_cases() {
  check(f32_to_f16(65504.0f) == 0x7BFF, "65504 is the largest f16");
  check(f32_to_f16(65519.99f) == 0x7BFF, "just below 65520 stays finite");
  check(f32_to_f16(65520.0f) == 0x7C00, "65520 rounds to infinity");
  check(f32_to_f16(-65536.0f) == 0xFC00, "-65536 overflows to -inf");
  check(f32_to_f16(std::ldexp(1.0f, -25)) == 0x0000, "2^-25 ties to zero");
  check(f32_to_f16(std::nextafter(std::ldexp(1.0f, -25), 1.0f)) == 0x0001, "above 2^-25 gives 2^-24");
  check(f32_to_f16(std::ldexp(3.0f, -25)) == 0x0002, "1.5 * 2^-24 ties up to even 2");
  check(f32_to_f16(-0.0f) == 0x8000, "negative zero keeps its sign");
  check(f32_to_f16(-1e-30f) == 0x8000, "tiny negative becomes -0");
  check(f32_to_f16(0.1f) == 0x2E66, "0.1 in f16");
  check(f16_to_f32(0x2E66) == 0.0999755859375f, "f16 0.1 widens to 0.0999755859375");
  check(f32_to_bf16(1.00390625f) == 0x3F80, "bf16 1 + 2^-8 ties to 1");
  check(f32_to_bf16(1.01171875f) == 0x3F82, "bf16 1 + 3*2^-8 ties up to even");
  check(f32_to_bf16(std::ldexp(1.0f, -133)) == 0x0001, "bf16 keeps subnormals");
  check(f32_to_bf16(float_of(0x7F800001u)) == 0x7FC0, "bf16 signalling NaN becomes quiet");
  check(f32_to_bf16(float_of(0xFFBF0000u)) == 0xFFFF, "bf16 NaN keeps sign and payload");
  check(f32_to_f16(float_of(0xFF800001u)) == 0xFE00, "f16 NaN keeps its sign");
}

// ---- Narrowing: every vector table against the scalar function --------------

template <class Scalar, class Array>
int compare_rounding(const std::vector<std::uint32_t>& patterns, Scalar scalar, Array array) {
  std::vector<float> in(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) in[i] = float_of(patterns[i]);
  std::vector<std::uint16_t> out(patterns.size());
  array(in.data(), out.data(), in.size());
  int bad = 0;
  for (std::size_t i = 0; i < in.size(); ++i) bad += out[i] != scalar(in[i]);
  return bad;
}

void test_vector_rounding() {
  std::vector<std::uint32_t> patterns = boundary_patterns();
  std::mt19937 rng(777);
  for (int i = 0; i < 2000000; ++i) patterns.push_back(rng());
  for (const auto* t : supported_tables()) {
    check(compare_rounding(patterns, f32_to_f16, t->round_f16) == 0, t->name);
    check(compare_rounding(patterns, f32_to_bf16, t->round_bf16) == 0, t->name);
  }

  // Every pattern whose exponent leads to a binary16 subnormal or to the
  // first normal binade, both signs (about 2 x 10^8 values).
  std::vector<float> in(1u << 23);
  std::vector<std::uint16_t> out(in.size());
  for (const auto* t : supported_tables()) {
    if (t == &half_converters_baseline()) continue;  // the scalar function itself
    int bad = 0;
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
      for (std::uint32_t e = 100; e <= 113; ++e) {
        std::uint32_t base = (sign << 31) | (e << 23);
        for (std::uint32_t m = 0; m < in.size(); ++m) in[m] = float_of(base | m);
        t->round_f16(in.data(), out.data(), in.size());
        for (std::uint32_t m = 0; m < in.size(); ++m) bad += out[m] != f32_to_f16(in[m]);
      }
    }
    check(bad == 0, "f16 subnormal range, every pattern", bad);
  }
}

// Lengths and offsets that exercise every tail of the vector loops.
void test_array_tails() {
  std::mt19937 rng(99);
  std::vector<std::uint16_t> h(80);
  std::vector<float> f(80);
  for (auto& v : h) v = static_cast<std::uint16_t>(rng());
  for (auto& v : f) v = float_of(rng() & 0xBFFFFFFFu);
  for (const auto* t : supported_tables()) {
    int bad = 0;
    for (std::size_t off = 0; off < 3; ++off) {
      for (std::size_t n = 0; n + off <= 70; ++n) {
        std::vector<float> wf(n + 1, -7.0f);
        std::vector<std::uint16_t> wh(n + 1, 0xABCD);
        t->widen_f16(h.data() + off, wf.data(), n);
        for (std::size_t i = 0; i < n; ++i) bad += bits_of(wf[i]) != bits_of(f16_to_f32(h[off + i]));
        bad += wf[n] != -7.0f;
        t->widen_bf16(h.data() + off, wf.data(), n);
        for (std::size_t i = 0; i < n; ++i) bad += bits_of(wf[i]) != bits_of(bf16_to_f32(h[off + i]));
        t->round_f16(f.data() + off, wh.data(), n);
        for (std::size_t i = 0; i < n; ++i) bad += wh[i] != f32_to_f16(f[off + i]);
        bad += wh[n] != 0xABCD;
        t->round_bf16(f.data() + off, wh.data(), n);
        for (std::size_t i = 0; i < n; ++i) bad += wh[i] != f32_to_bf16(f[off + i]);
        bad += wh[n] != 0xABCD;
      }
    }
    check(bad == 0, "array tails and offsets", bad);
  }

  // The public entry points dispatch by dtype; F32 is a plain copy.
  std::vector<float> out(80);
  widen_to_f32(DType::F16, h.data(), out.data(), 80);
  check(bits_of(out[17]) == bits_of(f16_to_f32(h[17])), "widen_to_f32 F16");
  widen_to_f32(DType::BF16, h.data(), out.data(), 80);
  check(bits_of(out[33]) == bits_of(bf16_to_f32(h[33])), "widen_to_f32 BF16");
  widen_to_f32(DType::F32, f.data(), out.data(), 80);
  check(std::memcmp(out.data(), f.data(), 80 * sizeof(float)) == 0, "widen_to_f32 F32 copies");
  std::vector<std::uint16_t> hh(80);
  round_from_f32(DType::BF16, f.data(), hh.data(), 80);
  check(hh[41] == f32_to_bf16(f[41]), "round_from_f32 BF16");
  round_from_f32(DType::F16, f.data(), hh.data(), 80);
  check(hh[42] == f32_to_f16(f[42]), "round_from_f32 F16");
}

// Every binary32 pattern through every vector table; a few seconds per table.
void test_exhaustive() {
  constexpr std::size_t kBlock = 1u << 20;
  std::vector<float> in(kBlock);
  std::vector<std::uint16_t> out(kBlock);
  for (const auto* t : supported_tables()) {
    long long bad_f16 = 0, bad_bf16 = 0, bad_ref = 0;
    for (std::uint64_t start = 0; start < (1ull << 32); start += kBlock) {
      for (std::size_t i = 0; i < kBlock; ++i) in[i] = float_of(static_cast<std::uint32_t>(start + i));
      t->round_f16(in.data(), out.data(), kBlock);
      for (std::size_t i = 0; i < kBlock; ++i) bad_f16 += out[i] != f32_to_f16(in[i]);
      t->round_bf16(in.data(), out.data(), kBlock);
      for (std::size_t i = 0; i < kBlock; ++i) bad_bf16 += out[i] != f32_to_bf16(in[i]);
      if (t == &half_converters_baseline()) {
        // Against the reference too, once.
        for (std::size_t i = 0; i < kBlock; ++i) {
          auto x = static_cast<std::uint32_t>(start + i);
          if (f32_is_nan(x)) continue;
          bad_ref += f32_to_f16(in[i]) != f16_reference(in[i]);
          bad_ref += f32_to_bf16(in[i]) != bf16_reference(in[i]);
        }
      }
    }
    std::printf("exhaustive %s: f16 %lld bad, bf16 %lld bad, reference %lld bad\n", t->name, bad_f16,
                bad_bf16, bad_ref);
    check(bad_f16 == 0 && bad_bf16 == 0 && bad_ref == 0, t->name);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool exhaustive = argc > 1 && std::strcmp(argv[1], "--exhaustive") == 0;
  test_widen_all_patterns();
  test_named_cases();
  test_scalar_rounding();
  test_vector_rounding();
  test_array_tails();
  if (exhaustive) test_exhaustive();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
