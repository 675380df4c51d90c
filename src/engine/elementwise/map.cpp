#include "engine/elementwise/map.hpp"

#include "engine/elementwise/layout.hpp"
#include "engine/elementwise/strided_loop.hpp"
#include "engine/ops.hpp"

namespace quarn::engine::elementwise {

namespace {
char* mutable_bytes(const Storage& s) { return static_cast<char*>(s.mutable_data()); }
char* bytes(const void* p) { return static_cast<char*>(const_cast<void*>(p)); }
}  // namespace

Result<Storage> map_binary(BinaryKernel kernel, DType out_dtype, const Storage& a, const Storage& b) {
  QUARN_TRY(auto views, broadcast_operands(a, b));
  const View& va = views.first;
  const View& vb = views.second;
  Strides strides = binary_result_strides(va, vb);
  Storage out = Storage::allocate(out_dtype, va.shape, strides);
  BinaryRunFn fn = binary_kernel(kernel, a.dtype());
  const std::size_t in_size = dtype_size(a.dtype());
  LoopOperands<3> ops{{mutable_bytes(out), bytes(va.data), bytes(vb.data)},
                      {out.strides().data(), va.strides.data(), vb.strides.data()},
                      {dtype_size(out_dtype), in_size, in_size}};
  for_each_run(va.shape, ops, [fn](const auto& p, const auto& s, std::size_t n) {
    fn(p[0], p[1], s[1], p[2], s[2], n);
  });
  return out;
}

Storage map_with_scalar(BinaryKernel kernel, DType out_dtype, const Storage& a, const void* scalar,
                        bool scalar_first) {
  bool flat = false;
  Strides strides = map_result_strides(a, flat);
  Storage out = Storage::allocate(out_dtype, a.shape(), std::move(strides));
  BinaryRunFn fn = binary_kernel(kernel, a.dtype());
  auto apply = [fn, scalar, scalar_first](char* o, const char* x, std::ptrdiff_t sx, std::size_t n) {
    const char* s = static_cast<const char*>(scalar);
    if (scalar_first) {
      fn(o, s, 0, x, sx, n);
    } else {
      fn(o, x, sx, s, 0, n);
    }
  };
  if (flat) {
    apply(mutable_bytes(out), static_cast<const char*>(a.data()), 1, a.numel());
    return out;
  }
  LoopOperands<2> ops{{mutable_bytes(out), bytes(a.data())},
                      {out.strides().data(), a.strides().data()},
                      {dtype_size(out_dtype), a.itemsize()}};
  for_each_run(a.shape(), ops, [&](const auto& p, const auto& s, std::size_t n) { apply(p[0], p[1], s[1], n); });
  return out;
}

Storage map_unary(UnaryKernel kernel, DType out_dtype, const Storage& a) {
  bool flat = false;
  Strides strides = map_result_strides(a, flat);
  Storage out = Storage::allocate(out_dtype, a.shape(), std::move(strides));
  UnaryRunFn fn = unary_kernel(kernel, a.dtype());
  if (flat) {
    fn(mutable_bytes(out), static_cast<const char*>(a.data()), 1, a.numel());
    return out;
  }
  LoopOperands<2> ops{{mutable_bytes(out), bytes(a.data())},
                      {out.strides().data(), a.strides().data()},
                      {dtype_size(out_dtype), a.itemsize()}};
  for_each_run(a.shape(), ops, [fn](const auto& p, const auto& s, std::size_t n) { fn(p[0], p[1], s[1], n); });
  return out;
}

}  // namespace quarn::engine::elementwise
