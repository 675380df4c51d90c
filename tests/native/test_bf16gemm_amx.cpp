// The AMX bfloat16 GEMM (engine/gemm/bf16gemm_amx.hpp) where the CPU has the
// tile unit and the OS grants it; elsewhere reported as skipped.
//
// The unit's sums are not the FMA chain's bit for bit, so the checks are:
// operands of small integers, whose every partial sum is exact in float32
// in any order, give exactly the chain's result (any slip in packing,
// padding or blocking shows as a whole wrong product); real-valued operands
// stay within the rounding bound of the exact sum; any split of C between
// callers (as threads get it) gives the same bits as one call; nothing
// outside C is written and no operand is read past its end.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/convert.hpp"
#include "engine/gemm/bf16gemm_amx.hpp"
#include "engine/gemm/kernels/bf16_amx_kernels.hpp"

namespace {

using quarn::engine::bf16_to_f32;
using quarn::engine::f32_to_bf16;
using quarn_test::check;

std::mt19937 g_rng(20261208);

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

template <class T>
T* fenced(std::size_t count) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t inner = (std::max<std::size_t>(count, 1) * sizeof(T) + page - 1) / page * page;
  void* base = mmap(nullptr, inner + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) std::abort();
  mprotect(static_cast<char*>(base) + inner, page, PROT_NONE);
  return reinterpret_cast<T*>(static_cast<char*>(base) + inner) - count;  // never unmapped
}

enum Layout { kRowMajor, kColMajor, kPadded };
const char* const kLayoutNames[] = {"row-major", "col-major", "padded"};

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

enum Values { kSmallIntegers, kReals };

std::uint16_t random_value(Values values) {
  if (values == kSmallIntegers) return f32_to_bf16(static_cast<float>(static_cast<int>(g_rng() % 17) - 8));
  std::normal_distribution<float> normal;
  return f32_to_bf16(std::ldexp(normal(g_rng), static_cast<int>(g_rng() % 21) - 10));
}

struct Product {
  Matrix<std::uint16_t> a, b;
  Matrix<float> c;
  Product(std::size_t m, std::size_t n, std::size_t k, Layout la, Layout lb, Layout lc, Values values)
      : a(m, k, la), b(k, n, lb), c(m, n, lc) {
    for (std::size_t i = 0; i < a.span; ++i) a.data[i] = random_value(values);
    for (std::size_t i = 0; i < b.span; ++i) b.data[i] = random_value(values);
    for (std::size_t i = 0; i < c.span; ++i) c.data[i] = float_of(kSentinel);
    // Another NaN in C's own elements: the first k block must not read them.
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) c.at(i, j) = float_of(0xffc00001);
  }
  // The block of C from (i0, j0) of rows x cols, in one call.
  void run(std::size_t i0, std::size_t j0, std::size_t rows, std::size_t cols) {
    const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(i0), j = static_cast<std::ptrdiff_t>(j0);
    quarn::gemm::bf16gemm_amx(rows, cols, a.cols, a.data + i * a.rs, a.rs, a.cs, b.data + j * b.cs, b.rs,
                              b.cs, c.data + i * c.rs + j * c.cs, c.rs, c.cs);
  }
};

void check_product(std::size_t m, std::size_t n, std::size_t k, Layout la, Layout lb, Layout lc,
                   Values values) {
  Product p(m, n, k, la, lb, lc, values);
  p.run(0, 0, m, n);
  std::size_t wrong = 0, chain_equal = 0;
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      float chain = 0.0f;
      double exact = 0.0, magnitude = 0.0;
      for (std::size_t q = 0; q < k; ++q) {
        const float x = bf16_to_f32(p.a.at(i, q)), y = bf16_to_f32(p.b.at(q, j));
        chain = std::fma(x, y, chain);
        exact += static_cast<double>(x) * y;
        magnitude += std::fabs(static_cast<double>(x) * y);
      }
      const float got = p.c.at(i, j);
      chain_equal += bits_of(got) == bits_of(chain);
      if (values == kSmallIntegers)
        wrong += bits_of(got) != bits_of(chain);
      else  // k roundings of at most half an ulp of a partial sum each
        wrong += !(std::fabs(got - exact) <= (static_cast<double>(k) + 1) * 0x1p-24 * magnitude);
    }
  std::size_t sentinels = 0;
  for (std::size_t i = 0; i < p.c.span; ++i) sentinels += bits_of(p.c.data[i]) == kSentinel;
  const std::string what = std::to_string(m) + "x" + std::to_string(k) + "x" + std::to_string(n) + " A " +
                           kLayoutNames[la] + " B " + kLayoutNames[lb] + " C " + kLayoutNames[lc] +
                           (values == kSmallIntegers ? " integers" : " reals");
  check(wrong == 0, what + ": " + std::to_string(wrong) + " elements wrong");
  check(sentinels + m * n == p.c.span, what + ": a position outside C was written");
  if (values == kReals && m * n * k >= 10000000)
    std::printf("%s: %zu of %zu elements equal the FMA chain\n", what.c_str(), chain_equal, m * n);
}

void test_products() {
  // Sizes around the 32 x 32 tile of C, the 32 values of k per tile block
  // and the driver's blocks (up to 2048 of k, 256 rows, 256 columns).
  const std::size_t sizes[][3] = {{1, 1, 1},     {32, 32, 32},   {31, 33, 31},  {33, 31, 33},
                                  {64, 64, 64},  {5, 70, 1},     {70, 5, 3},    {17, 19, 513},
                                  {97, 45, 1100}, {300, 40, 64}, {40, 530, 77}, {0, 4, 3},
                                  {4, 0, 3},     {3, 4, 0},     {17, 19, 2049}, {40, 33, 4100}};
  for (Values values : {kSmallIntegers, kReals})
    for (const auto& s : sizes)
      for (Layout la : {kRowMajor, kColMajor, kPadded})
        for (Layout lb : {kRowMajor, kColMajor, kPadded})
          check_product(s[0], s[1], s[2], la, lb, kRowMajor, values);
  for (Layout lc : {kColMajor, kPadded})
    for (std::size_t k : {70, 600}) check_product(67, 45, k, kRowMajor, kRowMajor, lc, kReals);
  check_product(260, 520, 1030, kRowMajor, kRowMajor, kRowMajor, kSmallIntegers);
  check_product(300, 300, 600, kRowMajor, kRowMajor, kRowMajor, kReals);
}

#if defined(__x86_64__)
// The packed panels word by word against the layout of bf16_amx_kernels.hpp,
// every word of them, padding included (the tile loads read all of it).
// Wrong products say only that something is off; this names the operand,
// the shape and the path. For both operands: whole and partial panels, k
// that ends inside a pair, a tile or a block, unit and general strides.
void test_packing() {
  using namespace quarn::gemm;
  for (int which = 0; which < 2; ++which)
    for (std::size_t lanes : {1, 15, 16, 17, 31, 32})
      for (std::size_t kc : {1, 2, 31, 32, 33, 64, 95})
        for (bool lane_major : {true, false}) {
          // Lane-major: a lane's values adjacent (unit k stride); else
          // the lanes adjacent, as a row-major B's columns are.
          const std::ptrdiff_t ls = lane_major ? static_cast<std::ptrdiff_t>(kc) + 1 : 1;
          const std::ptrdiff_t ks = lane_major ? 1 : static_cast<std::ptrdiff_t>(kAmxLanes) + 3;
          const std::size_t span = static_cast<std::size_t>((static_cast<std::ptrdiff_t>(lanes) - 1) * ls +
                                                            (static_cast<std::ptrdiff_t>(kc) - 1) * ks + 1);
          // Fenced right after the last real value: a read past it faults.
          std::uint16_t* src = fenced<std::uint16_t>(span);
          for (std::size_t i = 0; i < span; ++i) src[i] = static_cast<std::uint16_t>(g_rng() | 1);
          const std::size_t words = amx_panel_words(kc);
          auto* dst = static_cast<std::uint32_t*>(std::aligned_alloc(64, words * sizeof(std::uint32_t)));
          if (dst == nullptr) std::abort();
          std::fill(dst, dst + words, kSentinel);
          (which == 0 ? bf16gemm_amx_pack_a : bf16gemm_amx_pack_b)(src, ls, ks, lanes, kc, dst);
          std::size_t wrong = 0;
          for (std::size_t w = 0; w < words; ++w) {
            // Word w's tile, row and column; A's rows are lanes, B's are pairs.
            const std::size_t tile = w / kAmxTileWords, row = w % kAmxTileWords / 16, col = w % 16;
            const std::size_t lane = tile % 2 * 16 + (which == 0 ? row : col);
            const std::size_t pair = tile / 2 * kAmxPairsPerTile + (which == 0 ? col : row);
            const auto value = [&](std::size_t p) -> std::uint32_t {
              if (lane >= lanes || p >= kc) return 0;
              return src[static_cast<std::ptrdiff_t>(lane) * ls + static_cast<std::ptrdiff_t>(p) * ks];
            };
            wrong += dst[w] != (value(2 * pair) | value(2 * pair + 1) << 16);
          }
          check(wrong == 0, std::string(which == 0 ? "A" : "B") + " panel of " + std::to_string(lanes) +
                                " lanes, k " + std::to_string(kc) + (lane_major ? " lane-major: " : " k-major: ") +
                                std::to_string(wrong) + " of " + std::to_string(words) + " words wrong");
          std::free(dst);
        }
  // B's whole panels side by side, packed along its rows: each panel as
  // the layout says, and the gap left between panels untouched.
  for (std::size_t panels : {1, 3})
    for (std::size_t kc : {1, 2, 31, 33, 64, 95}) {
      const std::size_t width = panels * kAmxLanes;
      const auto ks = static_cast<std::ptrdiff_t>(width) + 5;
      const std::size_t span = (kc - 1) * static_cast<std::size_t>(ks) + width;
      std::uint16_t* src = fenced<std::uint16_t>(span);
      for (std::size_t i = 0; i < span; ++i) src[i] = static_cast<std::uint16_t>(g_rng() | 1);
      const std::size_t words = amx_panel_words(kc), stride = words + 64;
      auto* dst = static_cast<std::uint32_t*>(std::aligned_alloc(64, panels * stride * sizeof(std::uint32_t)));
      if (dst == nullptr) std::abort();
      std::fill(dst, dst + panels * stride, kSentinel);
      bf16gemm_amx_pack_b_rows(src, ks, panels, kc, dst, stride);
      std::size_t wrong = 0;
      for (std::size_t t = 0; t < panels; ++t)
        for (std::size_t w = 0; w < stride; ++w) {
          std::uint32_t expected = kSentinel;
          if (w < words) {
            const std::size_t tile = w / kAmxTileWords, col = w % 16;
            const std::size_t column = t * kAmxLanes + tile % 2 * 16 + col;
            const std::size_t pair = tile / 2 * kAmxPairsPerTile + w % kAmxTileWords / 16;
            const auto value = [&](std::size_t p) -> std::uint32_t {
              return p < kc ? src[static_cast<std::ptrdiff_t>(p) * ks + static_cast<std::ptrdiff_t>(column)] : 0;
            };
            expected = value(2 * pair) | value(2 * pair + 1) << 16;
          }
          wrong += dst[t * stride + w] != expected;
        }
      check(wrong == 0, std::to_string(panels) + " B panels along the rows, k " + std::to_string(kc) + ": " +
                            std::to_string(wrong) + " words wrong");
      std::free(dst);
    }
}
#endif

// C in pieces, as the pool splits it between threads, against C in one
// call: the same bits.
void test_splits() {
  const std::size_t m = 150, n = 140, k = 2100;  // two k blocks
  Product whole(m, n, k, kRowMajor, kRowMajor, kRowMajor, kReals);
  whole.run(0, 0, m, n);
  const struct {
    std::size_t rows, cols;
  } pieces[] = {{1, n}, {7, n}, {m, 5}, {33, 47}, {64, 64}, {m, 1}};
  for (const auto& piece : pieces) {
    Product parts(m, n, k, kRowMajor, kRowMajor, kRowMajor, kReals);
    std::memcpy(parts.a.data, whole.a.data, whole.a.span * sizeof(std::uint16_t));
    std::memcpy(parts.b.data, whole.b.data, whole.b.span * sizeof(std::uint16_t));
    for (std::size_t i = 0; i < m; i += piece.rows)
      for (std::size_t j = 0; j < n; j += piece.cols)
        parts.run(i, j, std::min(piece.rows, m - i), std::min(piece.cols, n - j));
    std::size_t differ = 0;
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < n; ++j) differ += bits_of(parts.c.at(i, j)) != bits_of(whole.c.at(i, j));
    check(differ == 0, "pieces of " + std::to_string(piece.rows) + "x" + std::to_string(piece.cols) +
                           ": " + std::to_string(differ) + " elements differ from one call");
  }
}

}  // namespace

int main() {
  if (!quarn::gemm::amx_bf16_usable()) {
    std::printf("skipped: no AMX-BF16 tile unit granted here\n");
    return quarn_test::report();
  }
#if defined(__x86_64__)
  test_packing();
#endif
  test_products();
  test_splits();
  return quarn_test::report();
}
