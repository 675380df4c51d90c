// Max and average pooling: strided window reductions over each channel
// plane, in float32 (the half formats widened first and rounded once).
// Planes are shared out on the pool in ranges fixed by the shape, each
// plane whole on one task and written to its own part of the result.
#include <algorithm>
#include <cmath>

#include "engine/conv/conv.hpp"
#include "engine/convert.hpp"
#include "runtime/blocking.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::engine {

namespace {

using std::ptrdiff_t;
using std::size_t;

constexpr size_t kParallelWork = size_t{1} << 18;

ptrdiff_t sgn(size_t v) { return static_cast<ptrdiff_t>(v); }

struct Planes {
  size_t count, h, w;  // N * C planes of h x w
};

Planes planes_of(const Shape& x) { return {x[0] * x[1], x[2], x[3]}; }

template <class Body>
void over_planes(size_t planes, size_t work, Body&& body) {
  if (planes < 2 || work < kParallelWork || num_threads() == 1) {
    body(size_t{0}, planes);
    return;
  }
  const size_t tasks = std::min<size_t>(planes, 64);
  parallel_for(tasks, [&](size_t t) { body(chunk_begin(t, tasks, planes, 1), chunk_begin(t + 1, tasks, planes, 1)); });
}

// The input rows [lo, hi) (as window rows i, input row start + i * step)
// that window position `o` covers inside an extent of `size`.
struct Range {
  ptrdiff_t start;
  size_t lo, hi;
};
Range window_range(size_t o, size_t stride, size_t pad, size_t k, size_t dil, size_t size) {
  const ptrdiff_t start = sgn(o * stride) - sgn(pad);
  size_t lo = 0, hi = k;
  while (lo < k && start + sgn(lo * dil) < 0) ++lo;
  while (hi > lo && start + sgn((hi - 1) * dil) >= sgn(size)) --hi;
  return {start, lo, hi};
}

// The flat position in the plane of the first largest element of the
// window at (y, x): the first NaN if there is one.
size_t argmax_of(const float* plane, const Planes& p, const Window& win, size_t y, size_t x) {
  const Range r = window_range(y, win.sh, win.ph, win.kh, win.dh, p.h);
  const Range c = window_range(x, win.sw, win.pw, win.kw, win.dw, p.w);
  size_t best = static_cast<size_t>(r.start + sgn(r.lo * win.dh)) * p.w +
                static_cast<size_t>(c.start + sgn(c.lo * win.dw));
  float value = plane[best];
  for (size_t i = r.lo; i < r.hi && !std::isnan(value); ++i) {
    const float* row = plane + static_cast<size_t>(r.start + sgn(i * win.dh)) * p.w;
    for (size_t j = c.lo; j < c.hi; ++j) {
      const float v = row[c.start + sgn(j * win.dw)];
      if (v > value || std::isnan(v)) {
        value = v;
        best = static_cast<size_t>(row - plane) + static_cast<size_t>(c.start + sgn(j * win.dw));
        if (std::isnan(v)) break;
      }
    }
  }
  return best;
}

// The divisor of average pooling's window at (y, x), as the convention
// PyTorch users know: with padding counted, the window clipped to the padded
// input; without, to the input itself.
float divisor_of(const Planes& p, const Window& win, size_t y, size_t x) {
  auto extent = [](size_t o, size_t stride, size_t pad, size_t k, size_t size, bool count_pad) {
    const ptrdiff_t start = sgn(o * stride) - sgn(pad);
    ptrdiff_t end = std::min(start + sgn(k), sgn(size + pad));
    if (count_pad) return end - start;
    return std::min(end, sgn(size)) - std::max<ptrdiff_t>(start, 0);
  };
  return static_cast<float>(extent(y, win.sh, win.ph, win.kh, p.h, win.count_pad) *
                            extent(x, win.sw, win.pw, win.kw, p.w, win.count_pad));
}

Storage f32_row_major(const Storage& s) { return row_major(widened_f32(s)); }

Storage in_dtype(DType dtype, Storage wide) {
  if (dtype == DType::F32) return wide;
  Storage out = Storage::allocate_row_major(dtype, wide.shape());
  round_from_f32(dtype, wide.data_as<float>(), out.mutable_data(), wide.numel());
  return out;
}

Shape pooled_shape(const Shape& x, const Window& win) { return Shape{x[0], x[1], win.oh, win.ow}; }

}  // namespace

Storage max_pool(const Storage& x, const Window& win) {
  const Planes p = planes_of(x.shape());
  const size_t outputs = win.oh * win.ow, work = p.count * outputs * win.kh * win.kw;
  LongWork guard(work + x.numel());
  const Storage xf = f32_row_major(x);
  Storage y = Storage::allocate_row_major(DType::F32, pooled_shape(x.shape(), win));
  const float* src = xf.data_as<float>();
  float* dst = y.mutable_data_as<float>();
  over_planes(p.count, work, [&](size_t first, size_t last) {
    for (size_t q = first; q < last; ++q) {
      const float* plane = src + q * p.h * p.w;
      float* out = dst + q * outputs;
      for (size_t oy = 0; oy < win.oh; ++oy)
        for (size_t ox = 0; ox < win.ow; ++ox) out[oy * win.ow + ox] = plane[argmax_of(plane, p, win, oy, ox)];
    }
  });
  return in_dtype(x.dtype(), std::move(y));
}

Storage max_pool_backward(const Storage& x, const Storage& g, const Window& win) {
  const Planes p = planes_of(x.shape());
  const size_t outputs = win.oh * win.ow, work = p.count * outputs * win.kh * win.kw;
  LongWork guard(work + x.numel());
  const Storage xf = f32_row_major(x), gf = f32_row_major(g);
  Storage dx = Storage::allocate_row_major(DType::F32, x.shape());
  const float* src = xf.data_as<float>();
  const float* grad = gf.data_as<float>();
  float* dst = dx.mutable_data_as<float>();
  over_planes(p.count, work, [&](size_t first, size_t last) {
    for (size_t q = first; q < last; ++q) {
      const float* plane = src + q * p.h * p.w;
      const float* gq = grad + q * outputs;
      float* out = dst + q * p.h * p.w;
      std::fill(out, out + p.h * p.w, 0.0f);
      for (size_t oy = 0; oy < win.oh; ++oy)
        for (size_t ox = 0; ox < win.ow; ++ox) out[argmax_of(plane, p, win, oy, ox)] += gq[oy * win.ow + ox];
    }
  });
  return in_dtype(x.dtype(), std::move(dx));
}

Storage avg_pool(const Storage& x, const Window& win) {
  const Planes p = planes_of(x.shape());
  const size_t outputs = win.oh * win.ow, work = p.count * outputs * win.kh * win.kw;
  LongWork guard(work + x.numel());
  const Storage xf = f32_row_major(x);
  Storage y = Storage::allocate_row_major(DType::F32, pooled_shape(x.shape(), win));
  const float* src = xf.data_as<float>();
  float* dst = y.mutable_data_as<float>();
  over_planes(p.count, work, [&](size_t first, size_t last) {
    for (size_t q = first; q < last; ++q) {
      const float* plane = src + q * p.h * p.w;
      float* out = dst + q * outputs;
      for (size_t oy = 0; oy < win.oh; ++oy) {
        const Range r = window_range(oy, win.sh, win.ph, win.kh, 1, p.h);
        for (size_t ox = 0; ox < win.ow; ++ox) {
          const Range c = window_range(ox, win.sw, win.pw, win.kw, 1, p.w);
          float s = 0.0f;
          for (size_t i = r.lo; i < r.hi; ++i) {
            const float* row = plane + static_cast<size_t>(r.start + sgn(i)) * p.w;
            for (size_t j = c.lo; j < c.hi; ++j) s += row[c.start + sgn(j)];
          }
          out[oy * win.ow + ox] = s / divisor_of(p, win, oy, ox);
        }
      }
    }
  });
  return in_dtype(x.dtype(), std::move(y));
}

Storage avg_pool_backward(const Shape& x_shape, const Storage& g, const Window& win) {
  const Planes p = planes_of(x_shape);
  const size_t outputs = win.oh * win.ow, work = p.count * outputs * win.kh * win.kw;
  LongWork guard(work + g.numel());
  const Storage gf = f32_row_major(g);
  Storage dx = Storage::allocate_row_major(DType::F32, x_shape);
  const float* grad = gf.data_as<float>();
  float* dst = dx.mutable_data_as<float>();
  over_planes(p.count, work, [&](size_t first, size_t last) {
    for (size_t q = first; q < last; ++q) {
      const float* gq = grad + q * outputs;
      float* plane = dst + q * p.h * p.w;
      std::fill(plane, plane + p.h * p.w, 0.0f);
      for (size_t oy = 0; oy < win.oh; ++oy) {
        const Range r = window_range(oy, win.sh, win.ph, win.kh, 1, p.h);
        for (size_t ox = 0; ox < win.ow; ++ox) {
          const Range c = window_range(ox, win.sw, win.pw, win.kw, 1, p.w);
          const float share = gq[oy * win.ow + ox] / divisor_of(p, win, oy, ox);
          for (size_t i = r.lo; i < r.hi; ++i) {
            float* row = plane + static_cast<size_t>(r.start + sgn(i)) * p.w;
            for (size_t j = c.lo; j < c.hi; ++j) row[c.start + sgn(j)] += share;
          }
        }
      }
    }
  });
  return in_dtype(g.dtype(), std::move(dx));
}

}  // namespace quarn::engine
