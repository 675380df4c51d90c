// The maps with numbers, the two-tensor maps and where. The forward maps
// run on the kernel tables (kernels.hpp); where picks element patterns; the
// gradients of the two-tensor maps and of where read three operands, which
// the loop below widens a block at a time to binary32, combines element by
// element and rounds once.
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

template <Ternary K>
float combine(float a, float b, float c) {
  if constexpr (K == Ternary::kWhere) return a != 0.0f ? b : c;
  // (a, b, g): a tie splits g in halves; NaN compares false and passes g.
  if constexpr (K == Ternary::kMaxLeft) return a == b ? c * 0.5f : (a < b ? 0.0f : c);
  if constexpr (K == Ternary::kMaxRight) return a == b ? c * 0.5f : (a > b ? 0.0f : c);
  if constexpr (K == Ternary::kMinLeft) return a == b ? c * 0.5f : (a > b ? 0.0f : c);
  if constexpr (K == Ternary::kMinRight) return a == b ? c * 0.5f : (a < b ? 0.0f : c);
  // g (b a^(b - 1)) and g (a^b log a), with the binary32 power and logarithm.
  if constexpr (K == Ternary::kPowBase) return b == 0.0f ? 0.0f : c * (b * elementwise::vmath::pow(a, b - 1.0f));
  if constexpr (K == Ternary::kPowExponent)
    return a == 0.0f && b >= 0.0f ? 0.0f : c * (elementwise::vmath::pow(a, b) * elementwise::vmath::log(a));
  return 0.0f;
}

constexpr std::size_t kBlock = 256;

// n elements `s` apart to binary32, one loop per dtype.
using WidenFn = void (*)(const char* p, std::ptrdiff_t s, float* out, std::size_t n);
template <DType D>
void widen_run(const char* p, std::ptrdiff_t s, float* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const char* e = p + static_cast<std::ptrdiff_t>(i) * s * static_cast<std::ptrdiff_t>(dtype_size(D));
    if constexpr (D == DType::F32) {
      std::memcpy(out + i, e, sizeof(float));
    } else if constexpr (D == DType::Bool) {
      out[i] = *e != 0 ? 1.0f : 0.0f;
    } else {
      std::uint16_t h;
      std::memcpy(&h, e, 2);
      out[i] = D == DType::F16 ? widen_f16(h) : widen_bf16(h);
    }
  }
}
WidenFn widen_for(DType d) {
  switch (d) {
    case DType::F32: return widen_run<DType::F32>;
    case DType::F16: return widen_run<DType::F16>;
    case DType::BF16: return widen_run<DType::BF16>;
    case DType::Bool: return widen_run<DType::Bool>;
  }
  return widen_run<DType::F32>;
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

// The walk of three broadcast operands into a new row-major result of `out`.
template <class Run>
Result<Storage> walk_three(DType out, const Storage& a, const Storage& b, const Storage& c, Run&& run) {
  QUARN_TRY(Shape ab, broadcast_shape(a.shape(), b.shape()));
  QUARN_TRY(Shape shape, broadcast_shape(ab, c.shape()));
  QUARN_TRY(Strides sa, expanded_strides(a, shape, "A"));
  QUARN_TRY(Strides sb, expanded_strides(b, shape, "B"));
  QUARN_TRY(Strides sc, expanded_strides(c, shape, "C"));
  LongWork guard(numel(shape));
  Storage result = Storage::allocate_row_major(out, shape);
  LoopOperands<4> ops{{static_cast<char*>(result.mutable_data()), bytes(a.data()), bytes(b.data()), bytes(c.data())},
                      {result.strides().data(), sa.data(), sb.data(), sc.data()},
                      {dtype_size(out), a.itemsize(), b.itemsize(), c.itemsize()}};
  elementwise::for_each_run_parallel(shape, ops, run);
  return result;
}

// K over the broadcast of a, b and c: each run widened a block at a time,
// combined in binary32 and rounded once to `out`.
template <Ternary K>
Result<Storage> ternary(DType out, const Storage& a, const Storage& b, const Storage& c) {
  const WidenFn wa_fn = widen_for(a.dtype()), wb_fn = widen_for(b.dtype()), wc_fn = widen_for(c.dtype());
  const std::size_t ia = a.itemsize(), ib = b.itemsize(), ic = c.itemsize(), io = dtype_size(out);
  return walk_three(out, a, b, c, [&](const auto& p, const auto& s, std::size_t n) {
    float wa[kBlock], wb[kBlock], wc[kBlock];
    for (std::size_t done = 0; done < n; done += kBlock) {
      const std::size_t m = std::min(kBlock, n - done);
      const auto off = static_cast<std::ptrdiff_t>(done);
      wa_fn(p[1] + off * s[1] * static_cast<std::ptrdiff_t>(ia), s[1], wa, m);
      wb_fn(p[2] + off * s[2] * static_cast<std::ptrdiff_t>(ib), s[2], wb, m);
      wc_fn(p[3] + off * s[3] * static_cast<std::ptrdiff_t>(ic), s[3], wc, m);
      for (std::size_t i = 0; i < m; ++i) wa[i] = combine<K>(wa[i], wb[i], wc[i]);
      store(out, wa, p[0] + done * io, m);
    }
  });
}

// where itself picks element patterns: exact, and no widening.
template <class E>
Result<Storage> select_patterns(const Storage& cond, const Storage& a, const Storage& b) {
  return walk_three(a.dtype(), cond, a, b, [](const auto& p, const auto& s, std::size_t n) {
    auto* o = reinterpret_cast<E*>(p[0]);
    const auto* c = reinterpret_cast<const std::uint8_t*>(p[1]);
    const auto* x = reinterpret_cast<const E*>(p[2]);
    const auto* y = reinterpret_cast<const E*>(p[3]);
    if (s[1] == 1 && s[2] == 1 && s[3] == 1) {
      for (std::size_t i = 0; i < n; ++i) o[i] = c[i] ? x[i] : y[i];
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const auto k = static_cast<std::ptrdiff_t>(i);
      o[i] = c[k * s[1]] ? x[k * s[2]] : y[k * s[3]];
    }
  });
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
  std::pair<Storage, Storage> out;
  const DType d = g.dtype();
  if (needs.left) {
    QUARN_TRY(out.first, op == Op::maximum   ? ternary<Ternary::kMaxLeft>(d, a, b, g)
                         : op == Op::minimum ? ternary<Ternary::kMinLeft>(d, a, b, g)
                                             : ternary<Ternary::kPowBase>(d, a, b, g));
  }
  if (needs.right) {
    QUARN_TRY(out.second, op == Op::maximum   ? ternary<Ternary::kMaxRight>(d, a, b, g)
                          : op == Op::minimum ? ternary<Ternary::kMinRight>(d, a, b, g)
                                              : ternary<Ternary::kPowExponent>(d, a, b, g));
  }
  return out;
}

Result<Storage> where(const Storage& cond, const Storage& a, const Storage& b) {
  if (cond.dtype() != DType::Bool)
    return type_error("where expected condition to be a bool tensor, but got a tensor with dtype " +
                      std::string(dtype_name(cond.dtype())));
  if (auto error = float_operands(Op::where, a, b)) return *error;
  if (a.itemsize() == 2) return select_patterns<std::uint16_t>(cond, a, b);
  return select_patterns<std::uint32_t>(cond, a, b);
}

Result<std::pair<Storage, Storage>> where_backward(const Storage& cond, const Storage& g, Needs needs) {
  const Storage zero = zero_like_scalar(g.dtype());
  std::pair<Storage, Storage> out;
  if (needs.left) {
    QUARN_TRY(out.first, ternary<Ternary::kWhere>(g.dtype(), cond, g, zero));
  }
  if (needs.right) {
    QUARN_TRY(out.second, ternary<Ternary::kWhere>(g.dtype(), cond, zero, g));
  }
  return out;
}

}  // namespace quarn::engine
