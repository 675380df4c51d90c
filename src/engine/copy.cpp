#include "engine/copy.hpp"

#include <cstdint>
#include <cstring>

#include "runtime/blocking.hpp"

namespace quarn::engine {

namespace {

template <class T>
void gather_inner(const std::byte* src, std::ptrdiff_t stride, std::size_t n, std::byte* dst) {
  T* out = reinterpret_cast<T*>(dst);
  for (std::size_t i = 0; i < n; ++i) std::memcpy(&out[i], src + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
}

void gather_run(const std::byte* src, std::ptrdiff_t stride, std::size_t n, std::size_t itemsize,
                std::byte* dst) {
  if (stride == static_cast<std::ptrdiff_t>(itemsize)) {
    std::memcpy(dst, src, n * itemsize);
    return;
  }
  switch (itemsize) {
    case 1:
      return gather_inner<std::uint8_t>(src, stride, n, dst);
    case 2:
      return gather_inner<std::uint16_t>(src, stride, n, dst);
    case 4:
      return gather_inner<std::uint32_t>(src, stride, n, dst);
    case 8:
      return gather_inner<std::uint64_t>(src, stride, n, dst);
    default:
      for (std::size_t i = 0; i < n; ++i)
        std::memcpy(dst + i * itemsize, src + static_cast<std::ptrdiff_t>(i) * stride, itemsize);
  }
}

}  // namespace

void gather_row_major(const void* src, const Shape& shape, const std::ptrdiff_t* byte_strides,
                      std::size_t itemsize, void* dst) {
  std::size_t nd = shape.size();
  if (numel(shape) == 0) return;
  LongWork guard(numel(shape));
  auto* out = static_cast<std::byte*>(dst);
  const auto* base = static_cast<const std::byte*>(src);
  if (nd == 0) {
    std::memcpy(out, base, itemsize);
    return;
  }
  std::size_t inner = shape[nd - 1];
  std::ptrdiff_t inner_stride = byte_strides[nd - 1];
  SmallVector<std::size_t> index(nd, 0);
  std::size_t outer = numel(shape) / inner;
  for (std::size_t run = 0; run < outer; ++run) {
    std::ptrdiff_t offset = 0;
    for (std::size_t k = 0; k + 1 < nd; ++k) offset += static_cast<std::ptrdiff_t>(index[k]) * byte_strides[k];
    gather_run(base + offset, inner_stride, inner, itemsize, out);
    out += inner * itemsize;
    for (std::size_t k = nd - 1; k-- > 0;) {
      if (++index[k] < shape[k]) break;
      index[k] = 0;
    }
  }
}

}  // namespace quarn::engine
