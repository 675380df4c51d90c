// The reductions: checks, the result's shape, and the planning of any layout
// into a ReduceProblem that the kernels of reduce_kernels.hpp solve; the
// operations that need more than one pass (mean, logsumexp, var) combine the
// kernels' binary32 partial results here. This unit also holds the baseline
// kernel table and picks the table for this processor.
//
// Accuracy, operation by operation (u = 2^-24, n the group's size):
//  - sum: binary32 blocked pairwise, error at most (24 + log2 n) u sum|x|,
//    rounded once to the dtype.
//  - mean: that sum divided by n in binary32, rounded once to the dtype.
//  - prod: binary32 products on the sum's schedule, each step rounded, so a
//    relative error of at most about n u; rounded once to the dtype.
//  - max, min: exact (an element of the group, bits and all).
//  - argmax, argmin: exact, as float32 indices, so groups are limited to
//    2^24 elements.
//  - logsumexp: m = max, then log(pairwise binary32 sum of exp(x - m)) + m
//    in binary32, rounded once to the dtype; the sum is at least 1, so the
//    error is a few u of max(|m|, 1) beyond the exponentials' own.
//  - var: binary32 mean as above, then the pairwise binary32 sum of the
//    squared deviations from it, divided by max(n - ddof, 0) in binary32,
//    rounded once to the dtype.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "runtime/blocking.hpp"
#include "runtime/thread_pool.hpp"
#include "engine/copy.hpp"
#include "engine/cpu_features.hpp"
#include "engine/storage_ops.hpp"
#include "engine/reduce_kernels.hpp"

namespace quarn::engine {

const ReduceKernels& reduce_kernels_baseline() {
  static constexpr ReduceKernels table{"baseline", run_sum, run_prod, run_max, run_min};
  return table;
}

namespace {

const ReduceKernels& choose_reduce_kernels() {
#if defined(__x86_64__)
  if (cpu_features().has_avx512()) return reduce_kernels_avx512();
  if (cpu_features().has_avx2_fma()) return reduce_kernels_avx2();
#endif
  return reduce_kernels_baseline();
}

struct NormalAxis {
  ReduceAxis axis;
  bool reduced;
};

std::size_t magnitude(std::ptrdiff_t s) { return s < 0 ? static_cast<std::size_t>(-s) : static_cast<std::size_t>(s); }

// Plans the reduction of `a` over the axes marked in `reduced` into results
// of `out_dtype` at `out`, laid out row-major over the kept axes. Extent-1
// axes are dropped; a kept axis with a negative stride is turned around
// (starting from its other end, and walking the result backwards along it);
// the axes are ordered by input stride, outermost first, and neighbours of
// the same kind that step evenly are merged. With `row_major_groups` the
// reduced axes keep the input's order and direction instead, so that the
// kernels meet each group's elements in row-major order.
ReduceProblem plan(const View& a, const SmallVector<bool>& reduced, bool row_major_groups, DType out_dtype,
                   void* out) {
  const std::size_t nd = a.shape.size();
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(a.dtype));
  // Result strides, in elements, of the kept axes.
  SmallVector<std::ptrdiff_t> out_stride(nd, 0);
  std::ptrdiff_t step = 1;
  for (std::size_t i = nd; i-- > 0;) {
    if (reduced[i]) continue;
    out_stride[i] = step;
    step *= static_cast<std::ptrdiff_t>(a.shape[i]);
  }

  ReduceProblem p{a.dtype, out_dtype,         static_cast<const char*>(a.data), static_cast<char*>(out), 0, {}, {},
                  false,   ReduceMap::kNone, nullptr,                          nullptr};
  SmallVector<NormalAxis> order;
  for (std::size_t i = 0; i < nd; ++i) {
    const std::size_t e = a.shape[i];
    if (e == 1) continue;
    ReduceAxis ax{e, a.strides[i] * item, out_stride[i]};
    if (ax.in < 0 && !(row_major_groups && reduced[i])) {
      p.in += static_cast<std::ptrdiff_t>(e - 1) * ax.in;
      p.out_origin += static_cast<std::ptrdiff_t>(e - 1) * ax.out;
      ax.in = -ax.in;
      ax.out = -ax.out;
    }
    order.push_back({ax, reduced[i]});
  }
  std::stable_sort(order.begin(), order.end(), [](const NormalAxis& x, const NormalAxis& y) {
    return magnitude(x.axis.in) > magnitude(y.axis.in);
  });
  SmallVector<NormalAxis> merged;
  for (const NormalAxis& ax : order) {
    if (!merged.empty() && !(row_major_groups && ax.reduced)) {
      NormalAxis& prev = merged.back();
      const auto e = static_cast<std::ptrdiff_t>(ax.axis.extent);
      if (prev.reduced == ax.reduced && prev.axis.in == ax.axis.in * e && prev.axis.out == ax.axis.out * e) {
        prev.axis.extent *= ax.axis.extent;
        prev.axis.in = ax.axis.in;
        prev.axis.out = ax.axis.out;
        continue;
      }
    }
    merged.push_back(ax);
  }
  for (const NormalAxis& ax : merged) {
    if (!ax.reduced) {
      p.kept.push_back(ax.axis);
    } else if (!row_major_groups) {
      p.reduced.push_back(ax.axis);
    }
  }
  if (row_major_groups) {
    for (std::size_t i = 0; i < nd; ++i) {
      if (!reduced[i] || a.shape[i] == 1) continue;
      const ReduceAxis ax{a.shape[i], a.strides[i] * item, 0};
      if (!p.reduced.empty() && p.reduced.back().in == ax.in * static_cast<std::ptrdiff_t>(ax.extent)) {
        p.reduced.back().extent *= ax.extent;
        p.reduced.back().in = ax.in;
        continue;
      }
      p.reduced.push_back(ax);
    }
  }
  // Every reduced axis had extent 1: each result is a reduction of one
  // element.
  if (p.reduced.empty()) p.reduced.push_back(ReduceAxis{1, 0, 0});
  p.rows = !merged.empty() && !merged.back().reduced;
  return p;
}

const char* op_name(ReduceOp op) {
  switch (op) {
    case ReduceOp::kSum:
      return "sum";
    case ReduceOp::kMean:
      return "mean";
    case ReduceOp::kProd:
      return "prod";
    case ReduceOp::kMax:
      return "max";
    case ReduceOp::kMin:
      return "min";
    case ReduceOp::kArgmax:
      return "argmax";
    case ReduceOp::kArgmin:
      return "argmin";
    case ReduceOp::kLogSumExp:
      return "logsumexp";
    case ReduceOp::kVar:
      return "var";
  }
  return "reduction";
}

bool selects_max(ReduceOp op) { return op == ReduceOp::kMax || op == ReduceOp::kArgmax; }
bool is_selection(ReduceOp op) {
  return selects_max(op) || op == ReduceOp::kMin || op == ReduceOp::kArgmin;
}

// The message for a selection over no elements, worded as NumPy words it.
Error empty_selection(ReduceOp op) {
  if (op == ReduceOp::kArgmax || op == ReduceOp::kArgmin)
    return value_error(std::string("attempt to get ") + op_name(op) + " of an empty sequence");
  return value_error(std::string("zero-size array to reduction operation ") +
                     (selects_max(op) ? "maximum" : "minimum") + " which has no identity");
}

// The shared checks and shapes of a reduction.
struct Layout {
  SmallVector<bool> reduced;
  Shape out_shape;
  std::size_t count = 1;  // elements in each group
  std::size_t groups = 1;
};

Layout layout_of(const View& a, const Shape& axes, bool keepdims) {
  Layout l;
  const std::size_t nd = a.shape.size();
  l.reduced.assign(nd, false);
  for (std::size_t ax : axes) l.reduced[ax] = true;
  for (std::size_t i = 0; i < nd; ++i) {
    if (!l.reduced[i]) {
      l.out_shape.push_back(a.shape[i]);
      l.groups *= a.shape[i];
    } else {
      l.count *= a.shape[i];
      if (keepdims) l.out_shape.push_back(1);
    }
  }
  return l;
}

// Reductions of fewer input elements stay on the calling thread, as the
// element-wise operations' walks do below the same count.
constexpr std::size_t kParallelReduce = std::size_t{1} << 17;

// Runs `kernel` on `p`, cut along one kept axis into chunks for the pool when
// the input is large. Every result is its own group's reduction, computed by
// one kernel call over the whole group, so the cut changes no bit of any
// result: the same values for every thread count. Rows are cut along the row
// (results side by side in memory), other problems along their longest kept
// axis.
void run_split(void (*kernel)(const ReduceProblem&), const ReduceProblem& p) {
  std::size_t groups = 1, per_group = 1;
  for (const ReduceAxis& ax : p.kept) groups *= ax.extent;
  for (const ReduceAxis& ax : p.reduced) per_group *= ax.extent;
  const std::size_t threads = num_threads();
  if (threads < 2 || p.kept.empty() || groups * per_group < kParallelReduce || inside_parallel_task())
    return kernel(p);
  std::size_t axis = p.kept.size() - 1;
  if (!p.rows)
    for (std::size_t i = 0; i < p.kept.size(); ++i)
      if (p.kept[i].extent > p.kept[axis].extent) axis = i;
  const ReduceAxis cut = p.kept[axis];
  const std::size_t grain = p.rows ? 64 : 1;  // whole vectors of a row
  const std::size_t chunks = std::min(threads, cut.extent / grain);
  if (chunks < 2) return kernel(p);
  parallel_for(chunks, [&](std::size_t i) {
    const std::size_t first = chunk_begin(i, chunks, cut.extent, grain);
    const std::size_t last = chunk_begin(i + 1, chunks, cut.extent, grain);
    if (first == last) return;
    ReduceProblem part = p;
    part.kept[axis].extent = last - first;
    part.in += static_cast<std::ptrdiff_t>(first) * cut.in;
    part.out_origin += static_cast<std::ptrdiff_t>(first) * cut.out;
    kernel(part);
  });
}

// One binary32 result per group, row-major.
std::unique_ptr<float[]> partial(std::size_t groups) { return std::unique_ptr<float[]>(new float[groups]); }

void sums_into(const ReduceKernels& k, const View& a, const Layout& l, float* out, ReduceMap map,
               const float* center) {
  if (l.count == 0) {
    // No kernel runs over an empty group: the sum of nothing is +0.
    std::fill(out, out + l.groups, 0.0f);
    return;
  }
  ReduceProblem p = plan(a, l.reduced, false, DType::F32, out);
  p.map = map;
  p.center = center;
  run_split(k.sum, p);
}

// Binary32 means, as engine::mean computes them.
void means_into(const ReduceKernels& k, const View& a, const Layout& l, float* out) {
  sums_into(k, a, l, out, ReduceMap::kNone, nullptr);
  for (std::size_t i = 0; i < l.groups; ++i) out[i] /= static_cast<float>(l.count);
}

void store_all(DType d, const float* src, std::size_t n, Storage& out) {
  if (d == DType::F32) {
    std::memcpy(out.mutable_data(), src, n * sizeof(float));
    return;
  }
  store_run(d, src, n, static_cast<char*>(out.mutable_data()), 1);
}

}  // namespace

const ReduceKernels& reduce_kernels() {
  static const ReduceKernels& chosen = choose_reduce_kernels();
  return chosen;
}

Result<Storage> reduce_with(const ReduceKernels& kernels, ReduceOp op, const View& a, const Shape& axes,
                            bool keepdims, double ddof) {
  const DType d = a.dtype;
  if (d == DType::Bool) return type_error(std::string("Tensor Dtype not supported for this operation: ") + op_name(op));
  const Layout l = layout_of(a, axes, keepdims);
  const bool argument = op == ReduceOp::kArgmax || op == ReduceOp::kArgmin;
  if (is_selection(op) && l.count == 0) return empty_selection(op);
  if (argument && l.count > (std::size_t{1} << 24))
    return value_error(std::string(op_name(op)) + ": a reduced group of " + std::to_string(l.count) +
                       " elements has indices beyond 2^24, which float32 cannot hold exactly");

  Storage out = Storage::allocate_row_major(argument ? DType::F32 : d, l.out_shape);
  if (out.numel() == 0) return out;
  char* out_data = static_cast<char*>(out.mutable_data());

  if (op == ReduceOp::kSum && axes.empty()) {
    // Nothing summed: the elements themselves, bit for bit.
    const std::size_t nd = a.shape.size();
    const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
    Strides bytes(nd, 0);
    for (std::size_t i = 0; i < nd; ++i) bytes[i] = a.strides[i] * item;
    gather_row_major(a.data, a.shape, bytes.data(), dtype_size(d), out_data);
    return out;
  }
  if (l.count == 0 && op != ReduceOp::kMean && op != ReduceOp::kVar) {
    float fill = 0.0f;
    if (op == ReduceOp::kProd) fill = 1.0f;
    if (op == ReduceOp::kLogSumExp) fill = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < l.groups; ++i) store_one(d, fill, out_data + i * dtype_size(d));
    return out;
  }

  switch (op) {
    case ReduceOp::kSum:
      run_split(kernels.sum, plan(a, l.reduced, false, d, out_data));
      return out;
    case ReduceOp::kProd:
      run_split(kernels.prod, plan(a, l.reduced, false, d, out_data));
      return out;
    case ReduceOp::kMax:
      run_split(kernels.max, plan(a, l.reduced, true, d, out_data));
      return out;
    case ReduceOp::kMin:
      run_split(kernels.min, plan(a, l.reduced, true, d, out_data));
      return out;
    case ReduceOp::kArgmax:
    case ReduceOp::kArgmin: {
      const std::unique_ptr<std::size_t[]> index(new std::size_t[l.groups]);
      const std::unique_ptr<float[]> values = partial(l.groups);
      ReduceProblem p = plan(a, l.reduced, true, DType::F32, values.get());
      p.index = index.get();
      run_split(op == ReduceOp::kArgmax ? kernels.max : kernels.min, p);
      float* dst = out.mutable_data_as<float>();
      for (std::size_t i = 0; i < l.groups; ++i) dst[i] = static_cast<float>(index[i]);
      return out;
    }
    case ReduceOp::kMean: {
      const std::unique_ptr<float[]> m = partial(l.groups);
      means_into(kernels, a, l, m.get());
      store_all(d, m.get(), l.groups, out);
      return out;
    }
    case ReduceOp::kLogSumExp: {
      const std::unique_ptr<float[]> m = partial(l.groups);
      run_split(kernels.max, plan(a, l.reduced, true, DType::F32, m.get()));
      const std::unique_ptr<float[]> s = partial(l.groups);
      sums_into(kernels, a, l, s.get(), ReduceMap::kExpShift, m.get());
      // An infinite or NaN maximum is the result: all -inf gives -inf, any
      // +inf gives +inf (exp(x - m) would be NaN there).
      for (std::size_t i = 0; i < l.groups; ++i) s[i] = std::isfinite(m[i]) ? std::log(s[i]) + m[i] : m[i];
      store_all(d, s.get(), l.groups, out);
      return out;
    }
    case ReduceOp::kVar: {
      const std::unique_ptr<float[]> m = partial(l.groups);
      means_into(kernels, a, l, m.get());
      const std::unique_ptr<float[]> q = partial(l.groups);
      sums_into(kernels, a, l, q.get(), ReduceMap::kSquareDev, m.get());
      // As NumPy: fewer elements than ddof divide by zero (inf, or NaN for
      // a zero sum of squares).
      const float divisor = static_cast<float>(std::max(static_cast<double>(l.count) - ddof, 0.0));
      for (std::size_t i = 0; i < l.groups; ++i) q[i] /= divisor;
      store_all(d, q.get(), l.groups, out);
      return out;
    }
  }
  return runtime_error("unknown reduction");
}

Result<Storage> reduce_select_backward_with(const ReduceKernels& kernels, ReduceOp op, const View& a,
                                            const Storage& g, const Shape& axes, bool keepdims) {
  const DType d = a.dtype;
  if (!is_selection(op)) return runtime_error(std::string("no selection gradient for ") + op_name(op));
  if (d == DType::Bool) return type_error(std::string("Tensor Dtype not supported for this operation: ") + op_name(op));
  const Layout l = layout_of(a, axes, keepdims);
  if (l.count == 0) return empty_selection(op);
  if (g.dtype() == DType::Bool)
    return type_error(std::string("Tensor Dtype not supported for this operation: ") + op_name(op));
  if (g.shape() != l.out_shape)
    return runtime_error("gradient of shape " + format_shape(g.shape()) + " for a result of shape " +
                         format_shape(l.out_shape));

  Storage out = Storage::allocate_row_major(d, a.shape);
  std::memset(out.mutable_data(), 0, out.nbytes());  // all-zero bytes are +0 in every format
  if (l.groups == 0) return out;
  const std::unique_ptr<std::size_t[]> index(new std::size_t[l.groups]);
  const std::unique_ptr<float[]> values = partial(l.groups);
  ReduceProblem p = plan(a, l.reduced, true, DType::F32, values.get());
  p.index = index.get();
  run_split(selects_max(op) ? kernels.max : kernels.min, p);

  // Walk the groups in row-major order, carrying the offset of the group's
  // first element in the result and of its gradient in g.
  const std::size_t nd = a.shape.size();
  const Strides rm = row_major_strides(a.shape);
  SmallVector<std::size_t> kept, red;
  SmallVector<std::ptrdiff_t> g_step;
  for (std::size_t i = 0, k = 0; i < nd; ++i) {
    if (l.reduced[i]) {
      red.push_back(i);
      if (keepdims) ++k;
      continue;
    }
    kept.push_back(i);
    g_step.push_back(g.strides()[k++]);
  }
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
  const auto g_item = static_cast<std::ptrdiff_t>(g.itemsize());
  const char* g_data = static_cast<const char*>(g.data());
  char* dst = static_cast<char*>(out.mutable_data());
  SmallVector<std::size_t> at(kept.size(), 0);
  std::ptrdiff_t base = 0, g_off = 0;
  for (std::size_t gi = 0;; ++gi) {
    std::ptrdiff_t off = base;
    std::size_t f = index[gi];
    for (std::size_t r = red.size(); r-- > 0;) {
      off += static_cast<std::ptrdiff_t>(f % a.shape[red[r]]) * rm[red[r]];
      f /= a.shape[red[r]];
    }
    const char* src = g_data + g_off * g_item;
    if (g.dtype() == d) {
      std::memcpy(dst + off * item, src, dtype_size(d));
    } else {
      store_one(d, widen_one(g.dtype(), src), dst + off * item);
    }
    if (gi + 1 == l.groups) break;
    for (std::size_t k = kept.size(); k-- > 0;) {
      base += rm[kept[k]];
      g_off += g_step[k];
      if (++at[k] < a.shape[kept[k]]) break;
      base -= static_cast<std::ptrdiff_t>(a.shape[kept[k]]) * rm[kept[k]];
      g_off -= static_cast<std::ptrdiff_t>(a.shape[kept[k]]) * g_step[k];
      at[k] = 0;
    }
  }
  return out;
}

Result<Storage> sum_with(const ReduceKernels& kernels, const Storage& a, const Shape& axes, bool keepdims) {
  return reduce_with(kernels, ReduceOp::kSum, view_of(a), axes, keepdims);
}

Result<Storage> sum(const Storage& a, const Shape& axes, bool keepdims) {
  LongWork guard(a.numel());
  return sum_with(reduce_kernels(), a, axes, keepdims);
}

Result<Storage> reduce(ReduceOp op, const Storage& a, const Shape& axes, bool keepdims, double ddof) {
  LongWork guard(a.numel());
  return reduce_with(reduce_kernels(), op, view_of(a), axes, keepdims, ddof);
}

Result<Storage> reduce_select_backward(ReduceOp op, const Storage& a, const Storage& g, const Shape& axes,
                                       bool keepdims) {
  LongWork guard(a.numel());
  return reduce_select_backward_with(reduce_kernels(), op, view_of(a), g, axes, keepdims);
}

}  // namespace quarn::engine
