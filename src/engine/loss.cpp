// Softmax, log-softmax and the two losses. Each works on binary32 copies of
// its operands laid out as contiguous rows (the reduced axis last), so half
// formats are widened once, every formula runs in binary32 (sums in double),
// and each result is rounded once to the dtype.
#include <cmath>
#include <cstdint>
#include <limits>

#include "engine/convert.hpp"
#include "runtime/blocking.hpp"
#include "engine/copy.hpp"
#include "engine/elementwise/kernel_table.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

namespace {

// Elements of a view in binary32, row-major over the view's shape.
std::vector<float> f32_elements(const View& v) {
  const std::size_t n = numel(v.shape);
  const std::size_t w = dtype_size(v.dtype);
  Strides bytes(v.strides.size(), 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = v.strides[i] * static_cast<std::ptrdiff_t>(w);
  std::vector<float> out(n);
  if (v.dtype == DType::F32) {
    gather_row_major(v.data, v.shape, bytes.data(), w, out.data());
  } else {
    std::vector<std::uint16_t> raw(n);
    gather_row_major(v.data, v.shape, bytes.data(), w, raw.data());
    widen_to_f32(v.dtype, raw.data(), out.data(), n);
  }
  return out;
}

// A row-major storage of `dtype` and `shape` from binary32 values, each
// rounded once to the dtype.
Storage rounded_row_major(DType dtype, const Shape& shape, const float* values) {
  Storage out = Storage::allocate_row_major(dtype, shape);
  round_from_f32(dtype, values, out.mutable_data(), out.numel());
  return out;
}

// A storage's elements in binary32 as rows along `axis`: the other axes in
// their order, then `axis`.
struct Rows {
  std::vector<float> values;
  std::size_t count = 0;   // rows
  std::size_t length = 0;  // elements per row
  float* row(std::size_t r) { return values.data() + r * length; }
};

View moved_last(const Storage& s, std::size_t axis) {
  View v{s.dtype(), s.data(), {}, {}};
  for (std::size_t i = 0; i < s.ndim(); ++i) {
    if (i == axis) continue;
    v.shape.push_back(s.shape()[i]);
    v.strides.push_back(s.strides()[i]);
  }
  v.shape.push_back(s.shape()[axis]);
  v.strides.push_back(s.strides()[axis]);
  return v;
}

Rows rows_along(const Storage& s, std::size_t axis) {
  Rows r;
  r.length = s.shape()[axis];
  r.values = f32_elements(moved_last(s, axis));
  r.count = r.length == 0 ? 0 : r.values.size() / r.length;
  return r;
}

// A storage shaped like `like` holding `rows` (laid out as rows_along gave
// them), rounded once to like's dtype. Its memory order follows the rows; the
// strides put every element back at its own position.
Storage from_rows(const Storage& like, std::size_t axis, const Rows& rows) {
  View moved = moved_last(like, axis);
  Storage out = rounded_row_major(like.dtype(), moved.shape, rows.values.data());
  const Strides& moved_strides = out.strides();
  Strides strides(like.ndim(), 0);
  for (std::size_t i = 0, k = 0; i < like.ndim(); ++i) strides[i] = i == axis ? moved_strides.back() : moved_strides[k++];
  return out.relabel(like.shape(), std::move(strides));
}

// e^x over a contiguous run, through the vectorised element-wise kernel.
void exp_run(const float* in, float* out, std::size_t n) {
  elementwise::unary_kernel(elementwise::kExp, DType::F32)(reinterpret_cast<char*>(out),
                                                           reinterpret_cast<const char*>(in), 1, n);
}

// The row's maximum (NaN when any element is NaN, so that it propagates).
float row_max(const float* x, std::size_t n) {
  float m = -std::numeric_limits<float>::infinity();
  for (std::size_t j = 0; j < n; ++j)
    if (x[j] > m || x[j] != x[j]) m = x[j];
  return m;
}

// The row shifted by its maximum into `shifted`, e^shifted into `scratch`
// (both of the row's length), and the sum of e^shifted.
double shifted_exp_sum(const float* x, std::size_t n, float* shifted, float* scratch) {
  const float m = row_max(x, n);
  for (std::size_t j = 0; j < n; ++j) shifted[j] = x[j] - m;
  exp_run(shifted, scratch, n);
  double sum = 0.0;
  for (std::size_t j = 0; j < n; ++j) sum += scratch[j];
  return sum;
}

// log(sum(e^shifted)) of the row, as shifted_exp_sum leaves it.
float shifted_log_sum_exp(const float* x, std::size_t n, float* shifted, float* scratch) {
  return static_cast<float>(std::log(shifted_exp_sum(x, n, shifted, scratch)));
}

float one_element(const Storage& g) {
  std::vector<float> v = f32_elements(view_of(g));
  return v.empty() ? 0.0f : v[0];
}

Storage scalar_storage(DType dtype, float value) { return rounded_row_major(dtype, Shape{}, &value); }

}  // namespace

Storage log_softmax(const Storage& x, std::size_t axis) {
  LongWork guard(x.numel());
  Rows rows = rows_along(x, axis);
  std::vector<float> shifted(rows.length), scratch(rows.length);
  for (std::size_t r = 0; r < rows.count; ++r) {
    float* row = rows.row(r);
    const float lse = shifted_log_sum_exp(row, rows.length, shifted.data(), scratch.data());
    for (std::size_t j = 0; j < rows.length; ++j) row[j] = shifted[j] - lse;
  }
  return from_rows(x, axis, rows);
}

Storage softmax(const Storage& x, std::size_t axis) {
  LongWork guard(x.numel());
  Rows rows = rows_along(x, axis);
  std::vector<float> shifted(rows.length), scratch(rows.length);
  for (std::size_t r = 0; r < rows.count; ++r) {
    float* row = rows.row(r);
    const double sum = shifted_exp_sum(row, rows.length, shifted.data(), scratch.data());
    const float inverse = static_cast<float>(1.0 / sum);
    for (std::size_t j = 0; j < rows.length; ++j) row[j] = scratch[j] * inverse;
  }
  return from_rows(x, axis, rows);
}

Storage log_softmax_backward(const Storage& x, const Storage& g, std::size_t axis) {
  LongWork guard(x.numel());
  Rows xs = rows_along(x, axis);
  Rows gs = rows_along(g, axis);
  std::vector<float> shifted(xs.length), p(xs.length);
  for (std::size_t r = 0; r < xs.count; ++r) {
    const float lse = shifted_log_sum_exp(xs.row(r), xs.length, shifted.data(), p.data());
    float* grow = gs.row(r);
    double total = 0.0;
    for (std::size_t j = 0; j < xs.length; ++j) total += grow[j];
    const auto gsum = static_cast<float>(total);
    // softmax = e^(shifted - lse); the sum of g spreads back in proportion.
    for (std::size_t j = 0; j < xs.length; ++j) shifted[j] -= lse;
    exp_run(shifted.data(), p.data(), xs.length);
    for (std::size_t j = 0; j < xs.length; ++j) grow[j] -= p[j] * gsum;
  }
  return from_rows(x, axis, gs);
}

Storage softmax_backward(const Storage& y, const Storage& g, std::size_t axis) {
  LongWork guard(y.numel());
  Rows ys = rows_along(y, axis);
  Rows gs = rows_along(g, axis);
  for (std::size_t r = 0; r < ys.count; ++r) {
    const float* yrow = ys.row(r);
    float* grow = gs.row(r);
    double dot = 0.0;
    for (std::size_t j = 0; j < ys.length; ++j) dot += static_cast<double>(grow[j]) * yrow[j];
    const auto d = static_cast<float>(dot);
    for (std::size_t j = 0; j < ys.length; ++j) grow[j] = yrow[j] * (grow[j] - d);
  }
  return from_rows(y, axis, gs);
}

Storage cross_entropy(const Storage& logits, const std::vector<std::size_t>& targets) {
  LongWork guard(logits.numel());
  Rows rows = rows_along(logits, 1);
  std::vector<float> shifted(rows.length), scratch(rows.length);
  double total = 0.0;
  for (std::size_t r = 0; r < rows.count; ++r) {
    const float lse = shifted_log_sum_exp(rows.row(r), rows.length, shifted.data(), scratch.data());
    total += static_cast<double>(lse) - shifted[targets[r]];
  }
  const float mean = rows.count == 0 ? std::numeric_limits<float>::quiet_NaN()
                                     : static_cast<float>(total / static_cast<double>(rows.count));
  return scalar_storage(logits.dtype(), mean);
}

Storage cross_entropy_backward(const Storage& logits, const std::vector<std::size_t>& targets,
                               const Storage& g) {
  LongWork guard(logits.numel());
  Rows rows = rows_along(logits, 1);
  std::vector<float> shifted(rows.length), p(rows.length);
  const float scale = rows.count == 0 ? 0.0f : one_element(g) / static_cast<float>(rows.count);
  for (std::size_t r = 0; r < rows.count; ++r) {
    float* row = rows.row(r);
    const float lse = shifted_log_sum_exp(row, rows.length, shifted.data(), p.data());
    for (std::size_t j = 0; j < rows.length; ++j) shifted[j] -= lse;
    exp_run(shifted.data(), p.data(), rows.length);
    p[targets[r]] -= 1.0f;
    for (std::size_t j = 0; j < rows.length; ++j) row[j] = p[j] * scale;
  }
  return from_rows(logits, 1, rows);
}

Result<Storage> mse_loss(const Storage& pred, const Storage& target) {
  LongWork guard(pred.numel() + target.numel());
  QUARN_TRY(auto views, broadcast_operands(pred, target));
  const std::vector<float> p = f32_elements(views.first);
  const std::vector<float> t = f32_elements(views.second);
  double total = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double d = static_cast<double>(p[i]) - t[i];
    total += d * d;
  }
  const float mean = p.empty() ? std::numeric_limits<float>::quiet_NaN()
                               : static_cast<float>(total / static_cast<double>(p.size()));
  return scalar_storage(pred.dtype(), mean);
}

Result<std::pair<Storage, Storage>> mse_loss_backward(const Storage& pred, const Storage& target,
                                                      const Storage& g) {
  LongWork guard(pred.numel() + target.numel());
  QUARN_TRY(auto views, broadcast_operands(pred, target));
  const std::vector<float> p = f32_elements(views.first);
  const std::vector<float> t = f32_elements(views.second);
  const float scale = p.empty() ? 0.0f : 2.0f * one_element(g) / static_cast<float>(p.size());
  std::vector<float> left(p.size()), right(p.size());
  for (std::size_t i = 0; i < p.size(); ++i) {
    left[i] = (p[i] - t[i]) * scale;
    right[i] = -left[i];
  }
  const Shape& shape = views.first.shape;
  return std::pair<Storage, Storage>(rounded_row_major(pred.dtype(), shape, left.data()),
                                     rounded_row_major(pred.dtype(), shape, right.data()));
}

}  // namespace quarn::engine
