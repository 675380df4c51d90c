// The maps with numbers, the two-tensor maps and where. The forward maps
// run on the kernel tables (kernels.hpp); the gradients of the two-tensor
// maps and where read three operands, which the loop below widens a block
// at a time to binary32, combines element by element and rounds once.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/broadcast.hpp"
#include "engine/convert_bits.hpp"
#include "engine/dtype_rules.hpp"
#include "engine/elementwise/map.hpp"
#include "engine/elementwise/strided_loop.hpp"
#include "engine/elementwise/wide_math.hpp"
#include "engine/map_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::engine {

namespace {

using elementwise::LoopOperands;

enum class Ternary : std::uint8_t { kWhere, kMaxLeft, kMaxRight, kMinLeft, kMinRight, kPowBase, kPowExponent };

float combine(Ternary k, float a, float b, float c) {
  switch (k) {
    case Ternary::kWhere:
      return a != 0.0f ? b : c;
    // (a, b, g): a tie splits g in halves; NaN compares false and passes g.
    case Ternary::kMaxLeft:
      return a == b ? c * 0.5f : (a < b ? 0.0f : c);
    case Ternary::kMaxRight:
      return a == b ? c * 0.5f : (a > b ? 0.0f : c);
    case Ternary::kMinLeft:
      return a == b ? c * 0.5f : (a > b ? 0.0f : c);
    case Ternary::kMinRight:
      return a == b ? c * 0.5f : (a < b ? 0.0f : c);
    // g (b a^(b - 1)) and g (a^b log a), with the binary32 power and logarithm.
    case Ternary::kPowBase:
      return b == 0.0f ? 0.0f : c * (b * elementwise::vmath::pow(a, b - 1.0f));
    case Ternary::kPowExponent:
      return a == 0.0f && b >= 0.0f ? 0.0f : c * (elementwise::vmath::pow(a, b) * elementwise::vmath::log(a));
  }
  return 0.0f;
}

constexpr std::size_t kBlock = 256;

void widen(DType d, const char* p, std::ptrdiff_t s, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const char* e = p + static_cast<std::ptrdiff_t>(i) * s * static_cast<std::ptrdiff_t>(dtype_size(d));
    switch (d) {
      case DType::F32:
        std::memcpy(out + i, e, sizeof(float));
        break;
      case DType::F16: {
        std::uint16_t h;
        std::memcpy(&h, e, 2);
        out[i] = widen_f16(h);
        break;
      }
      case DType::BF16: {
        std::uint16_t h;
        std::memcpy(&h, e, 2);
        out[i] = widen_bf16(h);
        break;
      }
      case DType::Bool:
        out[i] = *e != 0 ? 1.0f : 0.0f;
        break;
    }
  }
}

void store(DType d, const float* in, char* out, std::size_t n) {
  switch (d) {
    case DType::F32:
      std::memcpy(out, in, n * sizeof(float));
      return;
    case DType::F16:
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t h = round_to_f16(in[i]);
        std::memcpy(out + 2 * i, &h, 2);
      }
      return;
    case DType::BF16:
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t h = round_to_bf16(in[i]);
        std::memcpy(out + 2 * i, &h, 2);
      }
      return;
    case DType::Bool:
      for (std::size_t i = 0; i < n; ++i) out[i] = in[i] != 0.0f;
      return;
  }
}

char* bytes(const void* p) { return static_cast<char*>(const_cast<void*>(p)); }

// k over the broadcast of a, b and c, into a new row-major storage of `out`.
Result<Storage> ternary(Ternary k, DType out, const Storage& a, const Storage& b, const Storage& c) {
  QUARN_TRY(Shape ab, broadcast_shape(a.shape(), b.shape()));
  QUARN_TRY(Shape shape, broadcast_shape(ab, c.shape()));
  QUARN_TRY(Strides sa, expanded_strides(a, shape, "A"));
  QUARN_TRY(Strides sb, expanded_strides(b, shape, "B"));
  QUARN_TRY(Strides sc, expanded_strides(c, shape, "C"));
  LongWork guard(numel(shape));
  Storage result = Storage::allocate_row_major(out, shape);
  const DType da = a.dtype(), db = b.dtype(), dc = c.dtype();
  LoopOperands<4> ops{{static_cast<char*>(result.mutable_data()), bytes(a.data()), bytes(b.data()), bytes(c.data())},
                      {result.strides().data(), sa.data(), sb.data(), sc.data()},
                      {dtype_size(out), dtype_size(da), dtype_size(db), dtype_size(dc)}};
  elementwise::for_each_run_parallel(shape, ops, [&](const auto& p, const auto& s, std::size_t n) {
    float wa[kBlock], wb[kBlock], wc[kBlock];
    for (std::size_t done = 0; done < n; done += kBlock) {
      const std::size_t m = std::min(kBlock, n - done);
      const auto at = [&](std::size_t k2, DType d) {
        return p[k2] + static_cast<std::ptrdiff_t>(done) * s[k2] * static_cast<std::ptrdiff_t>(dtype_size(d));
      };
      widen(da, at(1, da), s[1], wa, m);
      widen(db, at(2, db), s[2], wb, m);
      widen(dc, at(3, dc), s[3], wc, m);
      for (std::size_t i = 0; i < m; ++i) wa[i] = combine(k, wa[i], wb[i], wc[i]);
      store(out, wa, p[0] + done * dtype_size(out), m);
    }
  });
  return result;
}

std::optional<Error> float_operands(Op op, const Storage& a, const Storage& b) {
  if (auto error = unsupported_dtype(op, a.dtype())) return error;
  if (auto error = unsupported_dtype(op, b.dtype())) return error;
  return arithmetic_dtype_error(a.dtype(), b.dtype());
}

Storage zero_like_scalar(DType d) {
  Storage z = Storage::allocate_row_major(d, {});
  std::memset(z.mutable_data(), 0, dtype_size(d));
  return z;
}

}  // namespace

Result<Storage> param_map(Op op, const Storage& a, float first, float second) {
  if (auto error = unsupported_dtype(op, a.dtype())) return *error;
  const float params[2] = {first, second};
  return elementwise::map_unary_params(elementwise::param_kernel_of(op), a.dtype(), a, params);
}

Result<Storage> param_map_gradient(Op op, const Storage& x, const Storage& g, float first, float second) {
  if (x.dtype() != g.dtype()) fault("internal error: a gradient of another dtype than its operation's");
  const float params[2] = {first, second};
  return elementwise::map_binary_params(elementwise::param_gradient_kernel_of(op), g.dtype(), x, g, params);
}

Result<Storage> pairwise(Op op, const Storage& a, const Storage& b) {
  if (auto error = float_operands(op, a, b)) return *error;
  return elementwise::map_binary(elementwise::pairwise_kernel_of(op), a.dtype(), a, b);
}

Result<std::pair<Storage, Storage>> pairwise_backward(Op op, const Storage& a, const Storage& b, const Storage& g,
                                                      Needs needs) {
  Ternary left = Ternary::kPowBase, right = Ternary::kPowExponent;
  if (op == Op::maximum) left = Ternary::kMaxLeft, right = Ternary::kMaxRight;
  if (op == Op::minimum) left = Ternary::kMinLeft, right = Ternary::kMinRight;
  std::pair<Storage, Storage> out;
  if (needs.left) {
    QUARN_TRY(out.first, ternary(left, g.dtype(), a, b, g));
  }
  if (needs.right) {
    QUARN_TRY(out.second, ternary(right, g.dtype(), a, b, g));
  }
  return out;
}

Result<Storage> where(const Storage& cond, const Storage& a, const Storage& b) {
  if (cond.dtype() != DType::Bool)
    return type_error("where expected condition to be a bool tensor, but got a tensor with dtype " +
                      std::string(dtype_name(cond.dtype())));
  if (auto error = float_operands(Op::where, a, b)) return *error;
  return ternary(Ternary::kWhere, a.dtype(), cond, a, b);
}

Result<std::pair<Storage, Storage>> where_backward(const Storage& cond, const Storage& g, Needs needs) {
  const Storage zero = zero_like_scalar(g.dtype());
  std::pair<Storage, Storage> out;
  if (needs.left) {
    QUARN_TRY(out.first, ternary(Ternary::kWhere, g.dtype(), cond, g, zero));
  }
  if (needs.right) {
    QUARN_TRY(out.second, ternary(Ternary::kWhere, g.dtype(), cond, zero, g));
  }
  return out;
}

}  // namespace quarn::engine
