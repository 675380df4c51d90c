#include "engine/elementwise/map.hpp"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/broadcast.hpp"
#include "engine/convert_bits.hpp"
#include "engine/elementwise/layout.hpp"
#include "engine/elementwise/strided_loop.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::engine::elementwise {

namespace {

// Results are streamed past the caches when the operation touches at least
// half of a typical last-level cache and the result itself is large: by the
// time anyone reads such a result, most of it has been evicted anyway, and
// writing around the caches saves reading every result line in first.
// Smaller results are written into the cache, where the next operation may
// still find them.
constexpr std::size_t kStreamingFootprint = std::size_t{16} << 20;
constexpr std::size_t kStreamingResult = std::size_t{4} << 20;

bool should_stream(const Storage& out, std::size_t operand_bytes) {
  return out.nbytes() >= kStreamingResult && out.nbytes() + operand_bytes >= kStreamingFootprint;
}

// Non-temporal stores are weakly ordered: fence before the result can be
// handed to anyone else.
void finish_streaming(bool streamed) {
#if defined(__SSE2__)
  if (streamed) _mm_sfence();
#else
  (void)streamed;
#endif
}

char* mutable_bytes(Storage& s) { return static_cast<char*>(s.mutable_data()); }
char* bytes(const void* p) { return static_cast<char*>(const_cast<void*>(p)); }

// Both operands already read over `shape` through their (expanded) strides.
Storage run_binary(BinaryKernel kernel, DType out_dtype, const Shape& shape, const Storage& a,
                   const Strides& sa, const Storage& b, const Strides& sb) {
  LongWork guard(numel(shape));
  Storage out = Storage::allocate(out_dtype, shape, binary_result_strides(shape, sa, sb));
  const bool streaming = should_stream(out, a.nbytes() + b.nbytes());
  BinaryRunFn fn = binary_kernel(kernel, a.dtype(), streaming);
  const std::size_t in_size = dtype_size(a.dtype());
  LoopOperands<3> ops{{mutable_bytes(out), bytes(a.data()), bytes(b.data())},
                      {out.strides().data(), sa.data(), sb.data()},
                      {dtype_size(out_dtype), in_size, in_size}};
  for_each_run_parallel(shape, ops, [fn](const auto& p, const auto& s, std::size_t n) {
    fn(p[0], p[1], s[1], p[2], s[2], n);
  });
  finish_streaming(streaming);
  return out;
}

}  // namespace

Result<Storage> map_binary(BinaryKernel kernel, DType out_dtype, const Storage& a, const Storage& b) {
  // Equal shapes need no expansion: the views would be the storages
  // themselves, and an existing storage's element count cannot overflow.
  if (a.shape() == b.shape()) return run_binary(kernel, out_dtype, a.shape(), a, a.strides(), b, b.strides());
  // broadcast_operands without the View wrappers.
  QUARN_TRY(Shape target, broadcast_shape(a.shape(), b.shape()));
  QUARN_TRY(Strides sa, expanded_strides(a, target, "A"));
  QUARN_TRY(Strides sb, expanded_strides(b, target, "B"));
  return run_binary(kernel, out_dtype, target, a, sa, b, sb);
}

Storage map_with_scalar(BinaryKernel kernel, DType out_dtype, const Storage& a, const void* scalar,
                        bool scalar_first) {
  LongWork guard(a.numel());
  bool flat = false;
  Strides strides = map_result_strides(a, flat);
  Storage out = Storage::allocate(out_dtype, a.shape(), std::move(strides));
  const bool streaming = should_stream(out, a.nbytes());
  BinaryRunFn fn = binary_kernel(kernel, a.dtype(), streaming);
  auto apply = [fn, scalar, scalar_first](char* o, const char* x, std::ptrdiff_t sx, std::size_t n) {
    const char* s = static_cast<const char*>(scalar);
    if (scalar_first) {
      fn(o, s, 0, x, sx, n);
    } else {
      fn(o, x, sx, s, 0, n);
    }
  };
  if (flat) {
    char* o = mutable_bytes(out);
    const char* x = static_cast<const char*>(a.data());
    const std::size_t osize = dtype_size(out_dtype), isize = a.itemsize();
    for_each_chunk(a.numel(), [&](std::size_t begin, std::size_t end) {
      apply(o + begin * osize, x + begin * isize, 1, end - begin);
    });
    finish_streaming(streaming);
    return out;
  }
  LoopOperands<2> ops{{mutable_bytes(out), bytes(a.data())},
                      {out.strides().data(), a.strides().data()},
                      {dtype_size(out_dtype), a.itemsize()}};
  for_each_run_parallel(a.shape(), ops, [&](const auto& p, const auto& s, std::size_t n) { apply(p[0], p[1], s[1], n); });
  finish_streaming(streaming);
  return out;
}

Storage map_unary(UnaryKernel kernel, DType out_dtype, const Storage& a) {
  LongWork guard(a.numel());
  bool flat = false;
  Strides strides = map_result_strides(a, flat);
  Storage out = Storage::allocate(out_dtype, a.shape(), std::move(strides));
  const bool streaming = should_stream(out, a.nbytes());
  UnaryRunFn fn = unary_kernel(kernel, a.dtype(), streaming);
  if (flat) {
    char* o = mutable_bytes(out);
    const char* x = static_cast<const char*>(a.data());
    const std::size_t osize = dtype_size(out_dtype), isize = a.itemsize();
    for_each_chunk(a.numel(), [&](std::size_t begin, std::size_t end) {
      fn(o + begin * osize, x + begin * isize, 1, end - begin);
    });
    finish_streaming(streaming);
    return out;
  }
  LoopOperands<2> ops{{mutable_bytes(out), bytes(a.data())},
                      {out.strides().data(), a.strides().data()},
                      {dtype_size(out_dtype), a.itemsize()}};
  for_each_run_parallel(a.shape(), ops, [fn](const auto& p, const auto& s, std::size_t n) { fn(p[0], p[1], s[1], n); });
  finish_streaming(streaming);
  return out;
}

Storage map_unary_params(ParamKernel kernel, DType out_dtype, const Storage& a, const float* params) {
  LongWork guard(a.numel());
  bool flat = false;
  Strides strides = map_result_strides(a, flat);
  Storage out = Storage::allocate(out_dtype, a.shape(), std::move(strides));
  const bool streaming = should_stream(out, a.nbytes());
  ParamUnaryRunFn fn = param_kernel(kernel, a.dtype(), streaming);
  if (flat) {
    char* o = mutable_bytes(out);
    const char* x = static_cast<const char*>(a.data());
    const std::size_t osize = dtype_size(out_dtype), isize = a.itemsize();
    for_each_chunk(a.numel(), [&](std::size_t begin, std::size_t end) {
      fn(o + begin * osize, x + begin * isize, 1, end - begin, params);
    });
    finish_streaming(streaming);
    return out;
  }
  LoopOperands<2> ops{{mutable_bytes(out), bytes(a.data())},
                      {out.strides().data(), a.strides().data()},
                      {dtype_size(out_dtype), a.itemsize()}};
  for_each_run_parallel(a.shape(), ops,
                        [fn, params](const auto& p, const auto& s, std::size_t n) { fn(p[0], p[1], s[1], n, params); });
  finish_streaming(streaming);
  return out;
}

Result<Storage> map_binary_params(ParamGradientKernel kernel, DType out_dtype, const Storage& a, const Storage& b,
                                  const float* params) {
  Shape shape = a.shape();
  Strides sa = a.strides(), sb = b.strides();
  if (a.shape() != b.shape()) {
    QUARN_TRY(shape, broadcast_shape(a.shape(), b.shape()));
    QUARN_TRY(sa, expanded_strides(a, shape, "A"));
    QUARN_TRY(sb, expanded_strides(b, shape, "B"));
  }
  LongWork guard(numel(shape));
  Storage out = Storage::allocate(out_dtype, shape, binary_result_strides(shape, sa, sb));
  ParamBinaryRunFn fn = param_gradient_kernel(kernel, a.dtype());
  const std::size_t in_size = dtype_size(a.dtype());
  LoopOperands<3> ops{{mutable_bytes(out), bytes(a.data()), bytes(b.data())},
                      {out.strides().data(), sa.data(), sb.data()},
                      {dtype_size(out_dtype), in_size, in_size}};
  for_each_run_parallel(shape, ops, [fn, params](const auto& p, const auto& s, std::size_t n) {
    fn(p[0], p[1], s[1], p[2], s[2], n, params);
  });
  return out;
}

ScalarValue scalar_in(DType numeric, float s) {
  ScalarValue v{};
  switch (numeric) {
    case DType::F16:
      v.half = round_to_f16(s);
      break;
    case DType::BF16:
      v.half = round_to_bf16(s);
      break;
    default:
      v.f32 = s;
      break;
  }
  return v;
}

}  // namespace quarn::engine::elementwise
