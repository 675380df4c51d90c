// Standard deviation, any and all, and the gradients of prod, var and std.
// Each reads the input as [groups, count] in binary32 (kept axes first,
// reduced axes last, so that a group is one contiguous run).
#include <cmath>
#include <cstring>

#include "engine/f32_layout.hpp"
#include "engine/nn_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::engine {

namespace {

Shape result_shape(const Shape& shape, const Shape& axes, bool keepdims) {
  std::vector<bool> reduced(shape.size(), false);
  for (std::size_t a : axes) reduced[a] = true;
  Shape out;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (!reduced[i]) out.push_back(shape[i]);
    else if (keepdims) out.push_back(1);
  }
  return out;
}

std::size_t group_count(const Shape& shape, const Shape& axes) {
  std::size_t n = 1;
  for (std::size_t a : axes) n *= shape[a];
  return n;
}

}  // namespace

Result<Storage> standard_deviation(const Storage& a, const Shape& axes, bool keepdims, double ddof) {
  LongWork guard(a.numel());
  // The variance stays in binary32 (a binary32 operand gives a binary32
  // result), so the square root rounds once to the dtype at the end.
  QUARN_TRY(Storage var, reduce(ReduceOp::kVar, widened_f32(a), axes, keepdims, ddof));
  std::vector<float> v = f32_of(var);
  for (float& x : v) x = std::sqrt(x);
  return rounded_storage(a.dtype(), var.shape(), v.data());
}

Storage any_all(const Storage& a, const Shape& axes, bool keepdims, bool all) {
  LongWork guard(a.numel());
  const std::vector<std::size_t> order = kept_then_reduced(a.ndim(), axes);
  const View v = permuted(view_of(a), order);
  const std::size_t count = group_count(a.shape(), axes);
  Storage out = Storage::allocate_row_major(DType::Bool, result_shape(a.shape(), axes, keepdims));
  auto* dst = static_cast<bool*>(out.mutable_data());
  const std::size_t groups = out.numel();
  std::vector<std::uint8_t> nonzero(numel(v.shape));
  if (a.dtype() == DType::Bool) {
    std::vector<std::ptrdiff_t> bytes(v.strides.begin(), v.strides.end());
    gather_row_major(v.data, v.shape, bytes.data(), 1, nonzero.data());
  } else {
    const std::vector<float> x = f32_of(v);
    for (std::size_t i = 0; i < x.size(); ++i) nonzero[i] = x[i] != 0.0f;  // NaN != 0
  }
  for (std::size_t gi = 0; gi < groups; ++gi) {
    bool r = all;
    for (std::size_t j = 0; j < count; ++j) {
      if ((nonzero[gi * count + j] != 0) != all) {
        r = !all;
        break;
      }
    }
    dst[gi] = r;
  }
  return out;
}

Result<Storage> group_gradient(GroupGradient kind, const Storage& a, const Storage& g, const Shape& axes,
                               double ddof) {
  LongWork guard(a.numel());
  // No elements, nothing to differentiate (the results of empty groups are
  // constants: 1, or NaN).
  if (a.numel() == 0) return Storage::allocate_row_major(a.dtype(), a.shape());
  const std::vector<std::size_t> order = kept_then_reduced(a.ndim(), axes);
  std::vector<float> x = f32_of(permuted(view_of(a), order));
  const std::vector<float> gs = f32_of(g);  // one per group, in the kept axes' row-major order
  const std::size_t count = group_count(a.shape(), axes);
  const std::size_t groups = count == 0 ? 0 : x.size() / count;
  if (gs.size() != groups) return runtime_error("gradient of shape " + format_shape(g.shape()) + " for a reduction");
  std::vector<float> prefix(kind == GroupGradient::kProd ? count : 0);
  for (std::size_t gi = 0; gi < groups; ++gi) {
    float* row = x.data() + gi * count;
    const float gv = gs[gi];
    if (kind == GroupGradient::kProd) {
      // prefix[j] = x0 ... x(j-1); the suffix is carried down as the row is
      // overwritten from the end, so zeros are never divided by.
      float p = 1.0f;
      for (std::size_t j = 0; j < count; ++j) {
        prefix[j] = p;
        p *= row[j];
      }
      float suffix = 1.0f;
      for (std::size_t j = count; j-- > 0;) {
        const float xj = row[j];
        row[j] = gv * (prefix[j] * suffix);
        suffix *= xj;
      }
      continue;
    }
    double s = 0.0;
    for (std::size_t j = 0; j < count; ++j) s += row[j];
    const auto mean = static_cast<float>(s / static_cast<double>(count));
    const double divisor = std::max(static_cast<double>(count) - ddof, 0.0);
    float scale = 0.0f;
    if (kind == GroupGradient::kVar) {
      scale = static_cast<float>(2.0 / divisor) * gv;
    } else {
      double q = 0.0;
      for (std::size_t j = 0; j < count; ++j) q += (static_cast<double>(row[j]) - mean) * (row[j] - mean);
      const double sd = std::sqrt(q / divisor);
      // As PyTorch: a group with no spread passes no gradient (its slope is
      // infinite in every direction but one).
      scale = sd == 0.0 ? 0.0f : static_cast<float>(1.0 / (divisor * sd)) * gv;
    }
    for (std::size_t j = 0; j < count; ++j) row[j] = (row[j] - mean) * scale;
  }
  return unpermuted(a.dtype(), a.shape(), order, x.data());
}

}  // namespace quarn::engine
