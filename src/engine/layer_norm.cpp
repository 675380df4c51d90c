// Layer normalisation and padding. Layer normalisation works on rows of
// binary32: a row-major binary32 operand is read in place, anything else is
// copied (half formats widened once) and the results rounded once.
#include <cstring>

#include "engine/cpu_features.hpp"
#include "engine/f32_layout.hpp"
#include "engine/layer_norm_isa.hpp"
#include "engine/nn_ops.hpp"
#include "runtime/blocking.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::engine {

namespace {

const LayerNormKernels& choose_layer_norm_kernels() {
#if defined(__x86_64__)
  if (cpu_features().has_avx512()) return layer_norm_kernels_avx512();
  if (cpu_features().has_avx2_fma()) return layer_norm_kernels_avx2();
#endif
  return layer_norm_kernels_baseline();
}

// Rows per task: cut by the shape alone (about 256K elements a task), so the
// weight and bias gradients, summed per task and then in task order, have
// the same bits on any number of threads.
constexpr std::size_t kTaskElements = std::size_t{1} << 18;

std::size_t task_count(std::size_t rows, std::size_t n) {
  const std::size_t per = std::max<std::size_t>(1, kTaskElements / std::max<std::size_t>(n, 1));
  return std::max<std::size_t>(1, (rows + per - 1) / per);
}

bool dense_f32(const Storage& s) { return s.dtype() == DType::F32 && s.strides() == row_major_strides(s.shape()); }

// Binary32 elements of `s`, row-major: its own memory when it already is
// that, else `copy` filled.
const float* f32_rows(const Storage& s, std::vector<float>& copy) {
  if (dense_f32(s)) return s.data_as<float>();
  copy = f32_of(s);
  return copy.data();
}

std::vector<float> parameter(const Storage* p, std::size_t n, float fill) {
  if (p == nullptr) return std::vector<float>(n, fill);
  return f32_of(*p);
}

// A storage of `dtype` and `shape` made from binary32 `values`: taken as it
// is for binary32 (values was allocated as its buffer), rounded once otherwise.
Storage finished(DType dtype, const Shape& shape, std::vector<float>& values) {
  return rounded_storage(dtype, shape, values.data());
}

}  // namespace

const LayerNormKernels& layer_norm_kernels() {
  static const LayerNormKernels& chosen = choose_layer_norm_kernels();
  return chosen;
}

Storage layer_norm(const Storage& x, std::size_t count, const Storage* weight, const Storage* bias, float eps,
                   std::vector<float>* stats) {
  LongWork guard(x.numel());
  const std::size_t rows = count == 0 ? 0 : x.numel() / count;
  std::vector<float> copy;
  const float* xs = f32_rows(x, copy);
  const std::vector<float> w = parameter(weight, count, 1.0f), b = parameter(bias, count, 0.0f);
  stats->assign(2 * rows, 0.0f);
  Storage out = Storage::allocate_row_major(x.dtype(), x.shape());
  std::vector<float> wide;
  float* y = out.mutable_data_as<float>();
  if (x.dtype() != DType::F32) {
    wide.resize(x.numel());
    y = wide.data();
  }
  LayerNormArgs args{xs, nullptr, w.data(), b.data(), y, nullptr, stats->data(), count, eps};
  const LayerNormKernels& k = layer_norm_kernels();
  const std::size_t tasks = task_count(rows, count);
  parallel_for(tasks, [&](std::size_t t) {
    k.forward(args, chunk_begin(t, tasks, rows, 1), chunk_begin(t + 1, tasks, rows, 1));
  });
  if (x.dtype() != DType::F32) round_from_f32(x.dtype(), wide.data(), out.mutable_data(), out.numel());
  return out;
}

LayerNormGrads layer_norm_backward(const Storage& x, std::size_t count, const Storage* weight,
                                   const std::vector<float>& stats, const Storage& g, bool want_x,
                                   bool want_weight, bool want_bias) {
  LongWork guard(x.numel());
  const std::size_t rows = count == 0 ? 0 : x.numel() / count;
  std::vector<float> x_copy, g_copy;
  const float* xs = f32_rows(x, x_copy);
  const float* gs = f32_rows(g, g_copy);
  const std::vector<float> w = parameter(weight, count, 1.0f);
  LayerNormGrads out;
  std::vector<float> dx;
  if (want_x) {
    if (x.dtype() == DType::F32) {
      out.x = Storage::allocate_row_major(DType::F32, x.shape());
    } else {
      dx.resize(x.numel());
    }
  }
  float* dx_data = !want_x ? nullptr : x.dtype() == DType::F32 ? out.x.mutable_data_as<float>() : dx.data();
  const LayerNormArgs args{xs, gs, w.data(), nullptr, nullptr, dx_data, const_cast<float*>(stats.data()), count, 0.0f};
  const LayerNormKernels& k = layer_norm_kernels();
  const std::size_t tasks = task_count(rows, count);
  // Each task sums its rows' weight and bias gradients apart; the partial
  // sums are then added in task order.
  std::vector<float> partial(tasks * 2 * count, 0.0f);
  parallel_for(tasks, [&](std::size_t t) {
    float* gw = partial.data() + t * 2 * count;
    k.backward(args, chunk_begin(t, tasks, rows, 1), chunk_begin(t + 1, tasks, rows, 1), gw, gw + count);
  });
  for (std::size_t t = 1; t < tasks; ++t)
    for (std::size_t j = 0; j < 2 * count; ++j) partial[j] += partial[t * 2 * count + j];
  if (want_x && x.dtype() != DType::F32) out.x = finished(x.dtype(), x.shape(), dx);
  const Shape param_shape{count};
  if (want_weight) out.weight = rounded_storage(x.dtype(), param_shape, partial.data());
  if (want_bias) out.bias = rounded_storage(x.dtype(), param_shape, partial.data() + count);
  return out;
}

// ---- Padding -------------------------------------------------------------------------

namespace {

// For each axis, the source index of every output position (-1: the
// constant).
std::vector<std::vector<std::ptrdiff_t>> sources(const Shape& shape, const std::vector<std::size_t>& before,
                                                 const std::vector<std::size_t>& after, PadMode mode) {
  std::vector<std::vector<std::ptrdiff_t>> src(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const auto n = static_cast<std::ptrdiff_t>(shape[i]);
    const auto lo = static_cast<std::ptrdiff_t>(before[i]);
    const std::size_t total = shape[i] + before[i] + after[i];
    src[i].resize(total);
    for (std::size_t o = 0; o < total; ++o) {
      std::ptrdiff_t k = static_cast<std::ptrdiff_t>(o) - lo;
      if (k < 0 || k >= n) {
        switch (mode) {
          case PadMode::kConstant: k = -1; break;
          case PadMode::kReplicate: k = k < 0 ? 0 : n - 1; break;
          case PadMode::kReflect: k = k < 0 ? -k : 2 * (n - 1) - k; break;
        }
      }
      src[i][o] = k;
    }
  }
  return src;
}

// Calls f(out_index, in_offset_or_-1) for every output element in
// row-major order; in_offset is in elements of `in_strides`.
template <class F>
void walk(const std::vector<std::vector<std::ptrdiff_t>>& src, const Strides& in_strides, F&& f) {
  const std::size_t nd = src.size();
  std::size_t total = 1;
  for (const auto& s : src) total *= s.size();
  if (total == 0) return;
  std::vector<std::size_t> at(nd, 0);
  for (std::size_t o = 0; o < total; ++o) {
    std::ptrdiff_t off = 0;
    bool inside = true;
    for (std::size_t i = 0; i < nd; ++i) {
      const std::ptrdiff_t k = src[i][at[i]];
      if (k < 0) {
        inside = false;
        break;
      }
      off += k * in_strides[i];
    }
    f(o, inside ? off : -1);
    for (std::size_t i = nd; i-- > 0;) {
      if (++at[i] < src[i].size()) break;
      at[i] = 0;
    }
  }
}

Shape padded_shape(const Shape& shape, const std::vector<std::size_t>& before, const std::vector<std::size_t>& after) {
  Shape out = shape;
  for (std::size_t i = 0; i < shape.size(); ++i) out[i] += before[i] + after[i];
  return out;
}

}  // namespace

Storage pad(const Storage& a, const std::vector<std::size_t>& before, const std::vector<std::size_t>& after,
            PadMode mode, float value) {
  Storage out = Storage::allocate_row_major(a.dtype(), padded_shape(a.shape(), before, after));
  LongWork guard(out.numel());
  const std::size_t item = a.itemsize();
  // The fill's bit pattern in the dtype: rounded once, copied as bits.
  unsigned char fill[4] = {};
  Storage one = rounded_storage(a.dtype() == DType::Bool ? DType::F32 : a.dtype(), Shape{}, &value);
  if (a.dtype() == DType::Bool) {
    fill[0] = value != 0.0f;
  } else {
    std::memcpy(fill, one.data(), item);
  }
  const auto* in = static_cast<const unsigned char*>(a.data());
  auto* dst = static_cast<unsigned char*>(out.mutable_data());
  walk(sources(a.shape(), before, after, mode), a.strides(), [&](std::size_t o, std::ptrdiff_t off) {
    std::memcpy(dst + o * item, off < 0 ? fill : in + off * static_cast<std::ptrdiff_t>(item), item);
  });
  return out;
}

Storage pad_backward(const Shape& shape, DType dtype, const std::vector<std::size_t>& before,
                     const std::vector<std::size_t>& after, PadMode mode, const Storage& g) {
  LongWork guard(g.numel());
  const std::vector<float> gs = f32_of(g);  // row-major over the padded shape
  std::vector<float> acc(numel(shape), 0.0f);
  walk(sources(shape, before, after, mode), row_major_strides(shape), [&](std::size_t o, std::ptrdiff_t off) {
    if (off >= 0) acc[static_cast<std::size_t>(off)] += gs[o];
  });
  return rounded_storage(dtype, shape, acc.data());
}

}  // namespace quarn::engine
