// engine::sum over every subset of axes, with and without keepdims, on
// row-major and permuted layouts of every numeric dtype:
//
// 1. Each result element against a double-precision sum of the same elements,
//    within the error bound of blocked pairwise summation in binary32
//    ((24 + log2 n) * 2^-24 * sum|x|) plus one rounding to the dtype. One
//    input pattern puts 1 first in every summed set and 2^-25 everywhere
//    else: a sum that adds row after row (or element after element) into one
//    binary32 accumulator loses every small term, far outside the bound.
// 2. 16-bit inputs give exactly the binary32 sum of the widened input,
//    rounded once.
// 3. Every kernel table the machine supports gives the same bits.
// 4. Shapes and messages: Bool, empty extents, no axes (a bit-exact copy).
//
// `test_reduce --bench` prints nanoseconds per element instead, with every
// table: the sum of 4M elements and of each axis of a 2048 x 2048 array in
// every dtype, and other layouts in binary32.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/convert.hpp"
#include "engine/cpu_features.hpp"
#include "engine/storage_ops.hpp"
#include "engine/reduce_isa.hpp"

using namespace quarn;
using namespace quarn::engine;

namespace {

using quarn_test::check;
using quarn_test::g_failed;
using quarn_test::g_passed;

std::string describe(DType d, const Shape& shape, const Strides& strides, unsigned mask, bool keepdims) {
  std::string s = std::string(dtype_name(d)) + " shape " + format_shape(shape) + " strides [";
  for (std::size_t i = 0; i < strides.size(); ++i) s += (i ? ", " : "") + std::to_string(strides[i]);
  return s + "] axes mask " + std::to_string(mask) + (keepdims ? " keepdims" : "");
}

double read(DType d, const Storage& s, std::ptrdiff_t element) {
  return quarn_test::element_value(
      d, static_cast<const char*>(s.data()) + element * static_cast<std::ptrdiff_t>(s.itemsize()));
}

std::uint32_t raw(const Storage& s, std::size_t i) {
  std::uint32_t v = 0;
  std::memcpy(&v, static_cast<const char*>(s.data()) + i * s.itemsize(), s.itemsize());
  return v;
}

void write(DType d, Storage& s, std::size_t i, float v) {
  char* p = static_cast<char*>(s.mutable_data()) + i * s.itemsize();
  if (d == DType::F32) {
    std::memcpy(p, &v, 4);
    return;
  }
  const std::uint16_t h = d == DType::F16 ? f32_to_f16(v) : f32_to_bf16(v);
  std::memcpy(p, &h, 2);
}

// Calls body(multi-index) over `shape` in row-major order.
template <class Body>
void for_each_index(const Shape& shape, Body&& body) {
  if (numel(shape) == 0) return;
  std::vector<std::size_t> idx(shape.size(), 0);
  for (;;) {
    body(idx);
    std::size_t k = shape.size();
    for (;;) {
      if (k == 0) return;
      --k;
      if (++idx[k] < shape[k]) break;
      idx[k] = 0;
    }
  }
}

std::ptrdiff_t offset(const std::vector<std::size_t>& idx, const Strides& strides) {
  std::ptrdiff_t o = 0;
  for (std::size_t k = 0; k < idx.size(); ++k) o += static_cast<std::ptrdiff_t>(idx[k]) * strides[k];
  return o;
}

// A storage of logical `shape` whose memory order of axes is `perm` (perm[0]
// outermost), filled by value(multi-index).
template <class Value>
Storage make(DType d, const Shape& shape, const std::vector<std::size_t>& perm, Value&& value) {
  Shape physical;
  for (std::size_t p : perm) physical.push_back(shape[p]);
  Storage s = Storage::allocate_row_major(d, physical);
  const Strides phys = row_major_strides(physical);
  Strides logical(shape.size(), 0);
  for (std::size_t k = 0; k < perm.size(); ++k) logical[perm[k]] = phys[k];
  s = s.relabel(shape, logical);
  for_each_index(shape, [&](const std::vector<std::size_t>& idx) {
    write(d, s, static_cast<std::size_t>(offset(idx, logical)), value(idx));
  });
  return s;
}

Shape axes_of(unsigned mask, std::size_t nd) {
  Shape axes;
  for (std::size_t i = 0; i < nd; ++i)
    if (mask >> i & 1) axes.push_back(i);
  return axes;
}

std::vector<const ReduceKernels*> supported_tables() {
  std::vector<const ReduceKernels*> tables{&reduce_kernels_baseline()};
#if defined(__x86_64__)
  if (cpu_features().has_avx2_fma()) tables.push_back(&reduce_kernels_avx2());
#endif
  return tables;
}

double unit_roundoff(DType d) { return d == DType::F32 ? 0x1p-24 : d == DType::F16 ? 0x1p-11 : 0x1p-8; }

// ---- 1 to 3: values against a double reference, halves against binary32, tables ----

void check_sum(const Storage& a, unsigned mask, bool keepdims) {
  const DType d = a.dtype();
  const std::size_t nd = a.ndim();
  const std::string what = describe(d, a.shape(), a.strides(), mask, keepdims);
  Result<Storage> r = sum(a, axes_of(mask, nd), keepdims);
  if (!r.ok()) {
    check(false, what + ": " + r.error().message);
    return;
  }
  const Storage& got = r.value();
  Shape want_shape;
  Shape kept_shape;
  for (std::size_t i = 0; i < nd; ++i) {
    const bool summed = mask >> i & 1;
    if (!summed) kept_shape.push_back(a.shape()[i]);
    if (!summed || keepdims) want_shape.push_back(summed ? 1 : a.shape()[i]);
  }
  if (mask == 0) want_shape = a.shape();
  check(got.dtype() == d && got.shape() == want_shape && got.is_row_major(), what + ": result shape or layout");
  if (got.shape() != want_shape) return;

  // Reference sums and sums of magnitudes, by row-major position among the
  // kept axes.
  const std::size_t n_out = numel(kept_shape);
  std::vector<double> exact(n_out, 0.0), magnitude(n_out, 0.0);
  std::size_t per_output = 1;
  for (std::size_t i = 0; i < nd; ++i)
    if (mask >> i & 1) per_output *= a.shape()[i];
  for_each_index(a.shape(), [&](const std::vector<std::size_t>& idx) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < nd; ++i)
      if (!(mask >> i & 1)) o = o * a.shape()[i] + idx[i];
    const double v = read(d, a, offset(idx, a.strides()));
    exact[o] += v;
    magnitude[o] += std::fabs(v);
  });
  const double depth = 24 + std::ceil(std::log2(static_cast<double>(std::max<std::size_t>(per_output, 1))));
  const double u = unit_roundoff(d);
  int bad = 0;
  double worst = 0;
  for (std::size_t o = 0; o < n_out; ++o) {
    const double v = read(d, got, static_cast<std::ptrdiff_t>(o));
    const double f32_bound = depth * 0x1p-24 * magnitude[o];
    const double bound = mask == 0 ? 0.0 : f32_bound + u * (std::fabs(exact[o]) + f32_bound) + 0x1p-24;
    const double err = std::fabs(v - exact[o]);
    if (!(err <= bound)) {
      ++bad;
      worst = std::max(worst, err / (bound > 0 ? bound : 1));
    }
  }
  check(bad == 0, what + ": " + std::to_string(bad) + " results outside the bound, worst " +
                      std::to_string(worst) + " times it");

  for (const ReduceKernels* table : supported_tables()) {
    Result<Storage> t = sum_with(*table, a, axes_of(mask, nd), keepdims);
    const bool same = t.ok() && t->shape() == got.shape() &&
                      (got.nbytes() == 0 || std::memcmp(t->data(), got.data(), got.nbytes()) == 0);
    check(same, what + ": the " + table->name + " kernels differ");
  }

  if (d == DType::F32 || mask == 0) return;
  // The same elements, widened, in the same layout.
  Storage wide = Storage::allocate(DType::F32, a.shape(), a.strides());
  for_each_index(a.shape(), [&](const std::vector<std::size_t>& idx) {
    const auto e = static_cast<std::size_t>(offset(idx, a.strides()));
    write(DType::F32, wide, e, static_cast<float>(read(d, a, static_cast<std::ptrdiff_t>(e))));
  });
  Result<Storage> w = sum(wide, axes_of(mask, nd), keepdims);
  bool same = w.ok();
  for (std::size_t o = 0; same && o < n_out; ++o) {
    const float f = static_cast<float>(read(DType::F32, w.value(), static_cast<std::ptrdiff_t>(o)));
    const std::uint16_t want = d == DType::F16 ? f32_to_f16(f) : f32_to_bf16(f);
    same = raw(got, o) == want;
  }
  check(same, what + ": differs from the rounded binary32 sum");
}

void test_values() {
  const std::vector<Shape> shapes = {
      {}, {1}, {7}, {4100}, {2, 3}, {1, 9}, {33, 65}, {4100, 3}, {3, 4100},
      {2, 3, 4, 5}, {5, 1, 300}, {129, 2, 40}, {6, 700, 1, 2},
  };
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (DType d : {DType::F32, DType::F16, DType::BF16}) {
    for (const Shape& shape : shapes) {
      const std::size_t nd = shape.size();
      // Row-major, reversed axes, and a random order.
      std::vector<std::vector<std::size_t>> perms(1, std::vector<std::size_t>(nd));
      std::iota(perms[0].begin(), perms[0].end(), 0);
      if (nd >= 2) {
        perms.emplace_back(perms[0].rbegin(), perms[0].rend());
        perms.push_back(perms[0]);
        std::shuffle(perms.back().begin(), perms.back().end(), rng);
      }
      for (const auto& perm : perms) {
        const Storage random = make(d, shape, perm, [&](const std::vector<std::size_t>&) { return uniform(rng); });
        for (unsigned mask = 0; mask < (1u << nd); ++mask) {
          for (bool keepdims : {false, true}) {
            check_sum(random, mask, keepdims);
            if (d != DType::F32 || mask == 0) continue;
            // 1 first in every summed set, 2^-25 elsewhere.
            const Storage skewed = make(d, shape, perm, [&](const std::vector<std::size_t>& idx) {
              for (std::size_t i = 0; i < nd; ++i)
                if ((mask >> i & 1) && idx[i] != 0) return 0x1p-25f;
              return 1.0f;
            });
            check_sum(skewed, mask, keepdims);
          }
        }
      }
    }
  }
}

// ---- 4: shapes, messages, special values --------------------------------------

void test_edges() {
  for (DType d : {DType::F32, DType::F16, DType::BF16}) {
    // Empty extents: summed ones give zeros, kept ones an empty result.
    const Storage empty = make(d, Shape{3, 0, 2}, {0, 1, 2}, [](const auto&) { return 1.0f; });
    Result<Storage> z = sum(empty, Shape{1}, false);
    bool zeros = z.ok() && z->shape() == Shape{3, 2};
    for (std::size_t i = 0; zeros && i < z->numel(); ++i) zeros = raw(*z, i) == 0;
    check(zeros, std::string(dtype_name(d)) + ": sum over an empty extent is +0");
    Result<Storage> e = sum(empty, Shape{0, 2}, true);
    check(e.ok() && e->shape() == Shape{1, 0, 1}, "an empty kept extent gives an empty result");

    // No axes: the same values, bit for bit, row-major, NaN payloads kept.
    std::mt19937 rng(3);
    const Storage t = make(d, Shape{5, 7}, {1, 0}, [&](const std::vector<std::size_t>& idx) {
      return idx[0] == 2 ? std::nanf("") : static_cast<float>(rng() % 100) - 50.0f;
    });
    Result<Storage> c = sum(t, Shape{}, false);
    bool same = c.ok() && c->shape() == t.shape() && c->is_row_major();
    for_each_index(t.shape(), [&](const std::vector<std::size_t>& idx) {
      if (same)
        same = raw(*c, idx[0] * 7 + idx[1]) == raw(t, static_cast<std::size_t>(offset(idx, t.strides())));
    });
    check(same, std::string(dtype_name(d)) + ": no axes copies the elements");

    // NaN and infinities propagate through every path; negative zeros stay.
    const Storage special = make(d, Shape{40, 3}, {0, 1}, [](const std::vector<std::size_t>& idx) {
      if (idx[1] == 0) return idx[0] == 17 ? std::nanf("") : 1.0f;
      if (idx[1] == 1) return idx[0] % 2 ? INFINITY : -INFINITY;
      return -0.0f;
    });
    for (std::size_t axis : {0, 1}) {
      Result<Storage> s = sum(special, Shape{axis}, false);
      bool ok = s.ok();
      if (ok && axis == 0) {
        ok = std::isnan(read(d, *s, 0)) && std::isnan(read(d, *s, 1)) && read(d, *s, 2) == 0 &&
             std::signbit(read(d, *s, 2));
      }
      if (ok && axis == 1)
        ok = std::isnan(read(d, *s, 17)) && read(d, *s, 0) == -INFINITY && read(d, *s, 1) == INFINITY;
      check(ok, std::string(dtype_name(d)) + ": NaN, infinities and -0 along axis " + std::to_string(axis));
    }
  }
  const Storage flags = Storage::allocate_row_major(DType::Bool, Shape{2, 2});
  Result<Storage> b = sum(flags, Shape{0}, false);
  check(!b.ok() && b.error().kind == ErrorKind::kTypeError &&
            b.error().message == "Tensor Dtype not supported for this operation: sum",
        "Bool is refused with a TypeError");
}

// ---- Timing -------------------------------------------------------------------------

double median_ns_per_element(const ReduceKernels& table, const Storage& a, const Shape& axes) {
  std::vector<double> times;
  for (int rep = 0; rep < 15; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    Result<Storage> r = sum_with(table, a, axes, false);
    const auto t1 = std::chrono::steady_clock::now();
    if (!r.ok()) return -1;
    times.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(a.numel()));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void bench() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  struct Case {
    const char* label;
    Shape shape;
    Strides strides;
    Shape axes;
  };
  // The three targets first, then layouts that they do not reach.
  const Case cases[] = {
      {"sum of 4M elements", {1 << 22}, {1}, {0}},
      {"2048 x 2048, axis 0", {2048, 2048}, {2048, 1}, {0}},
      {"2048 x 2048, axis 1", {2048, 2048}, {2048, 1}, {1}},
      {"transposed 2048 x 2048, axis 0", {2048, 2048}, {1, 2048}, {0}},
      {"transposed 2048 x 2048, axis 1", {2048, 2048}, {1, 2048}, {1}},
      {"[1M, 4], axis 0", {1 << 20, 4}, {4, 1}, {0}},
      {"[1M, 4], axis 1", {1 << 20, 4}, {4, 1}, {1}},
      {"[4, 1M], axis 0", {4, 1 << 20}, {1 << 20, 1}, {0}},
      {"[64, 256, 256], axes 0 and 2", {64, 256, 256}, {65536, 256, 1}, {0, 2}},
      {"[64, 256, 256], axes 0 and 1", {64, 256, 256}, {65536, 256, 1}, {0, 1}},
  };
  for (const ReduceKernels* table : supported_tables()) {
    std::printf("%s kernels, ns per element\n", table->name);
    for (DType d : {DType::F32, DType::F16, DType::BF16}) {
      Storage flat = Storage::allocate_row_major(d, Shape{std::size_t{1} << 22});
      for (std::size_t i = 0; i < flat.numel(); ++i) write(d, flat, i, uniform(rng));
      for (const Case& c : cases) {
        if (d != DType::F32 && &c - cases >= 3) break;
        std::printf("  %-5s %-32s %6.3f\n", dtype_name(d).data(), c.label,
                    median_ns_per_element(*table, flat.relabel(c.shape, c.strides), c.axes));
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) {
    bench();
    return 0;
  }
  test_values();
  test_edges();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
