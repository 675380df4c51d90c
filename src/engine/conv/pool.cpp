// Max and average pooling: strided window reductions over each channel
// plane, in float32 (the half formats widened first and rounded once).
// Planes are shared out on the pool in ranges fixed by the shape, each
// plane whole on one task and written to its own part of the result.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

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

// The output columns [lo, hi) whose window column j lies inside the input
// (x * sw - pw + j * dw in [0, width)).
struct Cols {
  size_t lo, hi;
  ptrdiff_t base;  // the input column of output column 0
};
Cols columns_of(const Window& win, size_t j, size_t width) {
  const ptrdiff_t base = sgn(j * win.dw) - sgn(win.pw);
  const ptrdiff_t sw = sgn(win.sw);
  const ptrdiff_t lo = base >= 0 ? 0 : (-base + sw - 1) / sw;
  const ptrdiff_t room = sgn(width) - base;
  const ptrdiff_t hi = room <= 0 ? 0 : (room + sw - 1) / sw;
  const ptrdiff_t last = sgn(win.ow);
  const ptrdiff_t l = std::clamp<ptrdiff_t>(lo, 0, last);
  return {static_cast<size_t>(l), static_cast<size_t>(std::clamp<ptrdiff_t>(hi, l, last)), base};
}

// The largest element of every window of output row `oy` (NaN if the window
// holds one): row_argmax's values, without positions to keep.
void row_max(const float* plane, const Planes& p, const Window& win, size_t oy, float* best) {
  for (size_t ox = 0; ox < win.ow; ++ox) best[ox] = -std::numeric_limits<float>::infinity();
  const Range r = window_range(oy, win.sh, win.ph, win.kh, win.dh, p.h);
  for (size_t i = r.lo; i < r.hi; ++i) {
    const float* row = plane + (r.start + sgn(i * win.dh)) * sgn(p.w);
    for (size_t j = 0; j < win.kw; ++j) {
      const Cols c = columns_of(win, j, p.w);
      if (c.lo == c.hi) continue;
      const float* from = row + (c.base + sgn(c.lo * win.sw));
      float* out = best + c.lo;
      const size_t n = c.hi - c.lo;
      if (win.sw == 2) {  // the usual stride: a constant the compiler can vectorise
        for (size_t t = 0; t < n; ++t) {
          const float v = from[2 * t], b = out[t];
          out[t] = (v > b || v != v) ? v : b;
        }
        continue;
      }
      for (size_t t = 0; t < n; ++t) {
        const float v = from[t * win.sw], b = out[t];
        out[t] = (v > b || v != v) ? v : b;
      }
    }
  }
}

// For every window of output row `oy`: its largest element and where it is
// (flat in the plane), the first in row-major order, or the first NaN. The
// window's positions are visited in row-major order for all the row's
// windows at once, so the loops run along the input rows.
// Positions are Index: 32 bits for planes that allow it, which the loop
// vectorises twice as wide.
template <class Index>
void row_argmax(const float* plane, const Planes& p, const Window& win, size_t oy, float* best, Index* at) {
  const Range r = window_range(oy, win.sh, win.ph, win.kh, win.dh, p.h);
  // Each window starts from its first element inside the input at -inf, so
  // that only a larger element (or a first NaN) moves it.
  const ptrdiff_t first_row = (r.start + sgn(r.lo * win.dh)) * sgn(p.w);
  // A dilated window can fall wholly into the padding (PyTorch's limit on
  // padding allows it): it keeps -inf and position -1, and sends nothing.
  for (size_t ox = 0; ox < win.ow; ++ox) {
    best[ox] = -std::numeric_limits<float>::infinity();
    const ptrdiff_t x0 = sgn(ox * win.sw) - sgn(win.pw);
    const ptrdiff_t skip = x0 >= 0 ? 0 : (-x0 + sgn(win.dw) - 1) / sgn(win.dw);
    const ptrdiff_t col = x0 + skip * sgn(win.dw);
    const bool empty = r.lo == r.hi || skip >= sgn(win.kw) || col >= sgn(p.w);
    at[ox] = empty ? Index{-1} : static_cast<Index>(first_row + col);
  }
  for (size_t i = r.lo; i < r.hi; ++i) {
    const ptrdiff_t ih = r.start + sgn(i * win.dh);
    const float* row = plane + ih * sgn(p.w);
    for (size_t j = 0; j < win.kw; ++j) {
      const Cols c = columns_of(win, j, p.w);
      for (size_t ox = c.lo; ox < c.hi; ++ox) {
        const ptrdiff_t ix = sgn(ox * win.sw) + c.base;
        const float v = row[ix];
        const float b = best[ox];
        const bool take = v > b || (v != v && b == b);
        best[ox] = take ? v : b;
        at[ox] = take ? static_cast<Index>(ih * sgn(p.w) + ix) : at[ox];
      }
    }
  }
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

// Windows that tile the plane: as wide as their stride, undilated and
// unpadded, all inside the input (any rows or columns past the last window
// belong to none), in a plane whose positions fit 32 bits. The usual 2 x 2
// pooling of a network is one such; these go through plain loops over the
// windows.
bool tiling(const Planes& p, const Window& win) {
  return win.kh == win.sh && win.kw == win.sw && win.dh == 1 && win.dw == 1 && win.ph == 0 && win.pw == 0 &&
         win.oh * win.sh <= p.h && win.ow * win.sw <= p.w &&
         p.h * p.w <= static_cast<size_t>(std::numeric_limits<std::int32_t>::max());
}

// max_pool's result over tiling windows: each window's elements in
// row-major order, as row_max takes them.
template <size_t KH, size_t KW>
void tiled_max(const float* plane, const Planes& p, const Window& win, float* out) {
  const size_t kh = KH ? KH : win.kh, kw = KW ? KW : win.kw;
  for (size_t oy = 0; oy < win.oh; ++oy, out += win.ow) {
    const float* top = plane + oy * kh * p.w;
    for (size_t ox = 0; ox < win.ow; ++ox) {
      float b = -std::numeric_limits<float>::infinity();
      for (size_t i = 0; i < kh; ++i)
        for (size_t j = 0; j < kw; ++j) {
          const float v = top[i * p.w + ox * kw + j];
          b = (v > b || v != v) ? v : b;
        }
      out[ox] = b;
    }
  }
}

// max_pool_backward over tiling windows: each window's gradient to its
// first largest element (the first NaN, if any), zeros elsewhere. `at`
// holds a row of windows' choices (win.ow of them).
template <size_t KH, size_t KW>
void tiled_max_backward(const float* plane, const float* grad, const Planes& p, const Window& win, float* dx,
                        std::int32_t* at) {
  const size_t kh = KH ? KH : win.kh, kw = KW ? KW : win.kw;
  std::fill(dx, dx + p.h * p.w, 0.0f);
  for (size_t oy = 0; oy < win.oh; ++oy, grad += win.ow) {
    const float* top = plane + oy * kh * p.w;
    // The choices first, in a loop of loads and selects that vectorises;
    // then the gradient to them.
    for (size_t ox = 0; ox < win.ow; ++ox) {
      float b = -std::numeric_limits<float>::infinity();
      std::int32_t choice = 0;
      for (size_t i = 0; i < kh; ++i)
        for (size_t j = 0; j < kw; ++j) {
          const float v = top[i * p.w + ox * kw + j];
          const bool take = v > b || (v != v && b == b);
          b = take ? v : b;
          choice = take ? static_cast<std::int32_t>(i * p.w + j) : choice;
        }
      at[ox] = choice;
    }
    float* to = dx + oy * kh * p.w;
    for (size_t ox = 0; ox < win.ow; ++ox) to[ox * kw + static_cast<size_t>(at[ox])] = grad[ox];
  }
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
  const bool tiled = tiling(p, win), two = tiled && win.kh == 2 && win.kw == 2;
  over_planes(p.count, work, [&](size_t first, size_t last) {
    for (size_t q = first; q < last; ++q) {
      if (two) {
        tiled_max<2, 2>(src + q * p.h * p.w, p, win, dst + q * outputs);
      } else if (tiled) {
        tiled_max<0, 0>(src + q * p.h * p.w, p, win, dst + q * outputs);
      } else {
        for (size_t oy = 0; oy < win.oh; ++oy)
          row_max(src + q * p.h * p.w, p, win, oy, dst + q * outputs + oy * win.ow);
      }
    }
  });
  return in_dtype(x.dtype(), std::move(y));
}

template <class Index>
void max_pool_scatter(const float* src, const float* grad, float* dst, const Planes& p, const Window& win,
                      size_t work) {
  const size_t outputs = win.oh * win.ow;
  over_planes(p.count, work, [&](size_t first, size_t last) {
    std::vector<float> best(win.ow);
    std::vector<Index> at(win.ow);
    for (size_t q = first; q < last; ++q) {
      float* out = dst + q * p.h * p.w;
      std::fill(out, out + p.h * p.w, 0.0f);
      for (size_t oy = 0; oy < win.oh; ++oy) {
        row_argmax(src + q * p.h * p.w, p, win, oy, best.data(), at.data());
        const float* gq = grad + q * outputs + oy * win.ow;
        // In window order, so overlapping windows add up the same way on
        // any thread.
        for (size_t ox = 0; ox < win.ow; ++ox)
          if (at[ox] >= 0) out[at[ox]] += gq[ox];
      }
    }
  });
}

Storage max_pool_backward(const Storage& x, const Storage& g, const Window& win) {
  const Planes p = planes_of(x.shape());
  const size_t outputs = win.oh * win.ow, work = p.count * outputs * win.kh * win.kw;
  LongWork guard(work + x.numel());
  const Storage xf = f32_row_major(x), gf = f32_row_major(g);
  Storage dx = Storage::allocate_row_major(DType::F32, x.shape());
  if (tiling(p, win)) {
    const bool two = win.kh == 2 && win.kw == 2;
    const float* src = xf.data_as<float>();
    const float* grad = gf.data_as<float>();
    float* dst = dx.mutable_data_as<float>();
    over_planes(p.count, work, [&](size_t first, size_t last) {
      std::vector<std::int32_t> at(win.ow);
      for (size_t q = first; q < last; ++q) {
        const size_t plane = q * p.h * p.w, outputs = q * win.oh * win.ow;
        if (two) {
          tiled_max_backward<2, 2>(src + plane, grad + outputs, p, win, dst + plane, at.data());
        } else {
          tiled_max_backward<0, 0>(src + plane, grad + outputs, p, win, dst + plane, at.data());
        }
      }
    });
  } else if (p.h * p.w <= std::numeric_limits<std::int32_t>::max()) {
    max_pool_scatter<std::int32_t>(xf.data_as<float>(), gf.data_as<float>(), dx.mutable_data_as<float>(), p, win, work);
  } else {
    max_pool_scatter<ptrdiff_t>(xf.data_as<float>(), gf.data_as<float>(), dx.mutable_data_as<float>(), p, win, work);
  }
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
      for (size_t oy = 0; oy < win.oh; ++oy) {
        float* out = dst + q * outputs + oy * win.ow;
        for (size_t ox = 0; ox < win.ow; ++ox) out[ox] = 0.0f;
        const Range r = window_range(oy, win.sh, win.ph, win.kh, 1, p.h);
        for (size_t i = r.lo; i < r.hi; ++i) {
          const float* row = plane + (r.start + sgn(i)) * sgn(p.w);
          for (size_t j = 0; j < win.kw; ++j) {
            const Cols c = columns_of(win, j, p.w);
            for (size_t ox = c.lo; ox < c.hi; ++ox) out[ox] += row[sgn(ox * win.sw) + c.base];
          }
        }
        for (size_t ox = 0; ox < win.ow; ++ox) out[ox] /= divisor_of(p, win, oy, ox);
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
    std::vector<float> share(win.ow);
    for (size_t q = first; q < last; ++q) {
      float* plane = dst + q * p.h * p.w;
      std::fill(plane, plane + p.h * p.w, 0.0f);
      for (size_t oy = 0; oy < win.oh; ++oy) {
        const float* gq = grad + q * outputs + oy * win.ow;
        for (size_t ox = 0; ox < win.ow; ++ox) share[ox] = gq[ox] / divisor_of(p, win, oy, ox);
        const Range r = window_range(oy, win.sh, win.ph, win.kh, 1, p.h);
        for (size_t i = r.lo; i < r.hi; ++i) {
          float* row = plane + (r.start + sgn(i)) * sgn(p.w);
          for (size_t j = 0; j < win.kw; ++j) {
            const Cols c = columns_of(win, j, p.w);
            for (size_t ox = c.lo; ox < c.hi; ++ox) row[sgn(ox * win.sw) + c.base] += share[ox];
          }
        }
      }
    }
  });
  return in_dtype(g.dtype(), std::move(dx));
}

}  // namespace quarn::engine
