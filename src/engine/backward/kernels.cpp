// Backward kernels. Each is built from the vectorised element-wise
// operations (whose per-step rounding is exactly what the gradient rules ask
// for), the matrix product, and the element-wise engine's strided walk.
#include <cstdint>
#include <optional>
#include <vector>

#include "runtime/blocking.hpp"
#include "engine/convert.hpp"
#include "engine/copy.hpp"
#include "engine/elementwise/map.hpp"
#include "engine/elementwise/strided_loop.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

namespace {

constexpr char kOperandsMismatch[] = "DType mismatch between gradient and operands during backward pass.";
constexpr char kInputMismatch[] = "DType mismatch between gradient and input during unary backward pass.";

bool same_numeric(DType g, DType a, DType b) { return g == a && a == b && is_numeric(g); }

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

Storage stretched_to(const Storage& s, const Shape& target) {
  return materialize(View{s.dtype(), s.data(), target, *stretch_strides(s.shape(), s.strides(), target)});
}

Storage row_major(const Storage& s) {
  if (s.is_row_major()) return s;
  return materialize(view_of(s));
}

namespace {

// The strided walk carries every operand as char*; inputs are only read.
char* input_bytes(const Storage& s) { return const_cast<char*>(static_cast<const char*>(s.data())); }

// Adds every element of `x` into `acc` (of type Acc) at the position the
// strides `acc_strides` give it over x's shape: 0 along each summed axis.
template <class Acc, class Elem, class Widen>
void accumulate_over(Acc* acc, const Strides& acc_strides, const Storage& x, Widen widen) {
  elementwise::LoopOperands<2> ops{{reinterpret_cast<char*>(acc), input_bytes(x)},
                                   {acc_strides.data(), x.strides().data()},
                                   {sizeof(Acc), sizeof(Elem)}};
  // Each accumulator is summed by one run, in the same order whatever the
  // thread count: the walk puts the summed axes innermost.
  elementwise::for_each_run_parallel(x.shape(), ops, [&](const auto& p, const auto& step, std::size_t n) {
    auto* a = reinterpret_cast<Acc*>(p[0]);
    const auto* e = reinterpret_cast<const Elem*>(p[1]);
    for (std::size_t i = 0; i < n; ++i) {
      const auto at = static_cast<std::ptrdiff_t>(i);
      a[at * step[0]] += static_cast<Acc>(widen(e[at * step[1]]));
    }
  });
}

}  // namespace

Result<Storage> sum_to(const Storage& x, const Shape& shape) {
  LongWork guard(x.numel());
  std::optional<Strides> acc_strides = stretch_strides(shape, row_major_strides(shape), x.shape());
  if (!acc_strides)
    return runtime_error("Shape mismatch: cannot broadcast " + format_shape(x.shape()) + " and " + format_shape(shape));
  const DType d = x.dtype();
  Storage out = Storage::allocate_row_major(d, shape);
  const std::size_t n = out.numel();
  // binary32 sums are taken in double and half-precision sums in binary32,
  // each rounded once to the dtype at the end.
  if (d == DType::F32) {
    std::vector<double> acc(n, 0.0);
    accumulate_over<double, float>(acc.data(), *acc_strides, x, [](float v) { return v; });
    float* o = out.mutable_data_as<float>();
    for (std::size_t i = 0; i < n; ++i) o[i] = static_cast<float>(acc[i]);
    return out;
  }
  std::vector<float> acc(n, 0.0f);
  if (d == DType::F16) {
    accumulate_over<float, std::uint16_t>(acc.data(), *acc_strides, x, f16_to_f32);
  } else {
    accumulate_over<float, std::uint16_t>(acc.data(), *acc_strides, x, bf16_to_f32);
  }
  round_from_f32(d, acc.data(), out.mutable_data(), n);
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
  if (!expand_to(b, target, "RHS").ok())
    return runtime_error("Broadcast failed for RHS: " + format_shape(b.shape()) + " -> " + format_shape(target));
  // Both contributions have the target's shape; g already has it whenever
  // it comes from a valid graph, else it is laid out stretched first.
  const Storage gt = g.shape() == target ? g : stretched_to(g, target);
  // Every step is one vectorised operation with its own rounding.
  // ((-g) * a) / (b * b) is -((g * a) / (b * b)) bit for bit, since rounding
  // to nearest is symmetric, and the negation is a product by -1.
  std::pair<Storage, Storage> out;
  if (needs.left) {
    QUARN_TRY(out.first, div(gt, b));
  }
  if (needs.right) {
    QUARN_TRY(Storage num, mul(gt, a));
    QUARN_TRY(Storage den, mul(b, b));
    QUARN_TRY(Storage quotient, div(num, den));
    QUARN_TRY(out.second, scalar_product(quotient, -1.0f));
  }
  return out;
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
