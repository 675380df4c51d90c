// engine::sum: checks, the result's shape, and the reduction of any layout to
// a SumProblem that the kernels of reduce_kernels.hpp solve. This unit also
// holds the baseline kernel table and picks the table for this processor.
#include <algorithm>
#include <cstring>

#include "runtime/blocking.hpp"
#include "engine/copy.hpp"
#include "engine/cpu_features.hpp"
#include "engine/storage_ops.hpp"
#include "engine/reduce_kernels.hpp"

namespace quarn::engine {

const ReduceKernels& reduce_kernels_baseline() {
  static constexpr ReduceKernels table{"baseline", run_sum};
  return table;
}

namespace {

const ReduceKernels& choose_reduce_kernels() {
#if defined(__x86_64__)
  if (cpu_features().has_avx2_fma()) return reduce_kernels_avx2();
#endif
  return reduce_kernels_baseline();
}

struct NormalAxis {
  SumAxis axis;
  bool summed;
};

}  // namespace

const ReduceKernels& reduce_kernels() {
  static const ReduceKernels& chosen = choose_reduce_kernels();
  return chosen;
}

Result<Storage> sum_with(const ReduceKernels& kernels, const Storage& a, const Shape& axes, bool keepdims) {
  const DType d = a.dtype();
  if (d == DType::Bool) return type_error("Tensor Dtype not supported for this operation: sum");
  const std::size_t nd = a.ndim();
  const auto item = static_cast<std::ptrdiff_t>(a.itemsize());
  SmallVector<bool> summed(nd, false);
  for (std::size_t ax : axes) summed[ax] = true;

  Shape out_shape;
  for (std::size_t i = 0; i < nd; ++i) {
    if (!summed[i]) {
      out_shape.push_back(a.shape()[i]);
    } else if (keepdims) {
      out_shape.push_back(1);
    }
  }
  Storage out = Storage::allocate_row_major(d, out_shape);
  char* out_data = static_cast<char*>(out.mutable_data());

  if (axes.empty()) {
    Strides bytes(nd, 0);
    for (std::size_t i = 0; i < nd; ++i) bytes[i] = a.strides()[i] * item;
    gather_row_major(a.data(), a.shape(), bytes.data(), a.itemsize(), out_data);
    return out;
  }
  if (out.numel() == 0) return out;
  if (a.numel() == 0) {
    std::memset(out_data, 0, out.nbytes());  // all-zero bytes are +0 in every format
    return out;
  }

  // Result strides, in elements, of the kept axes.
  SmallVector<std::ptrdiff_t> out_stride(nd, 0);
  std::ptrdiff_t step = 1;
  for (std::size_t i = nd; i-- > 0;) {
    if (summed[i]) continue;
    out_stride[i] = step;
    step *= static_cast<std::ptrdiff_t>(a.shape()[i]);
  }

  // Drop extent-1 axes, turn negative strides around (starting from the
  // other end, and walking the result backwards along a kept axis), order
  // the axes by input stride, outermost first, and merge neighbours of the
  // same kind that step evenly.
  SumProblem p{d, static_cast<const char*>(a.data()), out_data, {}, {}, false};
  SmallVector<NormalAxis> order;
  for (std::size_t i = 0; i < nd; ++i) {
    const std::size_t e = a.shape()[i];
    if (e == 1) continue;
    SumAxis ax{e, a.strides()[i] * item, out_stride[i]};
    if (ax.in < 0) {
      p.in += static_cast<std::ptrdiff_t>(e - 1) * ax.in;
      p.out += static_cast<std::ptrdiff_t>(e - 1) * ax.out * item;
      ax.in = -ax.in;
      ax.out = -ax.out;
    }
    order.push_back({ax, summed[i]});
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const NormalAxis& x, const NormalAxis& y) { return x.axis.in > y.axis.in; });
  SmallVector<NormalAxis> merged;
  for (const NormalAxis& ax : order) {
    if (!merged.empty()) {
      NormalAxis& prev = merged.back();
      const auto e = static_cast<std::ptrdiff_t>(ax.axis.extent);
      if (prev.summed == ax.summed && prev.axis.in == ax.axis.in * e && prev.axis.out == ax.axis.out * e) {
        prev.axis.extent *= ax.axis.extent;
        prev.axis.in = ax.axis.in;
        prev.axis.out = ax.axis.out;
        continue;
      }
    }
    merged.push_back(ax);
  }
  for (const NormalAxis& ax : merged) (ax.summed ? p.summed : p.kept).push_back(ax.axis);
  // Every summed axis had extent 1: each result is a sum of one element.
  if (p.summed.empty()) p.summed.push_back(SumAxis{1, 0, 0});
  p.rows = !merged.empty() && !merged.back().summed;
  kernels.sum(p);
  return out;
}

Result<Storage> sum(const Storage& a, const Shape& axes, bool keepdims) {
  LongWork guard(a.numel());
  return sum_with(reduce_kernels(), a, axes, keepdims);
}

}  // namespace quarn::engine
