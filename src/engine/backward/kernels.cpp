// Backward kernels. Each is built from the vectorised element-wise
// operations, whose per-step rounding is exactly what the gradient rules
// ask for; only shapes no valid graph produces take a plain n-d walk.
#include <cmath>
#include <cstring>

#include <vector>

#include "engine/convert.hpp"
#include "engine/copy.hpp"
#include "engine/elementwise/map.hpp"
#include "engine/ops.hpp"

namespace quarn::engine {

namespace {

constexpr char kOperandsMismatch[] = "DType mismatch between gradient and operands during backward pass.";
constexpr char kInputMismatch[] = "DType mismatch between gradient and input during unary backward pass.";

bool same_numeric(DType g, DType a, DType b) { return g == a && a == b && is_numeric(g); }

// Element access in the dtype's own arithmetic: widen on load, round on store.
float load(DType d, const void* base, std::ptrdiff_t index) {
  switch (d) {
    case DType::F32:
      return static_cast<const float*>(base)[index];
    case DType::F16:
      return f16_to_f32(static_cast<const std::uint16_t*>(base)[index]);
    case DType::BF16:
      return bf16_to_f32(static_cast<const std::uint16_t*>(base)[index]);
    case DType::Bool:
      break;
  }
  return 0.0f;
}

// Rounds a binary32 value to the dtype (identity for F32).
float round_to(DType d, float x) {
  switch (d) {
    case DType::F16:
      return f16_to_f32(f32_to_f16(x));
    case DType::BF16:
      return bf16_to_f32(f32_to_bf16(x));
    default:
      return x;
  }
}

void store(DType d, void* base, std::size_t index, float x) {
  switch (d) {
    case DType::F32:
      static_cast<float*>(base)[index] = x;
      break;
    case DType::F16:
      static_cast<std::uint16_t*>(base)[index] = f32_to_f16(x);
      break;
    case DType::BF16:
      static_cast<std::uint16_t*>(base)[index] = f32_to_bf16(x);
      break;
    case DType::Bool:
      break;
  }
}

// Calls f(offsets...) for every position of `shape` in row-major order, with
// each view's element offset.
template <std::size_t K, class F>
void for_each_position(const Shape& shape, const Strides* const (&strides)[K], F&& f) {
  std::size_t n = numel(shape);
  if (n == 0) return;
  std::size_t nd = shape.size();
  SmallVector<std::size_t> index(nd, 0);
  std::ptrdiff_t off[K] = {};
  for (std::size_t pos = 0; pos < n; ++pos) {
    f(pos, off);
    for (std::size_t k = nd; k-- > 0;) {
      if (++index[k] < shape[k]) {
        for (std::size_t v = 0; v < K; ++v) off[v] += (*strides[v])[k];
        break;
      }
      for (std::size_t v = 0; v < K; ++v)
        off[v] -= static_cast<std::ptrdiff_t>(index[k] - 1) * (*strides[v])[k];
      index[k] = 0;
    }
  }
}

// A view re-expanded to a larger target (the target contains its shape).
View expand_view(const View& v, const Shape& target) {
  std::size_t lead = target.size() - v.shape.size();
  Strides strides(target.size(), 0);
  for (std::size_t i = 0; i < v.shape.size(); ++i)
    if (v.shape[i] == target[lead + i]) strides[lead + i] = v.strides[i];
  return View{v.dtype, v.data, target, std::move(strides)};
}

Result<Storage> matmul_of(DType d, const Storage& a, const Storage& b) {
  switch (d) {
    case DType::F16:
      return matmul_f16(a, b);
    case DType::BF16:
      return matmul_bf16(a, b);
    default:
      return matmul_f32(a, b);
  }
}

Storage swap_last_two(const Storage& s) { return transpose(s, s.ndim() - 2, s.ndim() - 1); }

// A row-major copy of what a view shows (stride-0 axes repeat elements).
Storage materialize(const View& v) {
  Storage out = Storage::allocate_row_major(v.dtype, v.shape);
  std::size_t w = dtype_size(v.dtype);
  Strides bytes(v.strides.size(), 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = v.strides[i] * static_cast<std::ptrdiff_t>(w);
  gather_row_major(v.data, v.shape, bytes.data(), w, out.mutable_data());
  return out;
}

// `s` with matrix axis `axis` stretched from extent 1 to `extent`.
Storage stretched(const Storage& s, std::size_t axis, std::size_t extent) {
  View v = view_of(s);
  v.shape[axis] = extent;
  v.strides[axis] = 0;
  return materialize(v);
}

}  // namespace

Storage row_major(const Storage& s) {
  if (s.is_row_major()) return s;
  return materialize(view_of(s));
}

Result<Storage> sum_to(const Storage& x, const Shape& shape) {
  QUARN_TRY(Shape target, broadcast_shape(shape, x.shape()));
  if (target != x.shape()) return runtime_error("Shape mismatch: cannot broadcast " + format_shape(x.shape()) +
                                                " and " + format_shape(shape));
  DType d = x.dtype();
  Storage out = Storage::allocate_row_major(d, shape);
  // The output's strides over x's shape: 0 along every summed axis.
  View ov = expand_view(View{d, nullptr, shape, out.strides()}, x.shape());
  std::vector<double> acc(out.numel(), 0.0);
  const Strides* strides[2] = {&x.strides(), &ov.strides};
  for_each_position(x.shape(), strides, [&](std::size_t, const std::ptrdiff_t* off) {
    acc[static_cast<std::size_t>(off[1])] += load(d, x.data(), off[0]);
  });
  for (std::size_t i = 0; i < acc.size(); ++i) store(d, out.mutable_data(), i, static_cast<float>(acc[i]));
  return out;
}

Result<std::pair<Storage, Storage>> mul_backward(const Storage& a, const Storage& g, const Storage& b,
                                                 Needs needs) {
  if (!same_numeric(g.dtype(), a.dtype(), b.dtype())) return type_error(kOperandsMismatch);
  std::pair<Storage, Storage> out;
  if (needs.left) {
    QUARN_TRY(out.first, mul(g, b));
  }
  if (needs.right) {
    QUARN_TRY(out.second, mul(g, a));
  }
  return out;
}

Result<std::pair<Storage, Storage>> div_backward(const Storage& a, const Storage& g, const Storage& b,
                                                 Needs needs) {
  if (!same_numeric(g.dtype(), a.dtype(), b.dtype())) return type_error(kOperandsMismatch);
  QUARN_TRY(auto ga, broadcast_operands(g, a));
  QUARN_TRY(Shape target, broadcast_shape(ga.first.shape, b.shape()));
  View gv = expand_view(ga.first, target);
  View av = expand_view(ga.second, target);
  auto bv_result = expand_to(b, target, "RHS");
  if (!bv_result.ok())
    return runtime_error("Broadcast failed for RHS: " + format_shape(b.shape()) + " -> " + format_shape(target));
  View bv = std::move(bv_result).value();

  std::pair<Storage, Storage> out;
  if (g.shape() == target) {
    // Every step is one vectorised operation with its own rounding.
    // ((-g) * a) / (b * b) is -((g * a) / (b * b)) bit for bit, since
    // rounding to nearest is symmetric, and the negation is a product by -1.
    if (needs.left) {
      QUARN_TRY(out.first, div(g, b));
    }
    if (needs.right) {
      QUARN_TRY(Storage num, mul(g, a));
      QUARN_TRY(Storage den, mul(b, b));
      QUARN_TRY(Storage quotient, div(num, den));
      QUARN_TRY(out.second, scalar_product(quotient, -1.0f));
    }
    return out;
  }

  DType d = g.dtype();
  Storage left, right;
  if (needs.left) left = Storage::allocate_row_major(d, target);
  if (needs.right) right = Storage::allocate_row_major(d, target);
  void* lo = left.mutable_data();
  void* ro = right.mutable_data();
  const Strides* strides[3] = {&gv.strides, &av.strides, &bv.strides};
  for_each_position(target, strides, [&](std::size_t pos, const std::ptrdiff_t* off) {
    float gx = load(d, gv.data, off[0]);
    float x = load(d, av.data, off[1]);
    float y = load(d, bv.data, off[2]);
    if (lo) store(d, lo, pos, gx / y);
    if (!ro) return;
    // ((-g) * x) / (y * y), rounded to the dtype after every step.
    float num = round_to(d, -gx * x);
    float den = round_to(d, y * y);
    store(d, ro, pos, num / den);
  });
  return std::pair<Storage, Storage>(std::move(left), std::move(right));
}

Result<std::pair<Storage, Storage>> matmul_backward(const Storage& a, const Storage& g, const Storage& b,
                                                    Needs needs) {
  if (!same_numeric(g.dtype(), a.dtype(), b.dtype())) return type_error(kOperandsMismatch);
  DType d = g.dtype();
  std::pair<Storage, Storage> out;
  // A result row (column) axis of extent 1 that was broadcast further gives
  // g more rows (columns) than a (b) has; each of them pairs with the same
  // row of a (column of b), so that operand is read stretched.
  const std::size_t na = a.ndim(), nb = b.ndim(), ng = g.ndim();
  if (needs.left) {
    const std::size_t cols = ng >= 1 ? g.shape()[ng - 1] : 0;
    const bool stretch = nb >= 2 && b.shape()[nb - 1] == 1 && cols != 1;
    QUARN_TRY(out.first, matmul_of(d, g, swap_last_two(stretch ? stretched(b, nb - 1, cols) : b)));
  }
  if (needs.right) {
    const std::size_t rows = ng >= 2 ? g.shape()[ng - 2] : 0;
    const bool stretch = na >= 2 && a.shape()[na - 2] == 1 && rows != 1;
    QUARN_TRY(out.second, matmul_of(d, swap_last_two(stretch ? stretched(a, na - 2, rows) : a), g));
  }
  return out;
}

Result<Storage> relu_backward(const Storage& t, const Storage& g) {
  if (g.dtype() != t.dtype() || !is_numeric(g.dtype())) return type_error(kInputMismatch);
  // g may be a broadcast of the input's shape (the result was broadcast
  // further on); the mask is then read broadcast too.
  if (!expand_to(t, g.shape(), "A").ok())
    return runtime_error("Shape mismatch in relu_backward: grad " + format_shape(g.shape()) + " vs input " +
                         format_shape(t.shape()));
  return elementwise::map_binary(elementwise::kReluBackward, t.dtype(), t, g);
}

Result<Storage> rdiv_backward(const Storage& t, const Storage& g, float s) {
  if (g.dtype() != t.dtype() || !is_numeric(g.dtype())) return type_error(kInputMismatch);
  QUARN_TRY(Shape target, broadcast_shape(g.shape(), t.shape()));
  (void)target;  // the same broadcast error, before any arithmetic
  // g * (-s / (t * t)), one rounding per step; the number meets the square
  // rounded to the dtype, as -s.
  QUARN_TRY(Storage square, mul(t, t));
  QUARN_TRY(Storage factor, scalar_rdiv(square, -s));
  return mul(g, factor);
}

}  // namespace quarn::engine
