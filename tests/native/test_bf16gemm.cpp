// The bfloat16 GEMM on the pairwise dot-product instruction, held bit for
// bit against the float32 FMA chain over p = 0, 1, ..., k - 1.
//
// The emulated kernel set runs the driver's packing, blocking and edge
// handling on any machine. Where the CPU has the instruction, the real set
// runs the same cases, and the emulation of one instruction step is checked
// against the instruction itself on random and edge inputs; elsewhere those
// parts are reported as skipped.
//
// Operands live against an inaccessible page, so packing that reads one
// element past a matrix crashes the test; positions of C's buffer that are
// not elements of C hold a sentinel that must survive.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/convert.hpp"
#include "engine/cpu_features.hpp"
#include "engine/gemm/bf16gemm.hpp"
#include "engine/gemm/kernels/bf16_kernels.hpp"
#include "engine/gemm/kernels/kernels.hpp"
#include "engine/gemm/sgemm.hpp"

namespace {

using quarn::engine::bf16_to_f32;
using quarn::engine::f32_to_bf16;
using quarn::gemm::Bf16Kernel;
using quarn_test::check;

std::mt19937& rng() {
  static std::mt19937 gen(20261207);
  return gen;
}

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

// A bfloat16 value inside the dot path's range: a normal sample scaled by
// 2^e, so that sums cancel and round at many magnitudes.
std::uint16_t random_in_range(int spread) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> exponent(-spread, spread);
  for (;;) {
    const std::uint16_t h = f32_to_bf16(std::ldexp(normal(rng()), exponent(rng())));
    if (quarn::gemm::bf16_dot_exact_value(h)) return h;
  }
}

// Memory with an inaccessible page right after the usable part.
template <class T>
class Fenced {
 public:
  explicit Fenced(std::size_t count) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(T);
    inner_ = (bytes + page_ - 1) / page_ * page_;
    base_ = static_cast<char*>(mmap(nullptr, inner_ + page_, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) {
      std::perror("mmap");
      std::exit(2);
    }
    mprotect(base_ + inner_, page_, PROT_NONE);
    data_ = reinterpret_cast<T*>(base_ + inner_ - count * sizeof(T));
  }
  Fenced(const Fenced&) = delete;
  Fenced& operator=(const Fenced&) = delete;
  ~Fenced() { munmap(base_, inner_ + page_); }
  T* data() const { return data_; }

 private:
  std::size_t page_ = 0, inner_ = 0;
  char* base_ = nullptr;
  T* data_ = nullptr;
};

enum class Layout { kRowMajor, kColMajor, kPadded, kNegRows, kZeroRows };

const char* layout_name(Layout l) {
  switch (l) {
    case Layout::kRowMajor: return "row-major";
    case Layout::kColMajor: return "col-major";
    case Layout::kPadded: return "padded";
    case Layout::kNegRows: return "neg-rows";
    case Layout::kZeroRows: return "zero-row-stride";
  }
  return "?";
}

// A rows x cols matrix seen through the layout's strides; `span` elements
// from the lowest one, which ends against the fence.
template <class T>
struct Matrix {
  std::size_t rows, cols;
  std::ptrdiff_t rs = 0, cs = 0;
  std::size_t span = 0;
  std::ptrdiff_t origin = 0;
  std::unique_ptr<Fenced<T>> buf;

  Matrix(std::size_t r, std::size_t c, Layout layout) : rows(r), cols(c) {
    const auto R = static_cast<std::ptrdiff_t>(r), C = static_cast<std::ptrdiff_t>(c);
    switch (layout) {
      case Layout::kRowMajor: rs = C; cs = 1; break;
      case Layout::kColMajor: rs = 1; cs = R; break;
      case Layout::kPadded: rs = C + 3; cs = 1; break;
      case Layout::kNegRows: rs = -C; cs = 1; break;
      case Layout::kZeroRows: rs = 0; cs = 1; break;
    }
    if (r > 0 && c > 0) {
      const std::ptrdiff_t lo = (R - 1) * std::min<std::ptrdiff_t>(rs, 0);
      const std::ptrdiff_t hi = (R - 1) * std::max<std::ptrdiff_t>(rs, 0) + (C - 1) * cs;
      span = static_cast<std::size_t>(hi - lo + 1);
      origin = -lo;
    }
    buf = std::make_unique<Fenced<T>>(span);
  }
  T* lowest() const { return buf->data(); }
  T* at0() const { return lowest() + origin; }
  T& at(std::size_t i, std::size_t j) const {
    return at0()[static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs];
  }
};

constexpr std::uint32_t kSentinelBits = 0x7fc0dead;

// The float32 FMA chain from +0 over the widened operands.
float chain(const Matrix<std::uint16_t>& a, const Matrix<std::uint16_t>& b, std::size_t i,
            std::size_t j) {
  float acc = 0.0f;
  for (std::size_t p = 0; p < a.cols; ++p)
    acc = std::fma(bf16_to_f32(a.at(i, p)), bf16_to_f32(b.at(p, j)), acc);
  return acc;
}

// One product through `kern` against the chain, with operands in range.
void run_case(const Bf16Kernel& kern, std::size_t m, std::size_t n, std::size_t k, Layout la,
              Layout lb, Layout lc, int spread) {
  Matrix<std::uint16_t> a(m, k, la), b(k, n, lb);
  Matrix<float> c(m, n, lc);
  for (std::size_t i = 0; i < a.span; ++i) a.lowest()[i] = random_in_range(spread);
  for (std::size_t i = 0; i < b.span; ++i) b.lowest()[i] = random_in_range(spread);
  for (std::size_t i = 0; i < c.span; ++i) c.lowest()[i] = float_of(kSentinelBits);
  // Elements start as a different NaN: the first k block must not read them.
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) c.at(i, j) = float_of(0xffc00001);
  quarn::gemm::bf16gemm_with(kern, m, n, k, a.at0(), a.rs, a.cs, b.at0(), b.rs, b.cs, c.at0(),
                             c.rs, c.cs);
  const std::string what = std::string(kern.name) + " " + std::to_string(m) + "x" +
                           std::to_string(k) + "x" + std::to_string(n) + " A " + layout_name(la) +
                           " B " + layout_name(lb) + " C " + layout_name(lc);
  std::size_t wrong = 0, elements = 0;
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      ++elements;
      if (bits_of(c.at(i, j)) != bits_of(chain(a, b, i, j))) ++wrong;
    }
  check(wrong == 0, what + ": " + std::to_string(wrong) + " elements differ from the FMA chain");
  std::size_t sentinels = 0;
  for (std::size_t i = 0; i < c.span; ++i) sentinels += bits_of(c.lowest()[i]) == kSentinelBits;
  check(sentinels + elements == c.span, what + ": a position outside C was written");
}

// The set with smaller blocks, so that modest sizes cross every block edge
// (k blocks resuming the chain, several A and B blocks).
Bf16Kernel shrunk(const Bf16Kernel& kern) {
  Bf16Kernel s = kern;
  s.mc = 2 * kern.mr;
  s.kc = 10;
  s.nc = 2 * kern.nr;
  return s;
}

void test_products(const Bf16Kernel& kern) {
  const std::size_t mr = kern.mr, nr = kern.nr;
  struct Size {
    std::size_t m, n, k;
  };
  // Around the tile (edges of one row or column, full tiles), odd and even
  // k, k of one, and products of nothing.
  const Size sizes[] = {{1, 1, 1},          {mr, nr, 2},          {mr + 1, nr - 1, 3},
                        {mr - 1, nr + 1, 7}, {2 * mr, 2 * nr, 16}, {3 * mr + 2, 3 * nr + 5, 33},
                        {5, 70, 1},         {70, 5, 64},          {0, 4, 3},
                        {4, 0, 3},          {3, 4, 0}};
  for (const Bf16Kernel& set : {kern, shrunk(kern)})
    for (const Size& s : sizes)
      for (Layout la : {Layout::kRowMajor, Layout::kColMajor, Layout::kPadded, Layout::kZeroRows})
        for (Layout lb : {Layout::kRowMajor, Layout::kColMajor, Layout::kNegRows})
          run_case(set, s.m, s.n, s.k, la, lb, Layout::kRowMajor, 20);
  // C through non-unit column strides, and a negative row stride.
  for (Layout lc : {Layout::kColMajor, Layout::kPadded, Layout::kNegRows})
    run_case(shrunk(kern), 2 * mr + 3, 2 * nr + 3, 25, Layout::kRowMajor, Layout::kRowMajor, lc, 20);
  // Values across the whole range the guard lets through.
  run_case(shrunk(kern), mr + 3, nr + 3, 41, Layout::kRowMajor, Layout::kColMajor,
           Layout::kRowMajor, 50);
}

// Whole products at the set's own blocking, large enough for several k
// blocks and (for the real set) both fast packing routines.
void test_large(const Bf16Kernel& kern) {
  run_case(kern, 2 * kern.mc / 3 + 5, kern.nr * 3 + 1, 2 * kern.kc + 3, Layout::kRowMajor,
           Layout::kRowMajor, Layout::kRowMajor, 10);
  run_case(kern, kern.mr * 3 + 1, kern.nr * 2 + 7, kern.kc + 17, Layout::kColMajor,
           Layout::kColMajor, Layout::kRowMajor, 10);
}

// The driver's result is also what the float32 GEMM gives the widened
// operands when it runs one chain per element (k within its block).
void test_against_sgemm(const Bf16Kernel& kern) {
  const std::size_t m = 37, n = 45, k = 100;
  Matrix<std::uint16_t> a(m, k, Layout::kRowMajor), b(k, n, Layout::kColMajor);
  for (std::size_t i = 0; i < a.span; ++i) a.lowest()[i] = random_in_range(8);
  for (std::size_t i = 0; i < b.span; ++i) b.lowest()[i] = random_in_range(8);
  std::vector<float> wa(a.span), wb(b.span), c32(m * n), c16(m * n);
  for (std::size_t i = 0; i < a.span; ++i) wa[i] = bf16_to_f32(a.lowest()[i]);
  for (std::size_t i = 0; i < b.span; ++i) wb[i] = bf16_to_f32(b.lowest()[i]);
  quarn::gemm::sgemm(m, n, k, wa.data(), a.rs, a.cs, wb.data(), b.rs, b.cs, c32.data(),
                     static_cast<std::ptrdiff_t>(n), 1);
  quarn::gemm::bf16gemm_with(kern, m, n, k, a.at0(), a.rs, a.cs, b.at0(), b.rs, b.cs,
                             c16.data(), static_cast<std::ptrdiff_t>(n), 1);
  check(std::memcmp(c32.data(), c16.data(), c32.size() * sizeof(float)) == 0,
        std::string(kern.name) + ": differs from the float32 GEMM");
}

// The range check at its edges, at every position of arrays of several
// lengths, through the set's scan (or the driver's own loop).
void test_guard(const Bf16Kernel& kern) {
  struct Value {
    std::uint16_t bits;
    bool accepted;
  };
  const Value values[] = {
      {0x0000, true},  {0x8000, true},                   // zeros of both signs
      {0x2600, true},  {0xA600, true},                   // 2^-51 is the smallest accepted
      {0x25FF, false}, {0xA5FF, false},                  // just below it
      {0x0001, false}, {0x807F, false},                  // subnormal
      {0x0080, false},                                   // the smallest normal
      {0x5F7F, true},  {0xDF7F, true},                   // just below 2^64
      {0x5F80, false}, {0xDF80, false},                  // 2^64
      {0x7F7F, false},                                   // the largest finite
      {0x7F80, false}, {0xFF80, false}, {0x7FC0, false}, // infinities, NaN
      {0x3F80, true},  {0xC2F7, true},                   // ordinary values
  };
  for (const Value& v : values)
    check(quarn::gemm::bf16_dot_exact_value(v.bits) == v.accepted,
          "the range check on " + std::to_string(v.bits));
  const std::size_t lengths[] = {1, 31, 32, 33, 127, 128, 200, 4096 + 129, 3 * 4096};
  for (std::size_t n : lengths) {
    Fenced<std::uint16_t> buf(n);
    std::uint16_t* p = buf.data();
    for (std::size_t i = 0; i < n; ++i) p[i] = random_in_range(30);
    check(quarn::gemm::bf16_dot_exact(kern, p, n),
          std::string(kern.name) + ": in-range values rejected, n = " + std::to_string(n));
    std::vector<std::size_t> positions = {0, n - 1, n / 2};
    for (std::size_t pos : positions)
      for (const Value& v : values) {
        const std::uint16_t saved = p[pos];
        p[pos] = v.bits;
        check(quarn::gemm::bf16_dot_exact(kern, p, n) == v.accepted,
              std::string(kern.name) + ": value " + std::to_string(v.bits) + " at " +
                  std::to_string(pos) + " of " + std::to_string(n));
        p[pos] = saved;
      }
  }
}

std::uint32_t pair(float upper, float lower) {
  return static_cast<std::uint32_t>(f32_to_bf16(upper)) << 16 | f32_to_bf16(lower);
}

// The documented arithmetic of one step, on cases where the order, the
// rounding or the flushing decides the result. `dot` is the emulation or
// the instruction.
template <class Dot>
void test_step_semantics(const char* name, Dot dot) {
  const float tiny = std::ldexp(1.0f, -130);  // subnormal in float32
  struct Step {
    const char* what;
    float acc;
    std::uint32_t a, b;
    float expected;
  };
  const float two24 = std::ldexp(1.0f, 24);
  const Step steps[] = {
      // 1 + 2^24 ties to 2^24, and minus 2^24 leaves 0; the other order
      // would give 1 - 2^24 exactly and then 1.
      {"upper product first", 1.0f, pair(two24, -two24), pair(1.0f, 1.0f), 0.0f},
      // The mirror image: 1 - 2^24 is exact, and adding 2^24 gives 1 back.
      {"lower product second", 1.0f, pair(-two24, two24), pair(1.0f, 1.0f), 1.0f},
      // Each addition rounds: 2^24 + 1 + 1 is 2^24 twice over, not 2^24 + 2.
      {"each addition rounded", two24, pair(1.0f, 1.0f), pair(1.0f, 1.0f), two24},
      // Ties to even: 2^24 + 3 rounds up to 2^24 + 4.
      {"ties to even", two24 + 2.0f, pair(1.0f, 0.0f), pair(1.0f, 0.0f), two24 + 4.0f},
      {"subnormal lane read as zero", tiny, pair(0.0f, 0.0f), pair(0.0f, 0.0f), 0.0f},
      {"subnormal input read as zero", 1.0f, pair(1.0f, float_of(0x00010000)),
       pair(1.0f, std::ldexp(1.0f, 100)), 2.0f},
      {"subnormal sum flushed", 0.0f, pair(std::ldexp(1.0f, -70), 0.0f),
       pair(std::ldexp(1.0f, -70), 0.0f), 0.0f},
      {"normal sum kept", 0.0f, pair(std::ldexp(1.0f, -60), 0.0f),
       pair(std::ldexp(1.0f, -60), 0.0f), std::ldexp(1.0f, -120)},
  };
  for (const Step& s : steps) {
    const float got = dot(s.acc, s.a, s.b);
    check(same(got, s.expected), std::string(name) + ": " + s.what + ": got " +
                                     std::to_string(got) + " expected " +
                                     std::to_string(s.expected));
  }
}

#if defined(__x86_64__)
// The emulation against the instruction on random and edge inputs.
void test_emulation_against_instruction() {
  const std::uint16_t edges[] = {0x0000, 0x8000, 0x0001, 0x807F, 0x0080, 0x2600, 0x25FF,
                                 0x7F7F, 0xFF7F, 0x5F80, 0x7F80, 0xFF80, 0x7FC0, 0x3F80,
                                 0x1F80, 0x1F00, 0x6000, 0xE000, 0x0100, 0x3F81};
  std::uniform_int_distribution<std::uint32_t> any;
  std::uniform_int_distribution<int> pick(0, 3);
  std::size_t wrong = 0, total = 0;
  std::string first;
  for (int round = 0; round < 4000; ++round) {
    alignas(64) float acc[16], emulated[16];
    alignas(64) std::uint32_t a[16], b[16];
    for (int l = 0; l < 16; ++l) {
      // A mix of random bit patterns, in-range values with cancelling
      // signs, and the edge values.
      auto half = [&](int kind) -> std::uint32_t {
        if (kind == 0) return any(rng()) & 0xffff;
        if (kind == 1) return edges[any(rng()) % std::size(edges)];
        return random_in_range(kind == 2 ? 20 : 60);
      };
      a[l] = half(pick(rng())) << 16 | half(pick(rng()));
      b[l] = half(pick(rng())) << 16 | half(pick(rng()));
      const int kind = pick(rng());
      acc[l] = kind == 0   ? float_of(any(rng()))
               : kind == 1 ? bf16_to_f32(edges[any(rng()) % std::size(edges)])
                           : std::ldexp(std::normal_distribution<float>()(rng()), pick(rng()) * 10 - 15);
      emulated[l] = quarn::gemm::bf16_dot_lane(acc[l], a[l], b[l]);
    }
    quarn::gemm::bf16gemm_avx512bf16_dot16(acc, a, b);
    for (int l = 0; l < 16; ++l) {
      ++total;
      if (!same(acc[l], emulated[l])) {
        if (wrong++ == 0)
          first = "a " + std::to_string(a[l]) + " b " + std::to_string(b[l]) + ": instruction " +
                  std::to_string(bits_of(acc[l])) + ", emulation " +
                  std::to_string(bits_of(emulated[l]));
      }
    }
  }
  check(wrong == 0, "the emulation differs from the instruction in " + std::to_string(wrong) +
                        " of " + std::to_string(total) + " lanes, first " + first);
}
#endif

}  // namespace

int main() {
  const auto& features = quarn::engine::cpu_features();
  const Bf16Kernel& emulated = quarn::gemm::bf16_emulated_kernel();
  const Bf16Kernel* active = quarn::gemm::bf16gemm_active_kernel();
  check((active != nullptr) == features.has_avx512_bf16(),
        "a dot-product set is chosen exactly when the CPU has the instruction");

  // The mode decides which set serves a product; kAuto follows the one-time
  // measurement, whichever way it came out on this machine.
  using quarn::gemm::Bf16DotMode;
  const struct {
    Bf16DotMode mode;
    const Bf16Kernel* serving;
  } modes[] = {{Bf16DotMode::kOff, nullptr},
               {Bf16DotMode::kOn, active},
               {Bf16DotMode::kAuto, quarn::gemm::bf16_dot_measured_faster() ? active : nullptr}};
  for (const auto& m : modes) {
    quarn::gemm::set_bf16_dot_mode(m.mode);
    check(quarn::gemm::bf16_dot_mode() == m.mode && quarn::gemm::bf16gemm_serving_kernel() == m.serving,
          "the serving set under mode " + std::to_string(static_cast<int>(m.mode)));
  }
  check(active != nullptr || !quarn::gemm::bf16_dot_measured_faster(),
        "the instruction measured faster on a CPU without it");
  std::printf("the dot path %s by default on this CPU\n",
              quarn::gemm::bf16_dot_measured_faster() ? "serves products" : "stays unused");

  test_step_semantics("emulation", quarn::gemm::bf16_dot_lane);
  test_products(emulated);
  test_large(emulated);
  test_against_sgemm(emulated);
  test_guard(emulated);

#if defined(__x86_64__)
  if (features.has_avx512_bf16()) {
    test_step_semantics("instruction", [](float acc, std::uint32_t a, std::uint32_t b) {
      alignas(64) float lanes[16];
      alignas(64) std::uint32_t as[16], bs[16];
      for (int l = 0; l < 16; ++l) lanes[l] = acc, as[l] = a, bs[l] = b;
      quarn::gemm::bf16gemm_avx512bf16_dot16(lanes, as, bs);
      return lanes[0];
    });
    test_emulation_against_instruction();
    for (const Bf16Kernel& kern : quarn::gemm::bf16_kernels()) {
      if (!kern.supported(features)) continue;
      test_products(kern);
      test_large(kern);
      test_against_sgemm(kern);
      test_guard(kern);
    }
  } else {
    std::printf("skipped: this CPU lacks the bfloat16 dot-product instruction; the emulation "
                "alone ran\n");
  }
#endif
  return quarn_test::report();
}
