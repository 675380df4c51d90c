// The bfloat16 GEMM on the pairwise dot-product instruction, held bit for
// bit against the float32 FMA chain over p = 0, 1, ..., k - 1. The emulated
// set runs the driver on any machine; where the CPU has the instruction the
// real set runs the same cases and the emulation of one step is checked
// against the instruction itself (elsewhere reported as skipped).
// Operands end against an inaccessible page, so packing that reads past a
// matrix crashes; positions of C's buffer outside C hold a sentinel.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <iterator>
#include <string>
#include <utility>

#include "check.hpp"
#include "engine/convert.hpp"
#include "engine/cpu_features.hpp"
#include "engine/gemm/bf16gemm.hpp"
#include "engine/gemm/kernels/bf16_kernels.hpp"

namespace {

using quarn::engine::bf16_to_f32;
using quarn::engine::f32_to_bf16;
using quarn::gemm::Bf16Kernel;
using quarn_test::check;

std::mt19937 g_rng(20261207);

std::uint32_t bits_of(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float float_of(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

bool same(float x, float y) { return bits_of(x) == bits_of(y) || (std::isnan(x) && std::isnan(y)); }

// A value inside the dot path's range: a normal sample times 2^e, so that
// sums cancel and round at many magnitudes.
std::uint16_t random_in_range(int spread) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> exponent(-spread, spread);
  for (;;) {
    const std::uint16_t h = f32_to_bf16(std::ldexp(normal(g_rng), exponent(g_rng)));
    if (quarn::gemm::bf16_dot_exact_value(h)) return h;
  }
}

// `count` elements ending right before an inaccessible page.
template <class T>
T* fenced(std::size_t count) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t inner = (std::max<std::size_t>(count, 1) * sizeof(T) + page - 1) / page * page;
  void* base = mmap(nullptr, inner + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) std::abort();
  mprotect(static_cast<char*>(base) + inner, page, PROT_NONE);
  return reinterpret_cast<T*>(static_cast<char*>(base) + inner) - count;  // never unmapped
}

enum Layout { kRowMajor, kColMajor, kPadded, kZeroRows };
const char* const kLayoutNames[] = {"row-major", "col-major", "padded", "zero-row-stride"};

template <class T>
struct Matrix {
  std::size_t rows, cols;
  std::ptrdiff_t rs = 0, cs = 1;
  std::size_t span = 0;
  T* data = nullptr;

  Matrix(std::size_t r, std::size_t c, Layout layout) : rows(r), cols(c) {
    const auto R = static_cast<std::ptrdiff_t>(r), C = static_cast<std::ptrdiff_t>(c);
    if (layout == kRowMajor) rs = C;
    if (layout == kColMajor) rs = 1, cs = R;
    if (layout == kPadded) rs = C + 3;
    if (r > 0 && c > 0) span = static_cast<std::size_t>((R - 1) * rs + (C - 1) * cs + 1);
    data = fenced<T>(span);
  }
  T& at(std::size_t i, std::size_t j) const {
    return data[static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs];
  }
};

constexpr std::uint32_t kSentinel = 0x7fc0dead;

void run_case(const Bf16Kernel& kern, std::size_t m, std::size_t n, std::size_t k, Layout la,
              Layout lb, Layout lc, int spread) {
  Matrix<std::uint16_t> a(m, k, la), b(k, n, lb);
  Matrix<float> c(m, n, lc);
  for (std::size_t i = 0; i < a.span; ++i) a.data[i] = random_in_range(spread);
  for (std::size_t i = 0; i < b.span; ++i) b.data[i] = random_in_range(spread);
  for (std::size_t i = 0; i < c.span; ++i) c.data[i] = float_of(kSentinel);
  // Elements start as another NaN: the first k block must not read them.
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) c.at(i, j) = float_of(0xffc00001);
  quarn::gemm::bf16gemm_with(kern, m, n, k, a.data, a.rs, a.cs, b.data, b.rs, b.cs, c.data, c.rs, c.cs);
  std::size_t wrong = 0, sentinels = 0;
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      float chain = 0.0f;
      for (std::size_t p = 0; p < k; ++p)
        chain = std::fma(bf16_to_f32(a.at(i, p)), bf16_to_f32(b.at(p, j)), chain);
      wrong += bits_of(c.at(i, j)) != bits_of(chain);
    }
  for (std::size_t i = 0; i < c.span; ++i) sentinels += bits_of(c.data[i]) == kSentinel;
  const std::string what = std::string(kern.name) + " kc " + std::to_string(kern.kc) + " " +
                           std::to_string(m) + "x" + std::to_string(k) + "x" + std::to_string(n) +
                           " A " + kLayoutNames[la] + " B " + kLayoutNames[lb] + " C " + kLayoutNames[lc];
  check(wrong == 0, what + ": " + std::to_string(wrong) + " elements differ from the FMA chain");
  check(sentinels + m * n == c.span, what + ": a position outside C was written");
}

void test_products(const Bf16Kernel& kern) {
  // The set again with small blocks, so that modest sizes cross every block
  // edge: k blocks resuming the chain, several A and B blocks.
  Bf16Kernel small = kern;
  small.mc = 2 * kern.mr, small.kc = 10, small.nc = 2 * kern.nr;
  const std::size_t mr = kern.mr, nr = kern.nr;
  const std::size_t sizes[][3] = {{1, 1, 1},          {mr, nr, 2},           {mr + 1, nr - 1, 3},
                                  {mr - 1, nr + 1, 7}, {2 * mr, 2 * nr, 16}, {3 * mr + 2, 3 * nr + 5, 33},
                                  {5, 70, 1},          {70, 5, 64},          {0, 4, 3},
                                  {4, 0, 3},           {3, 4, 0}};
  for (const Bf16Kernel& set : {kern, small})
    for (const auto& s : sizes)
      for (Layout la : {kRowMajor, kColMajor, kPadded, kZeroRows})
        for (Layout lb : {kRowMajor, kColMajor, kPadded})
          run_case(set, s[0], s[1], s[2], la, lb, kRowMajor, 20);
  for (Layout lc : {kColMajor, kPadded})
    run_case(small, 2 * mr + 3, 2 * nr + 3, 25, kRowMajor, kRowMajor, lc, 20);
  // The whole range the check lets through, and the set's own blocking
  // with several k blocks (the fast packing routines, for the real set).
  run_case(small, mr + 3, nr + 3, 41, kRowMajor, kColMajor, kRowMajor, 50);
  run_case(kern, 2 * kern.mc / 3 + 5, 3 * nr + 1, 2 * kern.kc + 3, kRowMajor, kRowMajor, kRowMajor, 10);
  run_case(kern, 3 * mr + 1, 2 * nr + 7, kern.kc + 17, kColMajor, kColMajor, kRowMajor, 10);
}

// The range check at its edges, at several positions of arrays whose
// lengths cover every step of the vector scan.
void test_guard(const Bf16Kernel& kern) {
  const struct {
    std::uint16_t bits;
    bool accepted;
  } values[] = {{0x0000, true},  {0x8000, true},   // zeros
                {0x2600, true},  {0xA600, true},   // 2^-51, the smallest accepted
                {0x25FF, false}, {0x0001, false},  // just below; subnormal
                {0x0080, false}, {0x5F7F, true},   // smallest normal; just below 2^64
                {0xDF80, false}, {0x7F7F, false},  // -2^64; largest finite
                {0x7F80, false}, {0xFF80, false}, {0x7FC0, false}, {0xC2F7, true}};
  for (std::size_t n : {1, 31, 33, 127, 128, 200, 4096 + 129, 3 * 4096}) {
    std::uint16_t* p = fenced<std::uint16_t>(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = random_in_range(30);
    check(quarn::gemm::bf16_dot_exact(kern, p, n), std::string(kern.name) + ": in-range values rejected");
    for (std::size_t pos : {std::size_t{0}, n / 2, n - 1})
      for (const auto& v : values) {
        const std::uint16_t saved = p[pos];
        p[pos] = v.bits;
        check(quarn::gemm::bf16_dot_exact(kern, p, n) == v.accepted,
              std::string(kern.name) + ": value " + std::to_string(v.bits) + " at " + std::to_string(pos) +
                  " of " + std::to_string(n));
        p[pos] = saved;
      }
  }
}

std::uint32_t pair(float upper, float lower) {
  return static_cast<std::uint32_t>(f32_to_bf16(upper)) << 16 | f32_to_bf16(lower);
}

// One step's documented arithmetic where the order, the rounding or the
// flushing decides the result; `dot` is the emulation or the instruction.
template <class Dot>
void test_step_semantics(const char* name, Dot dot) {
  const float t24 = std::ldexp(1.0f, 24);
  const struct {
    const char* what;
    float acc;
    std::uint32_t a, b;
    float expected;
  } steps[] = {
      // 1 + 2^24 ties to 2^24, minus 2^24 leaves 0; the other order gives
      // 1 - 2^24 exactly and then 1.
      {"upper product first", 1.0f, pair(t24, -t24), pair(1.0f, 1.0f), 0.0f},
      {"lower product second", 1.0f, pair(-t24, t24), pair(1.0f, 1.0f), 1.0f},
      {"each addition rounded", t24, pair(1.0f, 1.0f), pair(1.0f, 1.0f), t24},
      {"ties to even", t24 + 2.0f, pair(1.0f, 0.0f), pair(1.0f, 0.0f), t24 + 4.0f},
      {"subnormal lane read as zero", std::ldexp(1.0f, -130), 0, 0, 0.0f},
      {"subnormal input read as zero", 1.0f, pair(1.0f, float_of(0x00010000)),
       pair(1.0f, std::ldexp(1.0f, 100)), 2.0f},
      {"subnormal sum flushed", 0.0f, pair(std::ldexp(1.0f, -70), 0.0f),
       pair(std::ldexp(1.0f, -70), 0.0f), 0.0f},
      {"normal sum kept", 0.0f, pair(std::ldexp(1.0f, -60), 0.0f), pair(std::ldexp(1.0f, -60), 0.0f),
       std::ldexp(1.0f, -120)},
  };
  for (const auto& s : steps)
    check(same(dot(s.acc, s.a, s.b), s.expected), std::string(name) + ": " + s.what);
}

#if defined(__x86_64__)
float instruction_lane(float acc, std::uint32_t a, std::uint32_t b) {
  alignas(64) float lanes[16];
  alignas(64) std::uint32_t as[16], bs[16];
  for (int l = 0; l < 16; ++l) lanes[l] = acc, as[l] = a, bs[l] = b;
  quarn::gemm::bf16gemm_avx512bf16_dot16(lanes, as, bs);
  return lanes[0];
}

// The emulation against the instruction on random bits, edge values and
// in-range values with cancelling signs.
void test_emulation_against_instruction() {
  const std::uint16_t edges[] = {0x0000, 0x8000, 0x0001, 0x807F, 0x0080, 0x2600, 0x25FF, 0x7F7F, 0xFF7F,
                                 0x5F80, 0x7F80, 0xFF80, 0x7FC0, 0x3F80, 0x1F80, 0x6000, 0xE000, 0x3F81};
  std::uniform_int_distribution<std::uint32_t> any;
  auto half = [&] {
    switch (any(g_rng) % 4) {
      case 0: return any(g_rng) & 0xffffu;
      case 1: return std::uint32_t{edges[any(g_rng) % std::size(edges)]};
      default: return std::uint32_t{random_in_range(any(g_rng) % 2 ? 20 : 60)};
    }
  };
  std::size_t wrong = 0;
  for (int round = 0; round < 64000; ++round) {
    const std::uint32_t a = half() << 16 | half(), b = half() << 16 | half();
    const float acc = round % 3 == 0 ? float_of(any(g_rng)) : bf16_to_f32(static_cast<std::uint16_t>(half()));
    wrong += !same(instruction_lane(acc, a, b), quarn::gemm::bf16_dot_lane(acc, a, b));
  }
  check(wrong == 0, "the emulation differs from the instruction in " + std::to_string(wrong) + " steps");
}
#endif

}  // namespace

int main() {
  namespace gemm = quarn::gemm;
  const auto& features = quarn::engine::cpu_features();
  const Bf16Kernel* active = gemm::bf16gemm_active_kernel();
  check((active != nullptr) == features.has_avx512_bf16(),
        "a set is chosen exactly when the CPU has the instruction");
  // The mode decides which set serves; kAuto follows the one-time
  // measurement, whichever way it came out here.
  const bool faster = gemm::bf16_dot_measured_faster();
  check(active != nullptr || !faster, "the instruction measured faster on a CPU without it");
  for (auto [mode, serving] : {std::pair{gemm::Bf16DotMode::kOff, static_cast<const Bf16Kernel*>(nullptr)},
                               std::pair{gemm::Bf16DotMode::kOn, active},
                               std::pair{gemm::Bf16DotMode::kAuto, faster ? active : nullptr}}) {
    gemm::set_bf16_dot_mode(mode);
    check(gemm::bf16_dot_mode() == mode && gemm::bf16gemm_serving_kernel() == serving,
          "the serving set per mode");
  }
  std::printf("the dot path %s by default on this CPU\n", faster ? "serves products" : "stays unused");

  test_step_semantics("emulation", gemm::bf16_dot_lane);
  test_products(gemm::bf16_emulated_kernel());
  test_guard(gemm::bf16_emulated_kernel());
#if defined(__x86_64__)
  if (features.has_avx512_bf16()) {
    test_step_semantics("instruction", instruction_lane);
    test_emulation_against_instruction();
    test_products(*active);
    test_guard(*active);
  } else {
    std::printf("skipped: no bfloat16 dot-product instruction here; only the emulation ran\n");
  }
#else
  std::printf("skipped: no bfloat16 dot-product instruction here; only the emulation ran\n");
#endif
  return quarn_test::report();
}
