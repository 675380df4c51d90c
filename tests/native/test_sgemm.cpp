// The GEMM against a double-precision product, for every kernel set this CPU
// can run and for the reference set. Operands live in buffers fenced by
// inaccessible pages, placed so that the first or the last element touches a
// fence: a kernel that reads or writes one element too far crashes the test.
// Every memory position of C that is not an element of C holds a sentinel
// that must survive, and C starts out as NaN to prove that it is never read.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/cpu_features.hpp"
#include "engine/gemm/kernels/kernels.hpp"
#include "engine/gemm/sgemm.hpp"

namespace {

using quarn::gemm::SgemmKernel;

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    if (g_failed <= 40) std::printf("FAIL: %s\n", what.c_str());
  }
}

std::mt19937& rng() {
  static std::mt19937 gen(20240611);
  return gen;
}

float random_value() { return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng()); }

// Memory with an inaccessible page on each side. The usable bytes are placed
// against the lower or the upper fence.
class FencedBuffer {
 public:
  FencedBuffer(std::size_t floats, bool against_upper) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = std::max<std::size_t>(floats, 1) * sizeof(float);
    inner_ = (bytes + page_ - 1) / page_ * page_;
    total_ = inner_ + 2 * page_;
    base_ = static_cast<char*>(
        mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) {
      std::perror("mmap");
      std::exit(2);
    }
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + page_ + inner_, page_, PROT_NONE);
    char* start = against_upper ? base_ + page_ + inner_ - floats * sizeof(float) : base_ + page_;
    data_ = reinterpret_cast<float*>(start);
  }
  FencedBuffer(const FencedBuffer&) = delete;
  FencedBuffer& operator=(const FencedBuffer&) = delete;
  ~FencedBuffer() { munmap(base_, total_); }
  float* data() const { return data_; }

 private:
  std::size_t page_ = 0, inner_ = 0, total_ = 0;
  char* base_ = nullptr;
  float* data_ = nullptr;
};

enum class Layout { kRowMajor, kColMajor, kPadded, kSpaced, kNegRows, kNegBoth, kNegColMajor,
                    kZeroRows, kZeroCols };

const char* layout_name(Layout l) {
  switch (l) {
    case Layout::kRowMajor: return "row-major";
    case Layout::kColMajor: return "col-major";
    case Layout::kPadded: return "padded";
    case Layout::kSpaced: return "spaced";
    case Layout::kNegRows: return "neg-rows";
    case Layout::kNegBoth: return "neg-both";
    case Layout::kNegColMajor: return "neg-col-major";
    case Layout::kZeroRows: return "zero-row-stride";
    case Layout::kZeroCols: return "zero-col-stride";
  }
  return "?";
}

// A rows x cols matrix seen through strides inside a fenced buffer.
struct Matrix {
  std::size_t rows, cols;
  std::ptrdiff_t rs, cs;
  std::size_t span;       // floats between the lowest and highest element
  std::ptrdiff_t origin;  // offset of element (0, 0) from the lowest one
  FencedBuffer buf;

  Matrix(std::size_t r, std::size_t c, Layout layout, bool against_upper)
      : rows(r), cols(c), rs(0), cs(0), span(0), origin(0),
        buf(extent(r, c, layout), against_upper) {
    strides_for(r, c, layout, rs, cs);
    const auto [lo, hi] = bounds(r, c, rs, cs);
    span = (r == 0 || c == 0) ? 0 : static_cast<std::size_t>(hi - lo + 1);
    origin = -lo;
  }

  float* at0() const { return buf.data() + origin; }
  float& at(std::size_t i, std::size_t j) const {
    return at0()[static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs];
  }
  float* lowest() const { return buf.data(); }

  static void strides_for(std::size_t r, std::size_t c, Layout layout, std::ptrdiff_t& rs,
                          std::ptrdiff_t& cs) {
    const auto R = static_cast<std::ptrdiff_t>(r), C = static_cast<std::ptrdiff_t>(c);
    switch (layout) {
      case Layout::kRowMajor: rs = C; cs = 1; break;
      case Layout::kColMajor: rs = 1; cs = R; break;
      case Layout::kPadded: rs = C + 3; cs = 1; break;
      case Layout::kSpaced: rs = 1; cs = 2 * R + 1; break;
      case Layout::kNegRows: rs = -C; cs = 1; break;
      case Layout::kNegBoth: rs = -C; cs = -1; break;
      case Layout::kNegColMajor: rs = -1; cs = -R; break;
      case Layout::kZeroRows: rs = 0; cs = 1; break;
      case Layout::kZeroCols: rs = 1; cs = 0; break;
    }
  }
  static std::pair<std::ptrdiff_t, std::ptrdiff_t> bounds(std::size_t r, std::size_t c,
                                                          std::ptrdiff_t rs, std::ptrdiff_t cs) {
    if (r == 0 || c == 0) return {0, 0};
    const auto R = static_cast<std::ptrdiff_t>(r) - 1, C = static_cast<std::ptrdiff_t>(c) - 1;
    const std::ptrdiff_t lo = R * std::min<std::ptrdiff_t>(rs, 0) +
                              C * std::min<std::ptrdiff_t>(cs, 0);
    const std::ptrdiff_t hi = R * std::max<std::ptrdiff_t>(rs, 0) +
                              C * std::max<std::ptrdiff_t>(cs, 0);
    return {lo, hi};
  }
  static std::size_t extent(std::size_t r, std::size_t c, Layout layout) {
    std::ptrdiff_t rs = 0, cs = 0;
    strides_for(r, c, layout, rs, cs);
    const auto [lo, hi] = bounds(r, c, rs, cs);
    return (r == 0 || c == 0) ? 0 : static_cast<std::size_t>(hi - lo + 1);
  }
};

void fill_random(const Matrix& m) {
  for (std::size_t i = 0; i < m.span; ++i) m.lowest()[i] = random_value();
}

constexpr std::uint32_t kSentinelBits = 0x7fc0dead;  // a NaN with a payload
constexpr std::uint32_t kGarbageBits = 0xffc00001;   // a different NaN

void fill_bits(float* p, std::size_t n, std::uint32_t bits) {
  for (std::size_t i = 0; i < n; ++i) std::memcpy(p + i, &bits, sizeof bits);
}

std::uint32_t bits_of(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// C's buffer: element positions hold garbage NaN, every other position the
// sentinel.
void poison(const Matrix& c) {
  fill_bits(c.lowest(), c.span, kSentinelBits);
  for (std::size_t i = 0; i < c.rows; ++i)
    for (std::size_t j = 0; j < c.cols; ++j) fill_bits(&c.at(i, j), 1, kGarbageBits);
}

// Compares C with the double-precision product. The error bound of a
// k-term single-precision dot product is about k * 2^-24 * sum |a| |b|; a
// margin of 2 covers the different summation orders of the kernels.
bool verify(const Matrix& a, const Matrix& b, const Matrix& c, std::string& why) {
  const std::size_t k = a.cols;
  std::vector<bool> is_element(c.span, false);
  for (std::size_t i = 0; i < c.rows; ++i) {
    for (std::size_t j = 0; j < c.cols; ++j) {
      is_element[static_cast<std::size_t>(&c.at(i, j) - c.lowest())] = true;
      double sum = 0.0, mag = 0.0;
      for (std::size_t p = 0; p < k; ++p) {
        const double t = static_cast<double>(a.at(i, p)) * b.at(p, j);
        sum += t;
        mag += std::fabs(t);
      }
      const double got = c.at(i, j);
      const double tol = 2.0 * static_cast<double>(k + 1) * std::ldexp(1.0, -24) * mag + 1e-30;
      if (!(std::fabs(got - sum) <= tol)) {
        why = "C(" + std::to_string(i) + "," + std::to_string(j) + ") = " + std::to_string(got) +
              ", expected " + std::to_string(sum);
        return false;
      }
    }
  }
  for (std::size_t q = 0; q < c.span; ++q) {
    if (!is_element[q] && bits_of(c.lowest()[q]) != kSentinelBits) {
      why = "wrote outside C at offset " + std::to_string(q);
      return false;
    }
  }
  return true;
}

struct Case {
  std::size_t m, n, k;
  Layout la, lb, lc;
  bool against_upper;
};

std::string describe(const SgemmKernel& kern, bool direct, const Case& t) {
  return std::string(kern.name) + (direct ? " direct-allowed" : " packed") + " m=" +
         std::to_string(t.m) + " n=" + std::to_string(t.n) + " k=" + std::to_string(t.k) +
         " A " + layout_name(t.la) + " B " + layout_name(t.lb) + " C " + layout_name(t.lc) +
         (t.against_upper ? " (upper fence)" : " (lower fence)");
}

void run_case(const SgemmKernel& kern, bool direct, const Case& t) {
  Matrix a(t.m, t.k, t.la, t.against_upper);
  Matrix b(t.k, t.n, t.lb, t.against_upper);
  Matrix c(t.m, t.n, t.lc, t.against_upper);
  fill_random(a);
  fill_random(b);
  poison(c);
  quarn::gemm::sgemm_with(kern, direct, t.m, t.n, t.k, a.at0(), a.rs, a.cs, b.at0(), b.rs, b.cs,
                          c.at0(), c.rs, c.cs);
  std::string why;
  const bool ok = verify(a, b, c, why);
  check(ok, describe(kern, direct, t) + ": " + why);
}

std::vector<const SgemmKernel*> runnable_kernels() {
  std::vector<const SgemmKernel*> out;
  for (const SgemmKernel& kern : quarn::gemm::sgemm_kernels())
    if (kern.supported(quarn::engine::cpu_features())) out.push_back(&kern);
  return out;
}

// Every m in 1..2*MR+1 and n in 1..2*NR+1 (so full tiles, edge tiles and
// both together), on both paths, row-major and transposed operands.
void test_edge_sizes(const SgemmKernel& kern) {
  for (bool direct : {true, false})
    for (std::size_t m = 1; m <= 2 * kern.mr + 1; ++m)
      for (std::size_t n = 1; n <= 2 * kern.nr + 1; ++n) {
        const std::size_t k = 1 + (m * 7 + n * 3) % 19;
        const bool upper = (m + n) % 2 == 0;
        run_case(kern, direct,
                 {m, n, k, Layout::kRowMajor, Layout::kRowMajor, Layout::kRowMajor, upper});
        if ((m + n) % 3 == 0)
          run_case(kern, direct,
                   {m, n, k, Layout::kColMajor, Layout::kColMajor, Layout::kRowMajor, !upper});
      }
}

// Every layout of each operand, with sizes that are not multiples of the
// tile, against both fences.
void test_strides(const SgemmKernel& kern) {
  const Layout operand_layouts[] = {Layout::kRowMajor, Layout::kColMajor, Layout::kPadded,
                                    Layout::kSpaced,   Layout::kNegRows,  Layout::kNegBoth,
                                    Layout::kNegColMajor, Layout::kZeroRows, Layout::kZeroCols};
  const Layout c_layouts[] = {Layout::kRowMajor, Layout::kColMajor, Layout::kPadded,
                              Layout::kSpaced,   Layout::kNegRows,  Layout::kNegBoth,
                              Layout::kNegColMajor};
  const std::size_t m = kern.mr * 2 + 1, n = kern.nr + 3, k = 13;
  for (bool direct : {true, false}) {
    for (Layout la : operand_layouts)
      for (Layout lb : operand_layouts)
        run_case(kern, direct, {m, n, k, la, lb, Layout::kRowMajor, (la == lb)});
    for (Layout lc : c_layouts)
      for (bool upper : {false, true})
        run_case(kern, direct, {m, n, k, Layout::kRowMajor, Layout::kColMajor, lc, upper});
  }
}

// Empty extents: k == 0 must zero C (it starts as NaN); m == 0 or n == 0
// must touch nothing.
void test_empty(const SgemmKernel& kern) {
  for (bool direct : {true, false}) {
    for (Layout lc : {Layout::kRowMajor, Layout::kColMajor, Layout::kNegBoth, Layout::kPadded})
      run_case(kern, direct, {5, 7, 0, Layout::kRowMajor, Layout::kRowMajor, lc, true});
    for (auto [m, n, k] : {std::array<std::size_t, 3>{0, 7, 5}, {5, 0, 7}, {0, 0, 0}, {0, 3, 0}}) {
      Matrix a(m, k, Layout::kRowMajor, true), b(k, n, Layout::kRowMajor, true);
      Matrix c(std::max<std::size_t>(m, 1), std::max<std::size_t>(n, 1), Layout::kRowMajor, true);
      fill_random(a);
      fill_random(b);
      fill_bits(c.lowest(), c.span, kSentinelBits);
      quarn::gemm::sgemm_with(kern, direct, m, n, k, a.at0(), a.rs, a.cs, b.at0(), b.rs, b.cs,
                              c.at0(), c.rs, c.cs);
      bool untouched = true;
      for (std::size_t q = 0; q < c.span; ++q) untouched &= bits_of(c.lowest()[q]) == kSentinelBits;
      check(untouched, std::string(kern.name) + " m=" + std::to_string(m) + " n=" +
                           std::to_string(n) + ": an empty product wrote to C");
    }
  }
}

// Sizes one past each cache block (mc, kc, kc_one_block and nc) so that
// every loop of the driver runs a partial last block and C is accumulated
// over several k blocks, with A in several row blocks and in one.
void test_block_edges(const SgemmKernel& kern) {
  const std::pair<bool, Case> cases[] = {
      {false, {kern.mc + 1, kern.nr * 3 + 5, kern.kc + 1, Layout::kRowMajor, Layout::kRowMajor,
               Layout::kRowMajor, true}},
      {false, {kern.mr + 2, kern.nc + kern.nr + 3, 2 * kern.kc + 7, Layout::kColMajor,
               Layout::kColMajor, Layout::kRowMajor, false}},
      {true, {2 * kern.mc + 3, 61, 2 * kern.kc + 3, Layout::kNegRows, Layout::kRowMajor,
              Layout::kColMajor, true}},
      {false, {kern.mc, 2 * kern.nr + 1, kern.kc_one_block + 1, Layout::kRowMajor,
               Layout::kColMajor, Layout::kRowMajor, false}},
      {false, {kern.mr + 1, kern.nr + 3, 2 * kern.kc_one_block + 1, Layout::kColMajor,
               Layout::kRowMajor, Layout::kPadded, true}},
      {true, {97, 101, 103, Layout::kRowMajor, Layout::kRowMajor, Layout::kRowMajor, false}},
  };
  for (const auto& [direct, c] : cases) run_case(kern, direct, c);
}

// The micro-kernel alone on random packed panels: overwrite (C starts as
// NaN) and accumulate, against the reference micro-kernel's arithmetic done
// in double.
void test_micro_kernel(const SgemmKernel& kern) {
  for (std::size_t k : {0u, 1u, 2u, 3u, 5u, 8u, 31u, 256u, 1000u}) {
    std::vector<float> a(kern.mr * k + 1), b(kern.nr * k + 1);
    for (auto& x : a) x = random_value();
    for (auto& x : b) x = random_value();
    const std::size_t ldc = kern.nr + 5;
    for (bool accumulate : {false, true}) {
      std::vector<float> c(kern.mr * ldc);
      std::vector<float> before(c.size());
      for (std::size_t q = 0; q < c.size(); ++q) {
        if (accumulate) {
          c[q] = random_value();
        } else {
          std::uint32_t bits = kGarbageBits;
          std::memcpy(&c[q], &bits, sizeof bits);
        }
        before[q] = c[q];
      }
      kern.micro(k, a.data(), b.data(), c.data(), static_cast<std::ptrdiff_t>(ldc), accumulate);
      bool ok = true;
      for (std::size_t i = 0; i < kern.mr; ++i) {
        for (std::size_t j = 0; j < ldc; ++j) {
          const float got = c[i * ldc + j];
          if (j >= kern.nr) {
            ok &= bits_of(got) == bits_of(before[i * ldc + j]);
            continue;
          }
          double sum = accumulate ? before[i * ldc + j] : 0.0, mag = std::fabs(sum);
          for (std::size_t p = 0; p < k; ++p) {
            const double t = static_cast<double>(a[p * kern.mr + i]) * b[p * kern.nr + j];
            sum += t;
            mag += std::fabs(t);
          }
          const double tol = 2.0 * static_cast<double>(k + 2) * std::ldexp(1.0, -24) * mag;
          ok &= std::fabs(got - sum) <= tol;
        }
      }
      check(ok, std::string(kern.name) + " micro-kernel k=" + std::to_string(k) +
                    (accumulate ? " accumulate" : " overwrite"));
    }
  }
}

// The vector sets and the reference set agree with each other, not just with
// the double product.
void test_against_reference(const SgemmKernel& kern) {
  const SgemmKernel& ref = quarn::gemm::sgemm_ref_kernel();
  for (auto [m, n, k] : {std::array<std::size_t, 3>{33, 47, 29}, {130, 70, 300}, {7, 300, 64}}) {
    std::vector<float> a(m * k), b(k * n), c1(m * n), c2(m * n);
    for (auto& x : a) x = random_value();
    for (auto& x : b) x = random_value();
    const auto N = static_cast<std::ptrdiff_t>(n), K = static_cast<std::ptrdiff_t>(k);
    quarn::gemm::sgemm_with(kern, true, m, n, k, a.data(), K, 1, b.data(), 1, K, c1.data(), N, 1);
    quarn::gemm::sgemm_with(ref, true, m, n, k, a.data(), K, 1, b.data(), 1, K, c2.data(), N, 1);
    double worst = 0.0;
    for (std::size_t q = 0; q < c1.size(); ++q)
      worst = std::max(worst, static_cast<double>(std::fabs(c1[q] - c2[q])));
    // Entries are sums of k products of magnitude below 1.
    check(worst <= 4.0 * static_cast<double>(k) * std::ldexp(1.0, -24) * static_cast<double>(k),
          std::string(kern.name) + " vs reference, m=" + std::to_string(m) + ": differ by " +
              std::to_string(worst));
  }
}

// One-column and one-row products (matrix-vector), which have kernels of
// their own: row counts around the 8-row groups and 32-row passes of the
// column kernel, k around its 8-step transposes, rows long enough for the
// streaming one-row path, and operands of every layout.
void test_vector_products(const SgemmKernel& kern) {
  const Layout layouts[] = {Layout::kRowMajor, Layout::kColMajor, Layout::kPadded,
                            Layout::kNegBoth, Layout::kZeroCols};
  for (std::size_t rows : {1u, 5u, 8u, 9u, 16u, 17u, 31u, 32u, 33u, 70u, 300u, 2100u})
    for (std::size_t k : {1u, 7u, 8u, 9u, 35u, 260u}) {
      if (rows * k > 300 * 260) continue;
      const bool upper = (rows + k) % 2 == 0;
      for (Layout l : layouts) {
        // A x: the layout is A's; x is a column.
        run_case(kern, true, {rows, 1, k, l, Layout::kRowMajor, Layout::kRowMajor, upper});
        // x B: the layout is B's; x is a row.
        run_case(kern, true, {1, rows, k, Layout::kRowMajor, l, Layout::kRowMajor, !upper});
      }
      run_case(kern, true,
               {rows, 1, k, Layout::kRowMajor, Layout::kColMajor, Layout::kPadded, upper});
      run_case(kern, true,
               {1, rows, k, Layout::kColMajor, Layout::kRowMajor, Layout::kNegBoth, upper});
    }
}

// A product's bits do not depend on A's layout: a transposed A gives exactly
// what a row-major copy of it gives, on every path (direct, matrix-vector,
// packed). The same holds for B wherever B's layout cannot move the product
// from the direct to the packed path.
void test_layout_independence(const SgemmKernel& kern) {
  for (auto [m, n, k] : {std::array<std::size_t, 3>{1, 300, 77}, {300, 1, 77}, {1, 1, 500},
                         {7, 9, 11}, {40, 33, 65}, {3, 700, 300}, {150, 170, 300}}) {
    std::vector<float> a(m * k), b(k * n), at(m * k), bt(k * n);
    for (auto& v : a) v = random_value();
    for (auto& v : b) v = random_value();
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t p = 0; p < k; ++p) at[p * m + i] = a[i * k + p];
    for (std::size_t p = 0; p < k; ++p)
      for (std::size_t j = 0; j < n; ++j) bt[j * k + p] = b[p * n + j];
    const auto M = static_cast<std::ptrdiff_t>(m), N = static_cast<std::ptrdiff_t>(n),
               K = static_cast<std::ptrdiff_t>(k);
    std::vector<float> c0(m * n), c1(m * n), c2(m * n), c3(m * n);
    quarn::gemm::sgemm_with(kern, true, m, n, k, a.data(), K, 1, b.data(), N, 1, c0.data(), N, 1);
    quarn::gemm::sgemm_with(kern, true, m, n, k, at.data(), 1, M, b.data(), N, 1, c1.data(), N, 1);
    quarn::gemm::sgemm_with(kern, true, m, n, k, a.data(), K, 1, bt.data(), 1, K, c2.data(), N, 1);
    quarn::gemm::sgemm_with(kern, true, m, n, k, at.data(), 1, M, bt.data(), 1, K, c3.data(), N, 1);
    const std::string shape = std::string(kern.name) + " m=" + std::to_string(m) +
                              " n=" + std::to_string(n) + " k=" + std::to_string(k);
    check(std::memcmp(c0.data(), c1.data(), c0.size() * sizeof(float)) == 0,
          shape + ": transposed A changes the result");
    if (m == 1 || n == 1 || k * n <= 4096) {
      // B's layout can change the path only for large products with several
      // rows, where the packed path's blocked sums take over.
      check(std::memcmp(c0.data(), c2.data(), c0.size() * sizeof(float)) == 0,
            shape + ": transposed B changes the result");
      check(std::memcmp(c0.data(), c3.data(), c0.size() * sizeof(float)) == 0,
            shape + ": transposed A and B change the result");
    }
  }
}

// Concurrent callers each use their own packing buffers.
void test_threads() {
  constexpr std::size_t kThreads = 4;
  std::vector<std::vector<float>> results(kThreads);
  std::vector<float> a(300 * 200), b(200 * 310);
  for (auto& x : a) x = random_value();
  for (auto& x : b) x = random_value();
  std::vector<float> expected(300 * 310);
  quarn::gemm::sgemm(300, 310, 200, a.data(), 200, 1, b.data(), 310, 1, expected.data(), 310, 1);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<float> c(300 * 310);
      for (int rep = 0; rep < 5; ++rep) {
        // Interleave a different shape so the buffers are regrown.
        std::vector<float> small(17 * 19);
        quarn::gemm::sgemm(17, 19, 200, a.data(), 200, 1, b.data(), 310, 1, small.data(), 19, 1);
        quarn::gemm::sgemm(300, 310, 200, a.data(), 200, 1, b.data(), 310, 1, c.data(), 310, 1);
      }
      results[t] = std::move(c);
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < kThreads; ++t)
    check(results[t] == expected, "thread " + std::to_string(t) + " got a different product");
}

}  // namespace

int main() {
  const auto kernels = runnable_kernels();
  std::printf("kernel sets on this CPU:");
  for (const SgemmKernel* kern : kernels) std::printf(" %s", kern->name);
  std::printf(" (chosen: %s)\n", quarn::gemm::sgemm_active_kernel().name);
  check(&quarn::gemm::sgemm_active_kernel() == kernels.front(),
        "the chosen kernel set is not the first supported one");
  check(std::string(quarn::gemm::sgemm_ref_kernel().name) ==
            quarn::gemm::sgemm_kernels().back().name,
        "the reference set is not the last resort");

  for (const SgemmKernel* kern : kernels) {
    test_micro_kernel(*kern);
    test_edge_sizes(*kern);
    test_strides(*kern);
    test_empty(*kern);
    test_block_edges(*kern);
    test_against_reference(*kern);
    test_vector_products(*kern);
    test_layout_independence(*kern);
  }
  test_threads();

  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
