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
//    rounded once; a mean is exactly the binary32 sum of the widened input
//    divided by the count, rounded once.
// 3. Every kernel table the machine supports gives the same bits.
// 4. Shapes and messages: Bool, empty extents, no axes (a bit-exact copy).
//
// engine::reduce, every operation, over views of every layout the planner
// treats apart (row-major, axes reversed, negative strides, a broadcast
// axis of stride 0, extents 0 and 1, no axes at all):
//
// 5. Each result against a double-precision reference computed from the
//    group's elements in row-major order, within the operation's bound;
//    selections exactly: the first NaN, else the first extreme element,
//    bits and all (values drawn from a few integers and zeros of both signs
//    make ties the rule), and its index.
// 6. The gradient of max/min: g at the reference's position, +0 elsewhere.
// 7. Every table gives the same bits as the baseline.
// 8. Empty groups, the 2^24 index limit, infinities in logsumexp, ddof.
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
  if (cpu_features().has_avx512()) tables.push_back(&reduce_kernels_avx512());
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

  if (mask == 0) return;
  if (d == DType::F32) {
    Result<Storage> m = mean(a, axes_of(mask, nd), keepdims);
    bool same_mean = m.ok() && m->shape() == got.shape();
    for (std::size_t o = 0; same_mean && o < n_out; ++o) {
      const float f = static_cast<float>(read(d, got, static_cast<std::ptrdiff_t>(o))) /
                      static_cast<float>(per_output);
      std::uint32_t want;
      std::memcpy(&want, &f, 4);
      same_mean = raw(*m, o) == want;
    }
    check(same_mean, what + ": the mean differs from the binary32 sum over the count");
    return;
  }
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

  // The mean: that binary32 sum divided by the count, rounded once.
  Result<Storage> m = mean(a, axes_of(mask, nd), keepdims);
  same = w.ok() && m.ok() && m->shape() == got.shape();
  for (std::size_t o = 0; same && o < n_out; ++o) {
    const float f = static_cast<float>(read(DType::F32, w.value(), static_cast<std::ptrdiff_t>(o))) /
                    static_cast<float>(per_output);
    const std::uint16_t want = d == DType::F16 ? f32_to_f16(f) : f32_to_bf16(f);
    same = raw(*m, o) == want;
  }
  check(same, what + ": the mean differs from the rounded binary32 sum over the count");
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

// ---- 5 to 8: every operation over views ---------------------------------------------

const char* op_label(ReduceOp op) {
  static const char* const names[] = {"sum", "mean", "prod", "max", "min", "argmax", "argmin", "logsumexp", "var"};
  return names[static_cast<int>(op)];
}

constexpr ReduceOp kAllOps[] = {ReduceOp::kSum,    ReduceOp::kMean,   ReduceOp::kProd,      ReduceOp::kMax, ReduceOp::kMin,
                                ReduceOp::kArgmax, ReduceOp::kArgmin, ReduceOp::kLogSumExp, ReduceOp::kVar};

bool is_selection(ReduceOp op) {
  return op == ReduceOp::kMax || op == ReduceOp::kMin || op == ReduceOp::kArgmax || op == ReduceOp::kArgmin;
}

enum class Layout { kRowMajor, kReversed, kNegative, kBroadcast };
const char* layout_label(Layout l) {
  switch (l) {
    case Layout::kRowMajor:
      return "row-major";
    case Layout::kReversed:
      return "reversed axes";
    case Layout::kNegative:
      return "negative strides";
    case Layout::kBroadcast:
      return "broadcast axis";
  }
  return "";
}

// A view of logical `shape` in the given layout over a buffer it keeps
// alive, filled by value(multi-index) (once per stored element: a broadcast
// axis repeats index 0's values).
struct TestView {
  Storage buffer;
  View view;
};

template <class Value>
TestView make_view(DType d, const Shape& shape, Layout layout, Value&& value) {
  const std::size_t nd = shape.size();
  Shape physical = shape;
  std::vector<std::size_t> perm(nd);
  std::iota(perm.begin(), perm.end(), 0);
  if (layout == Layout::kReversed) std::reverse(perm.begin(), perm.end());
  // The broadcast axis: the first one longer than 1, stored once.
  std::size_t spread = nd;
  if (layout == Layout::kBroadcast)
    for (std::size_t i = 0; i < nd && spread == nd; ++i)
      if (shape[i] > 1) spread = i;
  if (spread < nd) physical[spread] = 1;
  Shape stored;
  for (std::size_t k : perm) stored.push_back(physical[k]);
  Storage buf = Storage::allocate_row_major(d, stored);
  const Strides st = row_major_strides(stored);
  Strides strides(nd, 0);
  for (std::size_t k = 0; k < nd; ++k) strides[perm[k]] = st[k];
  if (spread < nd) strides[spread] = 0;
  std::ptrdiff_t origin = 0;  // element offset of logical index 0
  if (layout == Layout::kNegative) {
    for (std::size_t i = 0; i < nd; i += 2) {
      if (shape[i] == 0) continue;
      origin += static_cast<std::ptrdiff_t>(shape[i] - 1) * strides[i];
      strides[i] = -strides[i];
    }
  }
  char* base = static_cast<char*>(buf.mutable_data()) + origin * static_cast<std::ptrdiff_t>(dtype_size(d));
  for_each_index(shape, [&](const std::vector<std::size_t>& idx) {
    if (spread < nd && idx[spread] != 0) return;
    const float v = value(idx);
    char* p = base + offset(idx, strides) * static_cast<std::ptrdiff_t>(dtype_size(d));
    if (d == DType::F32) {
      std::memcpy(p, &v, 4);
    } else {
      const std::uint16_t h = d == DType::F16 ? f32_to_f16(v) : f32_to_bf16(v);
      std::memcpy(p, &h, 2);
    }
  });
  return {buf, View{d, base, shape, strides}};
}

double view_value(const View& v, const std::vector<std::size_t>& idx) {
  return quarn_test::element_value(
      v.dtype, static_cast<const char*>(v.data) + offset(idx, v.strides) * static_cast<std::ptrdiff_t>(dtype_size(v.dtype)));
}

// The groups' elements, each in row-major order, groups row-major.
std::vector<std::vector<double>> groups_of(const View& v, unsigned mask) {
  const std::size_t nd = v.shape.size();
  std::size_t n_out = 1;
  for (std::size_t i = 0; i < nd; ++i)
    if (!(mask >> i & 1)) n_out *= v.shape[i];
  std::vector<std::vector<double>> groups(n_out);
  for_each_index(v.shape, [&](const std::vector<std::size_t>& idx) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < nd; ++i)
      if (!(mask >> i & 1)) o = o * v.shape[i] + idx[i];
    groups[o].push_back(view_value(v, idx));
  });
  return groups;
}

// The position of a group's first NaN, else of its first extreme element.
std::size_t reference_pick(const std::vector<double>& x, bool largest) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isnan(x[i])) return i;
    if (largest ? x[i] > x[at] : x[i] < x[at]) at = i;
  }
  return at;
}

// The reference value of a non-selecting operation, and the bound its
// binary32 result must meet before the rounding to the dtype.
struct Reference {
  double value;
  double bound;
};

Reference reference(ReduceOp op, const std::vector<double>& x, double ddof) {
  const double n = static_cast<double>(x.size());
  const double u = 0x1p-24;
  const double depth = 24 + std::ceil(std::log2(std::max(n, 1.0)));
  double sum = 0, mag = 0;
  for (double v : x) {
    sum += v;
    mag += std::fabs(v);
  }
  switch (op) {
    case ReduceOp::kSum:
      return {sum, depth * u * mag};
    case ReduceOp::kMean:
      return {sum / n, (depth * u * mag) / n + u * std::fabs(sum / n)};
    case ReduceOp::kProd: {
      double p = 1;
      for (double v : x) p *= v;
      // Each product rounds once; underflow to the smallest normal at worst.
      return {p, (n + 2) * u * std::fabs(p) + 0x1p-126};
    }
    case ReduceOp::kLogSumExp: {
      if (x.empty()) return {-INFINITY, 0};
      double m = x[0];
      for (double v : x) m = std::isnan(v) || v > m ? v : m;
      if (!std::isfinite(m)) return {m, 0};
      double s = 0;
      for (double v : x) s += std::exp(v - m);
      const double r = std::log(s) + m;
      // exp to a few ulp, the pairwise sum, the logarithm and the last add.
      return {r, (depth + 8) * u + u * std::fabs(std::log(s)) + 2 * u * std::fabs(r) + 4 * u * std::fabs(m)};
    }
    case ReduceOp::kVar: {
      const double mean = sum / n;
      double q = 0;
      for (double v : x) q += (v - mean) * (v - mean);
      const double div = std::max(n - ddof, 0.0);
      const double mean_err = (depth * u * mag) / n + u * std::fabs(mean);
      return {q / div, ((depth + 4) * u * q + n * mean_err * mean_err + 4 * mean_err * std::sqrt(n * q)) / div +
                           u * q / div};
    }
    default:
      return {0, 0};
  }
}

std::string view_label(const View& v, Layout l, unsigned mask, bool keepdims) {
  std::string s = std::string(dtype_name(v.dtype)) + " " + layout_label(l) + " shape " + format_shape(v.shape) +
                  " strides [";
  for (std::size_t i = 0; i < v.strides.size(); ++i) s += (i ? ", " : "") + std::to_string(v.strides[i]);
  return s + "] axes mask " + std::to_string(mask) + (keepdims ? " keepdims" : "");
}

bool same_bits(const Storage& x, const Storage& y) {
  return x.dtype() == y.dtype() && x.shape() == y.shape() &&
         (x.nbytes() == 0 || std::memcmp(x.data(), y.data(), x.nbytes()) == 0);
}

void check_op(ReduceOp op, const View& v, Layout l, unsigned mask, bool keepdims, double ddof) {
  const DType d = v.dtype;
  const std::size_t nd = v.shape.size();
  const std::string what = std::string(op_label(op)) + " " + view_label(v, l, mask, keepdims);
  const Shape axes = axes_of(mask, nd);
  const std::vector<const ReduceKernels*> tables = supported_tables();
  Result<Storage> r = reduce_with(*tables[0], op, v, axes, keepdims, ddof);
  std::size_t count = 1;
  Shape want_shape;
  for (std::size_t i = 0; i < nd; ++i) {
    if (mask >> i & 1) count *= v.shape[i];
    if (!(mask >> i & 1) || keepdims) want_shape.push_back(mask >> i & 1 ? 1 : v.shape[i]);
  }
  if (is_selection(op) && count == 0) {
    const std::string name = op == ReduceOp::kArgmax ? "argmax" : "argmin";
    const std::string want = op == ReduceOp::kMax   ? "zero-size array to reduction operation maximum which has no identity"
                             : op == ReduceOp::kMin ? "zero-size array to reduction operation minimum which has no identity"
                                                    : "attempt to get " + name + " of an empty sequence";
    check(!r.ok() && r.error().kind == ErrorKind::kValueError && r.error().message == want,
          what + ": an empty group is refused as NumPy refuses it");
    return;
  }
  if (!r.ok()) {
    check(false, what + ": " + r.error().message);
    return;
  }
  const bool argument = op == ReduceOp::kArgmax || op == ReduceOp::kArgmin;
  const DType out_d = argument ? DType::F32 : d;
  check(r->dtype() == out_d && r->shape() == want_shape && r->is_row_major(), what + ": result shape or layout");
  if (r->shape() != want_shape) return;

  const std::vector<std::vector<double>> groups = groups_of(v, mask);
  const double ud = unit_roundoff(d);
  int bad = 0;
  std::string first_bad;
  for (std::size_t o = 0; o < groups.size(); ++o) {
    const std::vector<double>& x = groups[o];
    const double got = read(out_d, *r, static_cast<std::ptrdiff_t>(o));
    bool ok;
    if (is_selection(op)) {
      const std::size_t k = reference_pick(x, op == ReduceOp::kMax || op == ReduceOp::kArgmax);
      if (argument) {
        ok = got == static_cast<double>(k);
      } else {
        // The element itself: NaN for NaN, the sign of a zero kept.
        ok = std::isnan(x[k]) ? std::isnan(got) : got == x[k] && std::signbit(got) == std::signbit(x[k]);
      }
    } else {
      const Reference ref = reference(op, x, ddof);
      if (std::isnan(ref.value) || std::isinf(ref.value)) {
        ok = std::isnan(ref.value) ? std::isnan(got) : got == ref.value;
      } else {
        // Plus the spacing of the dtype's subnormals, where the rounding
        // is absolute.
        const double tiny = d == DType::F16 ? 0x1p-24 : d == DType::BF16 ? 0x1p-133 : 0x1p-149;
        const double bound = ref.bound + ud * (std::fabs(ref.value) + ref.bound) + tiny;
        ok = std::fabs(got - ref.value) <= bound;
      }
    }
    if (!ok) {
      if (bad++ == 0) first_bad = "result " + std::to_string(o) + " is " + std::to_string(got);
    }
  }
  check(bad == 0, what + ": " + std::to_string(bad) + " results wrong, first " + first_bad);

  for (std::size_t t = 1; t < tables.size(); ++t) {
    Result<Storage> other = reduce_with(*tables[t], op, v, axes, keepdims, ddof);
    check(other.ok() && same_bits(*other, *r), what + ": the " + tables[t]->name + " kernels differ");
  }

  if (op != ReduceOp::kMax && op != ReduceOp::kMin) return;
  // The gradient: distinct values of g at each group's pick, g stored with
  // its axes reversed, so that it is read by its strides. want_g[o] holds
  // the bits of g's element at row-major position o.
  std::vector<std::size_t> reversed(want_shape.size());
  std::iota(reversed.rbegin(), reversed.rend(), 0);
  std::size_t next = 0;
  const Storage g = make(d, want_shape, reversed, [&](const auto&) { return static_cast<float>(next++ % 200) + 1.0f; });
  std::vector<std::uint32_t> want_g;
  for_each_index(want_shape, [&](const std::vector<std::size_t>& idx) {
    want_g.push_back(raw(g, static_cast<std::size_t>(offset(idx, g.strides()))));
  });
  for (const ReduceKernels* table : tables) {
    Result<Storage> b = reduce_select_backward_with(*table, op, v, g, axes, keepdims);
    if (!b.ok()) {
      check(false, what + ": gradient: " + b.error().message);
      return;
    }
    // The reference: walk the input row-major, counting each group's
    // elements, and expect g where the count reaches the pick.
    std::vector<std::size_t> seen(groups.size(), 0);
    std::vector<std::size_t> picks(groups.size());
    for (std::size_t o = 0; o < groups.size(); ++o) picks[o] = reference_pick(groups[o], op == ReduceOp::kMax);
    bool ok = b->shape() == v.shape && b->is_row_major() && b->dtype() == d;
    std::size_t flat = 0;
    for_each_index(v.shape, [&](const std::vector<std::size_t>& idx) {
      std::size_t o = 0;
      for (std::size_t i = 0; i < nd; ++i)
        if (!(mask >> i & 1)) o = o * v.shape[i] + idx[i];
      const std::uint32_t want = seen[o]++ == picks[o] ? want_g[o] : 0;
      if (ok) ok = raw(*b, flat) == want;
      ++flat;
    });
    check(ok, what + ": gradient with the " + table->name + " kernels");
  }
}

void test_operations() {
  const std::vector<Shape> shapes = {
      {}, {1}, {9}, {0}, {3, 0}, {0, 5}, {1100}, {2, 3}, {1, 7}, {33, 65}, {4, 1, 300}, {70, 2, 40}, {3, 4, 5, 2},
  };
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const float ties[] = {-2.0f, -1.0f, -0.0f, 0.0f, 1.0f, 2.0f};
  for (DType d : {DType::F32, DType::F16, DType::BF16}) {
    for (const Shape& shape : shapes) {
      const std::size_t nd = shape.size();
      for (Layout l : {Layout::kRowMajor, Layout::kReversed, Layout::kNegative, Layout::kBroadcast}) {
        if (nd < 2 && l == Layout::kReversed) continue;
        // Uniform values; values near 1 for products; few values with ties
        // and the odd NaN for the selections.
        const TestView plain = make_view(d, shape, l, [&](const auto&) { return uniform(rng); });
        const TestView near_one = make_view(d, shape, l, [&](const auto&) {
          const float m = 1.0f + uniform(rng) / 256;
          return rng() % 2 ? m : -m;
        });
        const TestView tied = make_view(d, shape, l, [&](const auto&) {
          return rng() % 64 == 0 ? std::nanf("") : ties[rng() % 6];
        });
        for (unsigned mask = 0; mask < (1u << nd); ++mask) {
          for (bool keepdims : {false, true}) {
            for (ReduceOp op : kAllOps) {
              const View& v = op == ReduceOp::kProd ? near_one.view : plain.view;
              check_op(op, v, l, mask, keepdims, 0);
              if (is_selection(op)) check_op(op, tied.view, l, mask, keepdims, 0);
            }
            check_op(ReduceOp::kVar, plain.view, l, mask, keepdims, 1);
            check_op(ReduceOp::kLogSumExp, tied.view, l, mask, keepdims, 0);
          }
        }
      }
    }
  }
  // Long groups: several blocks of the element-wise scan, the extreme (and
  // a tie with it) in a later block; logits far beyond exp's range.
  for (DType d : {DType::F32, DType::BF16}) {
    for (std::size_t n : {std::size_t{600}, std::size_t{5000}}) {
      for (Layout l : {Layout::kRowMajor, Layout::kReversed}) {
        const TestView big = make_view(d, Shape{n, 3}, l, [&](const std::vector<std::size_t>& idx) {
          if (idx[0] == n - 7 || idx[0] == n - 3) return 900.0f;
          return uniform(rng) * 100 + 300;
        });
        for (unsigned mask : {1u, 3u})
          for (ReduceOp op : kAllOps)
            if (op != ReduceOp::kProd) check_op(op, big.view, l, mask, false, 0);
      }
    }
  }
}

void test_reduce_edges() {
  // logsumexp with infinities: all -inf gives -inf, any +inf gives +inf.
  const float inf = INFINITY;
  const TestView t = make_view(DType::F32, Shape{3, 4}, Layout::kRowMajor, [&](const std::vector<std::size_t>& idx) {
    if (idx[0] == 0) return -inf;
    if (idx[0] == 1) return idx[1] == 2 ? inf : -inf;
    return 1000.0f + static_cast<float>(idx[1]);
  });
  Result<Storage> lse = reduce_with(reduce_kernels(), ReduceOp::kLogSumExp, t.view, Shape{1}, false);
  check(lse.ok() && read(DType::F32, *lse, 0) == -inf && read(DType::F32, *lse, 1) == inf &&
            std::fabs(read(DType::F32, *lse, 2) - (1003 + std::log1p(std::exp(-1.0) + std::exp(-2.0) + std::exp(-3.0)))) <
                1e-3,
        "logsumexp of -inf rows, a +inf row and large logits");

  // var with ddof at or beyond the count: 0/0 is NaN, a positive sum over
  // zero is inf, as NumPy's.
  const TestView pair = make_view(DType::F32, Shape{2, 2}, Layout::kRowMajor,
                                  [](const std::vector<std::size_t>& idx) { return idx[0] == 0 ? 5.0f : static_cast<float>(idx[1]); });
  for (double ddof : {2.0, 3.0}) {
    Result<Storage> v = reduce_with(reduce_kernels(), ReduceOp::kVar, pair.view, Shape{1}, false, ddof);
    check(v.ok() && std::isnan(read(DType::F32, *v, 0)) && read(DType::F32, *v, 1) == inf,
          "var with ddof " + std::to_string(ddof));
  }

  // argmax over more than 2^24 elements: a broadcast view needs no memory.
  float one = 1.0f;
  const View huge{DType::F32, &one, Shape{(std::size_t{1} << 24) + 1}, Strides{0}};
  for (ReduceOp op : {ReduceOp::kArgmax, ReduceOp::kArgmin}) {
    Result<Storage> r = reduce_with(reduce_kernels(), op, huge, Shape{0}, false);
    check(!r.ok() && r.error().kind == ErrorKind::kValueError, std::string(op_label(op)) + " beyond 2^24 elements");
  }
  const View exact{DType::F32, &one, Shape{std::size_t{1} << 24}, Strides{0}};
  Result<Storage> r = reduce_with(reduce_kernels(), ReduceOp::kArgmax, exact, Shape{0}, false);
  check(r.ok() && read(DType::F32, *r, 0) == 0, "argmax over 2^24 equal elements is 0");

  const Storage flags = Storage::allocate_row_major(DType::Bool, Shape{2, 2});
  for (ReduceOp op : kAllOps) {
    Result<Storage> b = reduce(op, flags, Shape{0}, false);
    check(!b.ok() && b.error().kind == ErrorKind::kTypeError &&
              b.error().message == std::string("Tensor Dtype not supported for this operation: ") + op_label(op),
          std::string(op_label(op)) + ": Bool is refused with a TypeError");
  }
}

// ---- Timing -------------------------------------------------------------------------

double median_ns_per_element(const ReduceKernels& table, ReduceOp op, const Storage& a, const Shape& axes) {
  std::vector<double> times;
  for (int rep = 0; rep < 15; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    Result<Storage> r = op == ReduceOp::kSum ? sum_with(table, a, axes, false)
                                             : reduce_with(table, op, view_of(a), axes, false);
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
                    median_ns_per_element(*table, ReduceOp::kSum, flat.relabel(c.shape, c.strides), c.axes));
      }
    }
    // The other operations on the three targets' layouts, binary32.
    Storage flat = Storage::allocate_row_major(DType::F32, Shape{std::size_t{1} << 22});
    for (std::size_t i = 0; i < flat.numel(); ++i) write(DType::F32, flat, i, uniform(rng));
    for (ReduceOp op : {ReduceOp::kMax, ReduceOp::kArgmax, ReduceOp::kLogSumExp, ReduceOp::kVar, ReduceOp::kProd}) {
      for (std::size_t k = 0; k < 3; ++k) {
        const Case& c = cases[k];
        std::printf("  F32   %-9s %-22s %6.3f\n", op_label(op), c.label,
                    median_ns_per_element(*table, op, flat.relabel(c.shape, c.strides), c.axes));
      }
    }
  }
}

}  // namespace

// `--time OP AXIS`: the median seconds of OP over AXIS of a 2048 x 2048
// binary32 array, with the table for this processor; benchmarks/
// bench_reduce.py uses it for operations the Python build does not offer
// yet.
int time_one(const char* name, const char* axis) {
  ReduceOp op = ReduceOp::kSum;
  bool found = false;
  for (ReduceOp o : kAllOps)
    if (std::strcmp(op_label(o), name) == 0) op = o, found = true;
  if (!found || (std::strcmp(axis, "0") != 0 && std::strcmp(axis, "1") != 0)) {
    std::fprintf(stderr, "unknown operation or axis\n");
    return 2;
  }
  std::mt19937 rng(1);
  // As bench_reduce.py: logits above 88 for logsumexp.
  const bool logits = op == ReduceOp::kLogSumExp;
  std::normal_distribution<float> normal(logits ? 100.0f : 0.0f, logits ? 4.0f : 1.0f);
  Storage a = Storage::allocate_row_major(DType::F32, Shape{2048, 2048});
  for (std::size_t i = 0; i < a.numel(); ++i) write(DType::F32, a, i, normal(rng));
  const Shape axes{static_cast<std::size_t>(axis[0] - '0')};
  std::vector<double> times;
  for (int rep = 0; rep < 31; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    Result<Storage> r = reduce(op, a, axes, false);
    const auto t1 = std::chrono::steady_clock::now();
    if (!r.ok()) return 1;
    times.push_back(std::chrono::duration<double>(t1 - t0).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("%.9f\n", times[times.size() / 2]);
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) {
    bench();
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "--time") == 0) return time_one(argv[2], argv[3]);
  test_values();
  test_edges();
  test_operations();
  test_reduce_edges();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
