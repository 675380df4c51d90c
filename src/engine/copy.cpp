#include "engine/copy.hpp"

#include <cstdint>
#include <cstring>

#include "engine/nd_walk.hpp"
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
  // Operand 0 is the dense result, operand 1 the source; both step in bytes,
  // the source by NumPy's strides as they are, which need not be multiples
  // of the item size. The plan merges what the source allows: a row-major
  // source becomes one copy, a row-contiguous one a copy per row.
  const Strides dense = row_major_strides(shape);
  WalkPlan<2> plan;
  const bool any = make_walk_plan<2>(shape, [&](std::size_t k, std::size_t ax) {
    return k == 0 ? dense[ax] * static_cast<std::ptrdiff_t>(itemsize) : byte_strides[ax];
  }, plan);
  if (!any) return;
  LongWork guard(numel(shape));
  auto* out = static_cast<std::byte*>(dst);
  const auto* base = static_cast<const std::byte*>(src);
  const std::size_t nd = plan.extent.size();
  // The result's innermost planned axis is its last one of extent above 1,
  // so each run of it is contiguous in the result.
  const std::size_t n = nd == 0 ? 1 : plan.extent[nd - 1];
  const std::ptrdiff_t stride = nd == 0 ? static_cast<std::ptrdiff_t>(itemsize) : plan.step[1][nd - 1];
  walk_plan(plan, nd == 0 ? 0 : nd - 1, [&](const WalkOffsets<2>& off) {
    gather_run(base + off[1], stride, n, itemsize, out + off[0]);
  });
}

}  // namespace quarn::engine
