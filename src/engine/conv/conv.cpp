// Convolutions lowered to the float32 GEMM (engine/gemm/) or, for unit
// strides, to register tiles of their own (conv_tiles.hpp).
//
// For one image and one channel group, the forward result is
//   Y (Og x P) = W (Og x K) * cols (K x P),
// with K = Cg * kh * kw filter taps and P = oh * ow output positions, where
// column p of `cols` holds the input window of output p (im2col). Two ways:
//  - unit strides (forward_shifted): no column matrix at all. The tiles
//    read the zero-padded image in place, where every tap is a fixed
//    offset from its output position, against the filters packed once per
//    call;
//  - any other window (forward_by_columns): the column matrix in bounded
//    blocks in a per-thread workspace, each block multiplied by the GEMM
//    driver while still in cache; images too small to fill a block go side
//    by side into one product.
// The gradients are GEMMs too:
//   dX: for unit strides, where the padding is a small share, a forward
//       convolution of dY with the filters flipped and their channel axes
//       swapped (so the path above); otherwise dcols = W^T * dY scattered
//       back onto the image (col2im);
//   dW: dW (Og x K) = sum over images and blocks of dY * cols^T; for unit
//       strides (weight_shifted) with the rows of cols read from the padded
//       image in place and dY transposed once per image.
// A 1x1 window with unit stride and no padding reads the image itself as
// its column matrix.
//
// Threads: the forward pass and the input gradient share images out (each
// image whole on one task, written to its own part of the result); the
// weight gradient gives each task a fixed range of images and its own
// partial sum, added up in task order afterwards. The ranges depend on the
// batch size alone, so the results are the same bits on any number of
// threads.
#include "engine/conv/conv.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/conv/conv_isa.hpp"
#include "engine/convert.hpp"
#include "engine/gemm/kernels/kernels.hpp"
#include "engine/gemm/pack_buffer.hpp"
#include "engine/gemm/sgemm.hpp"
#include "runtime/blocking.hpp"
#include "runtime/thread_pool.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarn::engine {

namespace {

using std::ptrdiff_t;
using std::size_t;

// One block of the column matrix, in floats: 1 MiB, which stays in L2 while
// the GEMM packs it.
constexpr size_t kColumnBlock = size_t{1} << 18;
// Multiply-adds below which a convolution stays on the calling thread (the
// GEMM's own threshold).
constexpr size_t kParallelWork = size_t{1} << 21;
// Tasks of the weight gradient: each keeps a partial gradient, so their
// number is bounded by the batch, never by the threads.
constexpr size_t kWeightTasks = 16;
// The largest padded image, B panel or product (in floats, 16 MiB) the
// unit-stride path takes on: its buffers stay with the thread for the next
// call, as the GEMM's do. Larger ones go through column blocks.
constexpr size_t kShiftedLimit = size_t{1} << 22;
// Columns that a product of several small images aims at.
constexpr size_t kChunkColumns = 2048;

struct Dims {
  size_t n, c, h, w, o;
  Window win;
  size_t cg() const { return c / win.groups; }
  size_t og() const { return o / win.groups; }
  size_t taps() const { return cg() * win.kh * win.kw; }
  size_t positions() const { return win.oh * win.ow; }
  size_t plane() const { return h * w; }
  bool pointwise() const {
    return win.kh == 1 && win.kw == 1 && win.sh == 1 && win.sw == 1 && win.ph == 0 && win.pw == 0 &&
           win.oh == h && win.ow == w;
  }
  // Columns per block of one image: the whole image when it fits.
  // Whole output rows where a row fits, so that the blocks take the row
  // loops of im2col and col2im.
  size_t block() const {
    const size_t fit = std::max<size_t>(1, std::min(positions(), kColumnBlock / std::max<size_t>(taps(), 1)));
    return fit >= win.ow && win.ow != 0 ? fit / win.ow * win.ow : fit;
  }
  // Images per GEMM: small images side by side, so that each product is
  // wide enough to run at the GEMM's speed rather than at its overhead's.
  size_t images_per_chunk() const {
    if (positions() == 0 || block() < positions()) return 1;
    const size_t fit = kColumnBlock / std::max<size_t>(taps() * positions(), 1);
    return std::max<size_t>(1, std::min(fit, kChunkColumns / positions()));
  }
  size_t work() const { return n * o * positions() * taps(); }
  // The widest chunk's columns (see Chunk).
  size_t most_columns() const {
    const size_t per = images_per_chunk();
    return per > 1 ? per * positions() : block();
  }
};

// One GEMM's worth of columns: `images` whole images from `first` on, or
// the positions [p0, p0 + count) of the single image `first`. Its column
// matrix has images * count columns, image j's from column j * count.
struct Chunk {
  size_t first, images, p0, count;
  size_t columns() const { return images * count; }
};

// The chunks of images [first, last), in order. They depend on the shape
// and the image range alone.
template <class Fn>
void for_each_chunk(const Dims& d, size_t first, size_t last, Fn&& fn) {
  const size_t per = d.images_per_chunk(), positions = d.positions();
  if (per > 1 && !d.pointwise()) {
    for (size_t ni = first; ni < last; ni += per) fn(Chunk{ni, std::min(per, last - ni), 0, positions});
    return;
  }
  const size_t block = d.pointwise() ? positions : d.block();
  for (size_t ni = first; ni < last; ++ni)
    for (size_t p0 = 0; p0 < positions; p0 += block) fn(Chunk{ni, 1, p0, std::min(block, positions - p0)});
}

ptrdiff_t sgn(size_t v) { return static_cast<ptrdiff_t>(v); }

float* column_workspace(size_t floats) {
  thread_local gemm::PackBuffer<float> buffer;
  return buffer.get(floats);
}

// The output columns [first, last) of one output row `y`, for the tap at
// window row i and column j, read as input columns first*sw - pw + j*dw on:
// those inside the image in [lo, hi), the rest reading padding.
struct Span {
  size_t lo, hi;
};
Span inside(const Window& win, size_t j, size_t width, size_t first, size_t last) {
  const ptrdiff_t offset = sgn(j * win.dw) - sgn(win.pw);
  const ptrdiff_t sw = sgn(win.sw);
  // x * sw + offset >= 0  <=>  x >= ceil(-offset / sw)
  ptrdiff_t lo = offset >= 0 ? 0 : (-offset + sw - 1) / sw;
  // x * sw + offset < width  <=>  x < ceil((width - offset) / sw)
  const ptrdiff_t room = sgn(width) - offset;
  ptrdiff_t hi = room <= 0 ? 0 : (room + sw - 1) / sw;
  lo = std::clamp(lo, sgn(first), sgn(last));
  hi = std::clamp(hi, lo, sgn(last));
  return {static_cast<size_t>(lo), static_cast<size_t>(hi)};
}

// Visits every (tap row of the column matrix, output row, column range) of
// the positions [p0, p0 + count): fn(row, ci, ih, at, x0, x1, j), where ih
// is the input row the tap reads (-1 for a padding row) and output columns
// [x0, x1) of that row are at columns [at, at + x1 - x0) of the block.
template <class Fn>
void for_each_tap_run(const Dims& d, size_t p0, size_t count, Fn&& fn) {
  const Window& win = d.win;
  const size_t ow = win.ow;
  for (size_t ci = 0; ci < d.cg(); ++ci) {
    for (size_t i = 0; i < win.kh; ++i) {
      for (size_t j = 0; j < win.kw; ++j) {
        const size_t row = (ci * win.kh + i) * win.kw + j;
        size_t p = p0;
        while (p < p0 + count) {
          const size_t y = p / ow, x0 = p % ow;
          const size_t x1 = std::min(ow, x0 + (p0 + count - p));
          const ptrdiff_t ih = sgn(y * win.sh) - sgn(win.ph) + sgn(i * win.dh);
          const bool pad_row = ih < 0 || ih >= sgn(d.h);
          fn(row, ci, pad_row ? -1 : ih, p - p0, x0, x1, j);
          p += x1 - x0;
        }
      }
    }
  }
}

// The positions [p0, p0 + count) of the column matrix of one image group
// `x` (Cg planes): K rows of `count` columns, `ld` apart.
void im2col(const Dims& d, const float* x, size_t p0, size_t count, float* cols, size_t ld) {
  const Window& win = d.win;
  if (win.ow != 0 && p0 % win.ow == 0 && count % win.ow == 0) {
    // Whole output rows, row by row: the in-image span of a tap is the
    // same on every row, so the loop is plain copies.
    const size_t ow = win.ow, y0 = p0 / ow, y1 = y0 + count / ow;
    for (size_t ci = 0; ci < d.cg(); ++ci)
      for (size_t i = 0; i < win.kh; ++i)
        for (size_t j = 0; j < win.kw; ++j) {
          float* out = cols + ((ci * win.kh + i) * win.kw + j) * ld;
          const Span s = inside(win, j, d.w, 0, ow);
          const ptrdiff_t base = sgn(j * win.dw) - sgn(win.pw);
          for (size_t y = y0; y < y1; ++y, out += ow) {
            const ptrdiff_t ih = sgn(y * win.sh) - sgn(win.ph) + sgn(i * win.dh);
            if (ih < 0 || ih >= sgn(d.h)) {
              for (size_t x = 0; x < ow; ++x) out[x] = 0.0f;
              continue;
            }
            const float* src = x + ci * d.plane() + static_cast<size_t>(ih) * d.w;
            for (size_t x = 0; x < s.lo; ++x) out[x] = 0.0f;
            if (win.sw == 1) {
              const float* from = src + (sgn(s.lo) + base);
              for (size_t x = s.lo; x < s.hi; ++x) out[x] = from[x - s.lo];
            } else {
              for (size_t x = s.lo; x < s.hi; ++x) out[x] = src[sgn(x * win.sw) + base];
            }
            for (size_t x = s.hi; x < ow; ++x) out[x] = 0.0f;
          }
        }
    return;
  }
  for_each_tap_run(d, p0, count, [&](size_t row, size_t ci, ptrdiff_t ih, size_t at, size_t x0, size_t x1,
                                     size_t j) {
    float* out = cols + row * ld + at;
    if (ih < 0) {
      std::fill(out, out + (x1 - x0), 0.0f);
      return;
    }
    const float* src = x + ci * d.plane() + static_cast<size_t>(ih) * d.w;
    const Span s = inside(win, j, d.w, x0, x1);
    std::fill(out, out + (s.lo - x0), 0.0f);
    const ptrdiff_t base = sgn(j * win.dw) - sgn(win.pw);
    if (win.sw == 1) {
      std::copy(src + (sgn(s.lo) + base), src + (sgn(s.hi) + base), out + (s.lo - x0));
    } else {
      for (size_t x = s.lo; x < s.hi; ++x) out[x - x0] = src[sgn(x * win.sw) + base];
    }
    std::fill(out + (s.hi - x0), out + (x1 - x0), 0.0f);
  });
}

// The transpose of im2col: every element of the block added back onto the
// input position it was read from (padding dropped), in row order, so the
// sums are the same however the work is shared out.
void col2im_add(const Dims& d, const float* cols, size_t ld, size_t p0, size_t count, float* x) {
  const Window& win = d.win;
  if (win.ow != 0 && p0 % win.ow == 0 && count % win.ow == 0) {
    // Whole output rows, row by row, as im2col reads them.
    const size_t ow = win.ow, y0 = p0 / ow, y1 = y0 + count / ow;
    for (size_t ci = 0; ci < d.cg(); ++ci)
      for (size_t i = 0; i < win.kh; ++i)
        for (size_t j = 0; j < win.kw; ++j) {
          const float* in = cols + ((ci * win.kh + i) * win.kw + j) * ld;
          const Span s = inside(win, j, d.w, 0, ow);
          const ptrdiff_t base = sgn(j * win.dw) - sgn(win.pw);
          for (size_t y = y0; y < y1; ++y, in += ow) {
            const ptrdiff_t ih = sgn(y * win.sh) - sgn(win.ph) + sgn(i * win.dh);
            if (ih < 0 || ih >= sgn(d.h)) continue;
            float* dst = x + ci * d.plane() + static_cast<size_t>(ih) * d.w;
            if (win.sw == 1) {
              float* to = dst + (sgn(s.lo) + base);
              for (size_t t = s.lo; t < s.hi; ++t) to[t - s.lo] += in[t];
            } else {
              for (size_t t = s.lo; t < s.hi; ++t) dst[sgn(t * win.sw) + base] += in[t];
            }
          }
        }
    return;
  }
  for_each_tap_run(d, p0, count, [&](size_t row, size_t ci, ptrdiff_t ih, size_t at, size_t x0, size_t x1,
                                     size_t j) {
    if (ih < 0) return;
    const float* in = cols + row * ld + at;
    float* dst = x + ci * d.plane() + static_cast<size_t>(ih) * d.w;
    const Span s = inside(win, j, d.w, x0, x1);
    const ptrdiff_t base = sgn(j * win.dw) - sgn(win.pw);
    for (size_t x = s.lo; x < s.hi; ++x) dst[sgn(x * win.sw) + base] += in[x - x0];
  });
}

// The column matrix of chunk `ch` for group g of `x`.
void chunk_columns(const Dims& d, const float* x, size_t g, const Chunk& ch, float* cols) {
  for (size_t j = 0; j < ch.images; ++j)
    im2col(d, x + ((ch.first + j) * d.c + g * d.cg()) * d.plane(), ch.p0, ch.count, cols + j * ch.count,
           ch.columns());
}

// The weight gradient's fixed image ranges: task t sums its images'
// gradient into acc (dw itself for task 0, a partial sum for the others),
// and the partials are added to dw in task order, so the result does not
// depend on the thread count.
template <class Task>
void sum_weight_tasks(const Dims& d, size_t weights, float* dw, Task&& task) {
  const size_t tasks = std::max<size_t>(1, std::min(d.n, kWeightTasks));
  std::vector<float> partials((tasks - 1) * weights);
  auto run = [&](size_t t) {
    float* acc = t == 0 ? dw : partials.data() + (t - 1) * weights;
    task(acc, chunk_begin(t, tasks, d.n, 1), chunk_begin(t + 1, tasks, d.n, 1));
  };
  if (tasks == 1 || d.work() < kParallelWork || num_threads() == 1) {
    for (size_t t = 0; t < tasks; ++t) run(t);
  } else {
    parallel_for(tasks, run);
  }
  for (size_t t = 1; t < tasks; ++t) {
    const float* part = partials.data() + (t - 1) * weights;
    for (size_t e = 0; e < weights; ++e) dw[e] += part[e];
  }
}

// Runs body(first, last) over images [0, n): on the pool, one image range
// per task, when the work repays it.
template <class Body>
void over_images(const Dims& d, Body&& body) {
  if (d.n < 2 || d.work() < kParallelWork || num_threads() == 1) {
    body(size_t{0}, d.n);
    return;
  }
  const size_t tasks = std::min<size_t>(d.n, 64);
  parallel_for(tasks, [&](size_t t) { body(chunk_begin(t, tasks, d.n, 1), chunk_begin(t + 1, tasks, d.n, 1)); });
}

size_t round_up(size_t v, size_t multiple) { return (v + multiple - 1) / multiple * multiple; }

float* shifted_workspace(size_t floats) {
  thread_local gemm::PackBuffer<float> buffer;
  return buffer.get(floats);
}

// Unit strides without a column matrix. On the zero-padded image, with its
// rows Wp long (see Padded), the output positions y * Wp + x (x < Wp)
// read tap (ci, i, j) at one fixed offset from the position: the column
// matrix's row of that tap, over a run of positions, is a contiguous run of
// the padded image. So the register tile (conv_tiles.hpp) loads its
// positions straight from the image, with no panel copied at all, and
// multiplies them by the filters, packed once per call. The Wp - ow extra
// positions of each row (a few percent) are computed and dropped.
//
// The taps go in blocks, so that the image rows a block reads stay in L1
// while every channel tile of a panel of positions uses them; each tile
// continues its sums from the block before, so every output element is one
// FMA chain over the taps in order, whichever thread or block runs it.
//
// The image may be float16 or bfloat16 (`xd`), widened as it is copied into
// the padded image, and the result (`yd`) rounded as it is copied out, bias
// added first: half-precision operands cost no pass of their own.
bool shifted_applies(const Dims& d) {
  return d.win.sh == 1 && d.win.sw == 1 && !d.pointwise() && d.taps() != 0 && d.og() != 0;
}

// Taps per block of the forward tile: 32 input channels of a 3 x 3 window,
// whose image rows for one 48-position panel fill half of a 48 KiB L1 (on
// ResNet's 64 x 64 x 3 x 3 this measured 1-2% faster than 144 or all 576
// taps at once, and 3% faster than 72).
constexpr size_t kTapBlock = 288;
// The product of one band of output rows, in floats (256 KiB).
constexpr size_t kBandFloats = size_t{1} << 16;
// Float32 results from this size on are written by streaming stores: about
// twice a core's L2, more than stays in cache until the next operation.
constexpr size_t kStreamBytes = size_t{4} << 20;

// The padded-image geometry of a unit-stride window: Cg planes and `slack`
// zeros after them, `size` floats in all. A row's padding on the right is
// the next row's on the left (the last row's, the next plane's or the
// slack): rows W + max(left, right padding) long rather than W + left +
// right, so that the output grid, which has a position for every place in
// a row, carries fewer extra positions (one per row rather than two for a
// 3 x 3 window padded by 1). The right padding is what the output's extent
// implies, which differs from the left for an even window padded "same".
size_t padded_width(const Dims& d) {
  const Window& win = d.win;
  const size_t reach = win.ow + win.dw * (win.kw - 1);  // left padding + W + right padding
  const size_t right = reach > win.pw + d.w ? reach - win.pw - d.w : 0;
  return std::max({d.w + win.pw, d.w + right, win.ow});
}

struct Padded {
  size_t wp, hp, plane, wide, size;
  Padded(const Dims& d, size_t slack)
      : wp(padded_width(d)),
        hp(d.win.oh + d.win.dh * (d.win.kh - 1)),
        plane(hp * wp),
        wide(d.win.oh * wp),
        size(round_up(d.cg() * plane + slack, 16)) {}
};

// Where each tap reads, from a position's own place in the padded image.
std::vector<ptrdiff_t> tap_offsets(const Dims& d, const Padded& pd, size_t count) {
  std::vector<ptrdiff_t> offsets(count, 0);
  for (size_t ci = 0, p = 0; ci < d.cg(); ++ci)
    for (size_t i = 0; i < d.win.kh; ++i)
      for (size_t j = 0; j < d.win.kw; ++j, ++p)
        offsets[p] = sgn(ci * pd.plane + i * d.win.dh * pd.wp + j * d.win.dw);
  return offsets;
}

// The padded rows [r0, r1) of every plane of the padded image xp from
// channel group g of image `xg` (of dtype xd): only the padding is zeroed,
// the rest written once, and the left padding of row r1, which row r1 - 1
// reads as its right padding. With the last row, the slack after the
// planes is zeroed too.
void pad_rows(const Dims& d, const Padded& pd, const void* xg, DType xd, float* xp, size_t r0, size_t r1) {
  const Window& win = d.win;
  for (size_t ci = 0; ci < d.cg(); ++ci)
    for (size_t r = r0; r < r1; ++r) {
      float* to = xp + ci * pd.plane + r * pd.wp;
      if (r < win.ph || r >= win.ph + d.h) {
        std::fill(to, to + pd.wp, 0.0f);
        continue;
      }
      const char* row = static_cast<const char*>(xg) + (ci * d.h + r - win.ph) * d.w * dtype_size(xd);
      std::fill(to, to + win.pw, 0.0f);
      if (xd == DType::F32) {
        std::memcpy(to + win.pw, row, d.w * sizeof(float));
      } else {
        widen_to_f32(xd, row, to + win.pw, d.w);
      }
      std::fill(to + win.pw + d.w, to + pd.wp, 0.0f);
    }
  if (r1 < pd.hp)
    for (size_t ci = 0; ci < d.cg(); ++ci) {
      float* next = xp + ci * pd.plane + r1 * pd.wp;
      std::fill(next, next + win.pw, 0.0f);
    }
  if (r1 == pd.hp) std::fill(xp + d.cg() * pd.plane, xp + pd.size, 0.0f);
}

void pad_image(const Dims& d, const Padded& pd, const void* xg, DType xd, float* xp) {
  pad_rows(d, pd, xg, xd, xp, 0, pd.hp);
}

// Asks for the input rows a later band will pad, a few cache lines at a
// time between tiles, so that their reads from memory overlap arithmetic
// instead of stalling the padding: up to one range per channel.
class RowPrefetch {
 public:
  // Rows [r0, r1) of every channel of group `xg` (whose planes are `plane`
  // bytes apart, rows `row` bytes), over about `calls` calls of step().
  void start(const char* xg, size_t channels, size_t plane, size_t row, size_t r0, size_t r1, size_t calls) {
    base_ = xg;
    channels_ = channels;
    plane_ = plane;
    from_ = r0 * row;
    bytes_ = r1 > r0 ? (r1 - r0) * row : 0;
    channel_ = 0;
    at_ = 0;
    const size_t lines = channels * ((bytes_ + 63) / 64);
    per_call_ = lines / std::max<size_t>(calls, 1) + 1;
  }
  void stop() { bytes_ = 0; }
  void step() {
    for (size_t n = 0; n < per_call_ && bytes_ != 0; ++n) {
      if (channel_ == channels_) return;
      __builtin_prefetch(base_ + channel_ * plane_ + from_ + at_, 0, 2);
      at_ += 64;
      if (at_ >= bytes_) {
        at_ = 0;
        ++channel_;
      }
    }
  }

 private:
  const char* base_ = nullptr;
  size_t channels_ = 0, plane_ = 0, from_ = 0, bytes_ = 0, channel_ = 0, at_ = 0, per_call_ = 0;
};

// n floats of `from` plus b to `out` by streaming stores, which write whole
// lines without reading them first (plain stores where there are none).
void stream_row(const float* from, float b, float* out, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  for (; i < n && reinterpret_cast<std::uintptr_t>(out + i) % 16 != 0; ++i) out[i] = from[i] + b;
  const __m128 bv = _mm_set1_ps(b);
  for (; i + 4 <= n; i += 4) _mm_stream_ps(out + i, _mm_add_ps(_mm_loadu_ps(from + i), bv));
#endif
  for (; i < n; ++i) out[i] = from[i] + b;
}

// Streaming stores are ordered only by a fence: each task ends with one,
// before the pool reports it done.
void stream_fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// The output positions [q0, q1) of the padded-width grid (the extra
// columns of each row dropped) of channels [oc0, oc1) from the product `cp`
// (rows og, cp_stride apart, from position q0 on) to the result `y` (of
// dtype yd, from element `at` on), bias `b` (or none) added first, channel
// after channel; float32 by streaming stores if `stream`.
void copy_out(const Dims& d, const Padded& pd, const float* cp, size_t cp_stride, size_t q0, size_t q1, size_t oc0,
              size_t oc1, const float* b, void* y, DType yd, size_t at, bool stream) {
  const Window& win = d.win;
  const size_t positions = d.positions();
  for (size_t oc = oc0; oc < oc1; ++oc) {
    const float bias = b != nullptr ? b[oc] : 0.0f;
    for (size_t oy = q0 / pd.wp; oy * pd.wp < q1 && oy < win.oh; ++oy) {
      const size_t x0 = std::max(q0, oy * pd.wp) - oy * pd.wp, x1 = std::min(q1 - oy * pd.wp, win.ow);
      if (x0 >= x1) continue;
      const float* from = cp + oc * cp_stride + (oy * pd.wp + x0 - q0);
      const size_t to = at + oc * positions + oy * win.ow + x0, n = x1 - x0;
      if (yd == DType::F32) {
        float* out = static_cast<float*>(y) + to;
        if (stream) {
          stream_row(from, bias, out, n);
        } else {
          for (size_t i = 0; i < n; ++i) out[i] = from[i] + bias;
        }
        continue;
      }
      float row[256];
      for (size_t i0 = 0; i0 < n; i0 += 256) {
        const size_t m = std::min<size_t>(256, n - i0);
        for (size_t i = 0; i < m; ++i) row[i] = from[i0 + i] + bias;
        round_from_f32(yd, row, static_cast<char*>(y) + (to + i0) * dtype_size(yd), m);
      }
    }
  }
}

bool forward_shifted(const ConvKernels& kern, const Dims& d, const void* x, DType xd, const float* w,
                     const float* bias, void* y, DType yd) {
  const Window& win = d.win;
  const size_t og = d.og(), cg = d.cg(), taps = d.taps();
  if (!shifted_applies(d)) return false;
  const size_t mr = kern.mr, nr = kern.nr;
  // The slack: the last row's right padding, the last panel's positions
  // past the grid, and the row's last taps past those.
  const Padded pd(d, win.pw + nr + win.dw * (win.kw - 1));
  // The panels go in bands whose product (kBandFloats, two of them in
  // turn) stays in L2 next to the padded image until it is copied out.
  const size_t tiles = (og + mr - 1) / mr, tile_stride = round_up(mr * taps, 16);
  const size_t panels = (pd.wide + nr - 1) / nr;
  const size_t band = std::min(panels, std::max<size_t>(1, kBandFloats / (tiles * mr * nr)));
  const size_t cp_stride = band * nr;
  if (tiles * mr * cp_stride > kShiftedLimit || cg * pd.plane > kShiftedLimit || taps * mr > kShiftedLimit)
    return false;
  gemm::PackBuffer<float> filters;
  float* apack = filters.get(d.win.groups * tiles * tile_stride);
  for (size_t g = 0; g < win.groups; ++g)
    for (size_t t = 0; t < tiles; ++t) {
      float* panel = apack + (g * tiles + t) * tile_stride;
      for (size_t p = 0; p < taps; ++p)
        for (size_t i = 0; i < mr; ++i)
          panel[p * mr + i] = t * mr + i < og ? w[(g * og + t * mr + i) * taps + p] : 0.0f;
    }
  // The padded image, then two band products on the padded-width grid,
  // whole tiles of rows.
  const size_t xp_size = pd.size;
  const size_t positions = d.positions();
  const std::vector<ptrdiff_t> offsets = tap_offsets(d, pd, taps);
  const size_t block = taps <= kTapBlock + kTapBlock / 2 ? taps : kTapBlock;
  // A result larger than this core's share of cache would be written back
  // to memory before anyone reads it: streaming stores skip reading each
  // of its lines into the cache first.
  const bool stream = yd == DType::F32 && d.n * d.o * positions * sizeof(float) >= kStreamBytes;
  const size_t blocks = (taps + block - 1) / block;
  // Windows three wide and undilated along the row take the tile over
  // rows of taps, whose offsets are those of each row's first tap.
  const bool by_rows = kern.forward_rows != nullptr && win.kw == kRowTaps && win.dw == 1 && block % kRowTaps == 0;
  std::vector<ptrdiff_t> row_offsets;
  if (by_rows)
    for (size_t p = 0; p < taps; p += kRowTaps) row_offsets.push_back(offsets[p]);
  // The padded rows that the positions before q read (all of them from
  // the last panel on).
  auto rows_before = [&](size_t q) {
    return std::min(pd.hp, (q - 1 + win.dh * (win.kh - 1) * pd.wp + win.dw * (win.kw - 1)) / pd.wp + 1);
  };
  const size_t row_bytes = d.w * dtype_size(xd), plane_bytes = d.plane() * dtype_size(xd);
  // Padded rows [r0, r1) as input rows.
  auto input_rows = [&](size_t r0, size_t r1) {
    const size_t lo = std::clamp(r0, win.ph, win.ph + d.h) - win.ph, hi = std::clamp(r1, win.ph, win.ph + d.h) - win.ph;
    return std::pair<size_t, size_t>{lo, hi};
  };
  const size_t product = tiles * mr * cp_stride;
  over_images(d, [&](size_t first, size_t last) {
    float* xp = shifted_workspace(xp_size + 2 * product);
    size_t turn = 0;
    RowPrefetch ahead;
    // A band's product is copied out a few channels at a time between the
    // next band's tiles (two products take turns), so that the result's
    // writes to memory drain while the tiles compute.
    struct Pending {
      const float* cp = nullptr;
      size_t q0 = 0, q1 = 0, next = 0, at = 0;
      const float* bias = nullptr;
    } pending;
    auto drain = [&](size_t upto) {
      if (pending.cp == nullptr || pending.next >= upto) return;
      copy_out(d, pd, pending.cp, cp_stride, pending.q0, pending.q1, pending.next, upto, pending.bias, y, yd,
               pending.at, stream);
      pending.next = upto;
    };
    for (size_t ni = first; ni < last; ++ni) {
      for (size_t g = 0; g < win.groups; ++g) {
        const char* xg = static_cast<const char*>(x) + (ni * d.c + g * cg) * plane_bytes;
        const float* ag = apack + g * tiles * tile_stride;
        size_t padded = 0;
        for (size_t p0 = 0; p0 < panels; p0 += band) {
          const size_t p1 = std::min(panels, p0 + band), q0 = p0 * nr, q1 = p1 * nr;
          const size_t need = rows_before(q1);
          pad_rows(d, pd, xg, xd, xp, padded, need);
          padded = need;
          // Meanwhile the next band's rows: of this group, or the first of
          // the next group (of this image or the next), which follows this
          // one in memory.
          const size_t calls = (p1 - p0) * blocks * tiles;
          if (p1 < panels) {
            const auto [lo, hi] = input_rows(need, rows_before(std::min(panels, p1 + band) * nr));
            ahead.start(xg, cg, plane_bytes, row_bytes, lo, hi, calls);
          } else if (g + 1 < win.groups || ni + 1 < last) {
            const auto [lo, hi] = input_rows(0, rows_before(band * nr));
            ahead.start(xg + cg * plane_bytes, cg, plane_bytes, row_bytes, lo, hi, calls);
          } else {
            ahead.stop();
          }
          float* cp = xp + xp_size + turn * product;
          turn ^= 1;
          size_t call = 0;
          for (size_t q = q0; q < q1; q += nr)
            for (size_t k0 = 0; k0 < taps; k0 += block) {
              const size_t k = std::min(block, taps - k0);
              for (size_t t = 0; t < tiles; ++t, ++call) {
                ahead.step();
                drain(og * call / calls);
                float* c = cp + t * mr * cp_stride + (q - q0);
                if (by_rows) {
                  kern.forward_rows(k / kRowTaps, ag + t * tile_stride + k0 * mr, xp + q,
                                    row_offsets.data() + k0 / kRowTaps, c, sgn(cp_stride), k0 != 0);
                } else {
                  kern.forward(k, ag + t * tile_stride + k0 * mr, xp + q, offsets.data() + k0, c, sgn(cp_stride),
                               k0 != 0);
                }
              }
            }
          drain(og);
          pending = Pending{cp, q0, std::min(q1, pd.wide), 0, (ni * d.o + g * og) * positions,
                            bias != nullptr ? bias + g * og : nullptr};
        }
      }
    }
    drain(og);
    if (stream) stream_fence();
  });
  return true;
}

void forward_by_columns(const Dims& d, const float* x, const float* w, const float* bias, float* y);

// y = conv(x, w) + bias, all row-major float32.
void forward_f32(const Dims& d, const float* x, const float* w, const float* bias, float* y) {
  if (forward_shifted(conv_kernels(), d, x, DType::F32, w, bias, y, DType::F32)) return;
  forward_by_columns(d, x, w, bias, y);
}

// The same through column blocks and the GEMM driver, for every window.
void forward_by_columns(const Dims& d, const float* x, const float* w, const float* bias, float* y) {
  const size_t og = d.og(), cg = d.cg(), taps = d.taps(), positions = d.positions();
  const size_t most = d.most_columns();
  over_images(d, [&](size_t first, size_t last) {
    float* cols = d.pointwise() ? nullptr : column_workspace((taps + og) * most);
    for_each_chunk(d, first, last, [&](const Chunk& ch) {
      const size_t ld = ch.columns();
      for (size_t g = 0; g < d.win.groups; ++g) {
        const float* wg = w + g * og * taps;
        float* yg = y + (ch.first * d.o + g * og) * positions + ch.p0;
        if (d.pointwise()) {
          const float* xg = x + (ch.first * d.c + g * cg) * d.plane();
          gemm::sgemm(og, positions, cg, wg, sgn(taps), 1, xg, sgn(d.plane()), 1, yg, sgn(positions), 1);
        } else {
          chunk_columns(d, x, g, ch, cols);
          // One image writes its rows of y in place; several go through a
          // product of their own, copied out image by image.
          float* out = ch.images == 1 ? yg : cols + taps * ld;
          const size_t ldo = ch.images == 1 ? positions : ld;
          gemm::sgemm(og, ld, taps, wg, sgn(taps), 1, cols, sgn(ld), 1, out, sgn(ldo), 1);
          if (ch.images > 1)
            for (size_t j = 0; j < ch.images; ++j)
              for (size_t oc = 0; oc < og; ++oc)
                std::copy(out + oc * ld + j * positions, out + oc * ld + (j + 1) * positions,
                          yg + (j * d.o + oc) * positions);
        }
        if (bias == nullptr) continue;
        for (size_t j = 0; j < ch.images; ++j)
          for (size_t oc = 0; oc < og; ++oc) {
            const float b = bias[g * og + oc];
            float* row = yg + (j * d.o + oc) * positions;
            for (size_t p = 0; p < ch.count; ++p) row[p] += b;
          }
      }
    });
  });
}

// dy's rows of chunk `ch` for group g side by side: og rows of ld columns.
const float* chunk_gradient(const Dims& d, const float* dy, size_t g, const Chunk& ch, float* buffer) {
  const size_t og = d.og(), positions = d.positions();
  const float* dyg = dy + (ch.first * d.o + g * og) * positions + ch.p0;
  if (ch.images == 1) return dyg;  // read in place, row stride `positions`
  for (size_t j = 0; j < ch.images; ++j)
    for (size_t oc = 0; oc < og; ++oc)
      std::copy(dyg + (j * d.o + oc) * positions, dyg + (j * d.o + oc + 1) * positions,
                buffer + oc * ch.columns() + j * positions);
  return buffer;
}

// For unit strides, the input gradient is itself a convolution: of dy, padded
// by d(k - 1) - p, with the filters flipped and their channel axes swapped.
// That is one GEMM as wide as the forward one and no scatter; other
// windows (and padding wider than the dilated kernel) take col2im.
// It multiplies the padding too, so it serves only where that is a small
// share: inputs hardly larger than the outputs ("same" padding, say).
bool gradient_as_convolution(const Dims& d) {
  const Window& win = d.win;
  return win.sh == 1 && win.sw == 1 && win.ph <= win.dh * (win.kh - 1) && win.pw <= win.dw * (win.kw - 1) &&
         4 * d.plane() <= 5 * d.positions();
}

// dx = the input gradient of conv for dy, row-major float32.
void backward_data_f32(const Dims& d, const float* dy, const float* w, float* dx) {
  const size_t og = d.og(), cg = d.cg(), taps = d.taps(), positions = d.positions();
  const Window& win = d.win;
  if (gradient_as_convolution(d) && !d.pointwise()) {
    std::vector<float> flipped(d.o * taps);
    for (size_t g = 0; g < win.groups; ++g)
      for (size_t ol = 0; ol < og; ++ol)
        for (size_t cl = 0; cl < cg; ++cl)
          for (size_t i = 0; i < win.kh; ++i)
            for (size_t j = 0; j < win.kw; ++j)
              flipped[(((g * cg + cl) * og + ol) * win.kh + (win.kh - 1 - i)) * win.kw + (win.kw - 1 - j)] =
                  w[(((g * og + ol) * cg + cl) * win.kh + i) * win.kw + j];
    Window back = win;
    back.ph = win.dh * (win.kh - 1) - win.ph;
    back.pw = win.dw * (win.kw - 1) - win.pw;
    back.oh = d.h;
    back.ow = d.w;
    forward_f32(Dims{d.n, d.o, win.oh, win.ow, d.c, back}, dy, flipped.data(), nullptr, dx);
    return;
  }
  const size_t most = d.most_columns();
  over_images(d, [&](size_t first, size_t last) {
    float* cols = d.pointwise() ? nullptr : column_workspace((taps + og) * most);
    for_each_chunk(d, first, last, [&](const Chunk& ch) {
      const size_t ld = ch.columns();
      for (size_t g = 0; g < win.groups; ++g) {
        const float* wg = w + g * og * taps;
        if (d.pointwise()) {
          float* dxg = dx + (ch.first * d.c + g * cg) * d.plane();
          const float* dyg = dy + (ch.first * d.o + g * og) * positions;
          gemm::sgemm(cg, positions, og, wg, 1, sgn(taps), dyg, sgn(positions), 1, dxg, sgn(d.plane()), 1);
          continue;
        }
        const float* grad = chunk_gradient(d, dy, g, ch, cols + taps * ld);
        const size_t ldg = ch.images == 1 ? positions : ld;
        gemm::sgemm(taps, ld, og, wg, 1, sgn(taps), grad, sgn(ldg), 1, cols, sgn(ld), 1);
        for (size_t j = 0; j < ch.images; ++j) {
          float* dxg = dx + ((ch.first + j) * d.c + g * cg) * d.plane();
          if (ch.p0 == 0) std::fill(dxg, dxg + cg * d.plane(), 0.0f);
          col2im_add(d, cols + j * ch.count, ld, ch.p0, ch.count, dxg);
        }
      }
    });
  });
}

float* weight_workspace(size_t floats) {
  thread_local gemm::PackBuffer<float> buffer;
  return buffer.get(floats);
}

// Output rows of the weight gradient's position blocks: the block's
// gradient rows (position-major, `ldd` channels each) should fill about
// 32 KiB, so that they stay in L1 while every tap tile reads them.
size_t weight_block_rows(size_t ow, size_t ldd) {
  return std::max<size_t>(1, (size_t{8} << 10) / std::max<size_t>(ow * ldd, 1));
}

// The weight gradient for unit strides, without a column matrix: dW^T
// (taps x Og) = cols * dY^T, where the row of `cols` for a tap is a run of
// the padded image (as in forward_shifted) and dY^T is the output
// gradient transposed once per image, positions by channels. The register
// tile (weight_tile) broadcasts image values against vectors of channels
// and sums over the real output positions only, row by row: the padded
// grid's extra positions would pair image values with nothing, and an
// infinity there would turn the sum into NaN.
//
// Tasks as in backward_weight_by_columns: a fixed range of images each, with its
// own partial sum; within a task each element is one FMA chain over the
// images and positions in order.
bool weight_shifted(const ConvKernels& kern, const Dims& d, const float* x, const float* dy, float* dw) {
  if (!shifted_applies(d)) return false;
  const Window& win = d.win;
  const size_t og = d.og(), cg = d.cg(), taps = d.taps(), positions = d.positions();
  const Padded pd(d, win.pw);  // the last row's right padding
  const WeightShape* shape = &kern.weight[kern.weight_count - 1];
  for (size_t s = 0; s < kern.weight_count; ++s)
    if (kern.weight[s].nr >= og) {
      shape = &kern.weight[s];
      break;
    }
  const size_t mr = shape->mr, nr = shape->nr;
  constexpr size_t kMostTaps = 16;  // the tile's tap pointers below
  if (mr > kMostTaps) return false;
  const size_t ldd = round_up(og, nr), taps_pad = round_up(taps, mr);
  const size_t xp_size = pd.size;
  const size_t sums = win.groups * taps_pad * ldd;
  if (cg * pd.plane > kShiftedLimit || positions * ldd > kShiftedLimit || sums > kShiftedLimit) return false;
  // Taps past the last (to a whole tile) read the image's start and are
  // dropped.
  const std::vector<ptrdiff_t> offsets = tap_offsets(d, pd, taps_pad);
  const size_t block_rows = weight_block_rows(win.ow, ldd);
  const size_t weights = d.o * taps;
  sum_weight_tasks(d, weights, dw, [&](float* acc, size_t first, size_t last) {
    float* xp = weight_workspace(xp_size + positions * ldd + sums);
    float* dt = xp + xp_size;
    float* sum = dt + positions * ldd;
    for (size_t ni = first; ni < last; ++ni)
      for (size_t g = 0; g < win.groups; ++g) {
        pad_image(d, pd, x + (ni * d.c + g * cg) * d.plane(), DType::F32, xp);
        // dY^T, and zeros in the channels past the last, to a whole tile.
        kern.transpose(dy + (ni * d.o + g * og) * positions, og, positions, positions, dt, ldd);
        if (ldd > og)
          for (size_t p = 0; p < positions; ++p) std::fill(dt + p * ldd + og, dt + (p + 1) * ldd, 0.0f);
        float* sg = sum + g * taps_pad * ldd;
        for (size_t r0 = 0; r0 < win.oh; r0 += block_rows) {
          const size_t rows = std::min(block_rows, win.oh - r0);
          const bool from_c = ni != first || r0 != 0;
          for (size_t j0 = 0; j0 < ldd; j0 += nr)
            for (size_t t0 = 0; t0 < taps_pad; t0 += mr) {
              const float* at[kMostTaps];
              for (size_t i = 0; i < mr; ++i) at[i] = xp + offsets[t0 + i] + sgn(r0 * pd.wp);
              shape->tile(rows, win.ow, sgn(pd.wp), at, dt + r0 * win.ow * ldd + j0, sgn(ldd),
                          sg + t0 * ldd + j0, sgn(ldd), from_c);
            }
        }
      }
    for (size_t g = 0; g < win.groups; ++g)
      for (size_t oc = 0; oc < og; ++oc)
        for (size_t k = 0; k < taps; ++k)
          acc[(g * og + oc) * taps + k] = first < last ? sum[(g * taps_pad + k) * ldd + oc] : 0.0f;
  });
  return true;
}

// The weight gradient through column blocks and the GEMM driver, for every
// window.
void backward_weight_by_columns(const Dims& d, const float* x, const float* dy, float* dw) {
  const size_t og = d.og(), cg = d.cg(), taps = d.taps(), positions = d.positions();
  const size_t weights = d.o * taps;
  const size_t most = d.most_columns();
  // The column matrix gets zero rows up to a multiple of the kernel's NR:
  // the GEMM reads it transposed, and only whole NR-wide panels of a
  // transposed operand are packed by the fast (vector transposing) route.
  // The micro-kernel computes whole panels anyway.
  const size_t nr = gemm::sgemm_active_kernel().nr;
  const size_t padded = d.pointwise() ? taps : round_up(taps, nr);
  sum_weight_tasks(d, weights, dw, [&](float* acc, size_t first, size_t last) {
    std::fill(acc, acc + weights, 0.0f);
    float* cols = column_workspace((padded + og) * most + og * padded);
    float* grad_buffer = cols + padded * most;
    float* product = grad_buffer + og * most;
    for_each_chunk(d, first, last, [&](const Chunk& ch) {
      const size_t ld = ch.columns();
      for (size_t g = 0; g < d.win.groups; ++g) {
        const float* source = x + (ch.first * d.c + g * cg) * d.plane();
        ptrdiff_t lds = sgn(d.plane());
        if (!d.pointwise()) {
          chunk_columns(d, x, g, ch, cols);
          std::fill(cols + taps * ld, cols + padded * ld, 0.0f);
          source = cols;
          lds = sgn(ld);
        }
        const float* grad = chunk_gradient(d, dy, g, ch, grad_buffer);
        const size_t ldg = ch.images == 1 ? positions : ld;
        // (Og x columns) * (columns x K): the columns read transposed.
        gemm::sgemm(og, padded, ld, grad, sgn(ldg), 1, source, 1, lds, product, sgn(padded), 1);
        float* accg = acc + g * og * taps;
        for (size_t oc = 0; oc < og; ++oc)
          for (size_t k = 0; k < taps; ++k) accg[oc * taps + k] += product[oc * padded + k];
      }
    });
  });
}

// dw = the weight gradient of conv for x and dy, row-major float32.
void backward_weight_f32(const Dims& d, const float* x, const float* dy, float* dw) {
  if (!weight_shifted(conv_kernels(), d, x, dy, dw)) backward_weight_by_columns(d, x, dy, dw);
}

// A row-major float32 copy of `s` (`s` itself when it is one already).
Storage f32_row_major(const Storage& s) { return row_major(widened_f32(s)); }

// The float32 result rounded once to `dtype` (itself for float32).
Storage in_dtype(DType dtype, Storage wide) {
  if (dtype == DType::F32) return wide;
  Storage out = Storage::allocate_row_major(dtype, wide.shape());
  round_from_f32(dtype, wide.data_as<float>(), out.mutable_data(), wide.numel());
  return out;
}

Storage zeros_f32(const Shape& shape) {
  Storage s = Storage::allocate_row_major(DType::F32, shape);
  std::fill(s.mutable_data_as<float>(), s.mutable_data_as<float>() + s.numel(), 0.0f);
  return s;
}

Dims dims_of(const Shape& input, std::size_t out_channels, const Window& win) {
  return Dims{input[0], input[1], input[2], input[3], out_channels, win};
}

size_t units(const Dims& d) { return d.work() / 8 + 1; }

}  // namespace

Storage convolution(const Storage& x, const Storage& w, const Storage* bias, const Window& win) {
  const Dims d = dims_of(x.shape(), w.shape()[0], win);
  LongWork guard(units(d) + x.numel());
  const Storage wf = f32_row_major(w);
  Storage bf;
  if (bias != nullptr) bf = f32_row_major(*bias);
  if (x.dtype() != DType::F32 && shifted_applies(d)) {
    const Storage xr = row_major(x);
    Storage y = Storage::allocate_row_major(x.dtype(), Shape{d.n, d.o, win.oh, win.ow});
    if (y.numel() == 0 || forward_shifted(conv_kernels(), d, xr.data(), x.dtype(), wf.data_as<float>(),
                                          bias != nullptr ? bf.data_as<float>() : nullptr, y.mutable_data(),
                                          x.dtype()))
      return y;
  }
  const Storage xf = f32_row_major(x);
  Storage y = Storage::allocate_row_major(DType::F32, Shape{d.n, d.o, win.oh, win.ow});
  if (y.numel() != 0)
    forward_f32(d, xf.data_as<float>(), wf.data_as<float>(), bias != nullptr ? bf.data_as<float>() : nullptr,
                y.mutable_data_as<float>());
  return in_dtype(x.dtype(), std::move(y));
}

std::pair<Storage, Storage> convolution_backward(const Storage& x, const Storage& w, const Storage& g,
                                                 const Window& win, Needs needs) {
  const Dims d = dims_of(x.shape(), w.shape()[0], win);
  LongWork guard(2 * units(d) + x.numel());
  const Storage gf = f32_row_major(g), wf = f32_row_major(w);
  std::pair<Storage, Storage> out;
  if (needs.left) {
    // Every path of backward_data_f32 writes every element.
    Storage dx = d.work() != 0 ? Storage::allocate_row_major(DType::F32, x.shape()) : zeros_f32(x.shape());
    if (d.work() != 0) backward_data_f32(d, gf.data_as<float>(), wf.data_as<float>(), dx.mutable_data_as<float>());
    out.first = in_dtype(x.dtype(), std::move(dx));
  }
  if (needs.right) {
    const Storage xf = f32_row_major(x);
    Storage dw = zeros_f32(w.shape());
    if (d.work() != 0) backward_weight_f32(d, xf.data_as<float>(), gf.data_as<float>(), dw.mutable_data_as<float>());
    out.second = in_dtype(w.dtype(), std::move(dw));
  }
  return out;
}

Storage convolution_transpose(const Storage& x, const Storage& w, const Storage* bias, const Window& win,
                              std::size_t out_h, std::size_t out_w) {
  const std::size_t cout = w.shape()[1] * win.groups;
  const Dims d = dims_of(Shape{x.shape()[0], cout, out_h, out_w}, x.shape()[1], win);
  LongWork guard(units(d) + x.numel());
  const Storage xf = f32_row_major(x), wf = f32_row_major(w);
  const Shape shape{d.n, cout, out_h, out_w};
  Storage y = d.work() != 0 ? Storage::allocate_row_major(DType::F32, shape) : zeros_f32(shape);
  if (d.work() != 0) backward_data_f32(d, xf.data_as<float>(), wf.data_as<float>(), y.mutable_data_as<float>());
  if (bias != nullptr && y.numel() != 0) {
    const Storage bf = f32_row_major(*bias);
    float* out = y.mutable_data_as<float>();
    for (std::size_t ni = 0; ni < d.n; ++ni)
      for (std::size_t c = 0; c < cout; ++c) {
        float* plane = out + (ni * cout + c) * d.plane();
        const float b = bf.data_as<float>()[c];
        for (std::size_t e = 0; e < d.plane(); ++e) plane[e] += b;
      }
  }
  return in_dtype(x.dtype(), std::move(y));
}

std::pair<Storage, Storage> convolution_transpose_backward(const Storage& x, const Storage& w, const Storage& g,
                                                           const Window& win, Needs needs) {
  const Dims d = dims_of(g.shape(), x.shape()[1], win);
  LongWork guard(2 * units(d) + x.numel());
  const Storage gf = f32_row_major(g);
  std::pair<Storage, Storage> out;
  if (needs.left) {
    const Storage wf = f32_row_major(w);
    Storage dx = Storage::allocate_row_major(DType::F32, x.shape());
    if (dx.numel() != 0) {
      if (d.work() != 0) {
        forward_f32(d, gf.data_as<float>(), wf.data_as<float>(), nullptr, dx.mutable_data_as<float>());
      } else {
        std::fill(dx.mutable_data_as<float>(), dx.mutable_data_as<float>() + dx.numel(), 0.0f);
      }
    }
    out.first = in_dtype(x.dtype(), std::move(dx));
  }
  if (needs.right) {
    const Storage xf = f32_row_major(x);
    Storage dw = zeros_f32(w.shape());
    if (d.work() != 0) backward_weight_f32(d, gf.data_as<float>(), xf.data_as<float>(), dw.mutable_data_as<float>());
    out.second = in_dtype(w.dtype(), std::move(dw));
  }
  return out;
}

Storage channel_sum(const Storage& g) {
  const Storage gf = f32_row_major(g);
  const std::size_t channels = g.shape()[1];
  std::size_t inner = 1;
  for (std::size_t a = 2; a < g.ndim(); ++a) inner *= g.shape()[a];
  const std::size_t outer = channels == 0 || inner == 0 ? 0 : g.numel() / (channels * inner);
  LongWork guard(g.numel());
  Storage sums = Storage::allocate_row_major(DType::F32, Shape{channels});
  std::vector<double> acc(channels, 0.0);
  const float* src = gf.data_as<float>();
  // In double precision, rounded once: a bias gathers every position of
  // every image.
  for (std::size_t ni = 0; ni < outer; ++ni)
    for (std::size_t c = 0; c < channels; ++c) {
      const float* plane = src + (ni * channels + c) * inner;
      // Four interleaved sums, added in a fixed order: independent chains
      // the core can run side by side.
      double s[4] = {0.0, 0.0, 0.0, 0.0};
      std::size_t e = 0;
      for (; e + 4 <= inner; e += 4)
        for (std::size_t k = 0; k < 4; ++k) s[k] += plane[e + k];
      for (; e < inner; ++e) s[0] += plane[e];
      acc[c] += (s[0] + s[1]) + (s[2] + s[3]);
    }
  for (std::size_t c = 0; c < channels; ++c) sums.mutable_data_as<float>()[c] = static_cast<float>(acc[c]);
  return in_dtype(g.dtype(), std::move(sums));
}

Storage convolution_shifted_with(const ConvKernels& kern, const Storage& x, const Storage& w, const Window& win) {
  const Dims d = dims_of(x.shape(), w.shape()[0], win);
  Storage y = zeros_f32(Shape{d.n, d.o, win.oh, win.ow});
  if (!forward_shifted(kern, d, x.data(), DType::F32, w.data_as<float>(), nullptr, y.mutable_data(), DType::F32))
    return Storage{};
  return y;
}

Storage convolution_weight_shifted_with(const ConvKernels& kern, const Storage& x, const Storage& g,
                                        const Shape& w_shape, const Window& win) {
  const Dims d = dims_of(x.shape(), w_shape[0], win);
  Storage dw = zeros_f32(w_shape);
  if (!weight_shifted(kern, d, x.data_as<float>(), g.data_as<float>(), dw.mutable_data_as<float>())) return Storage{};
  return dw;
}

Storage convolution_weight_by_columns(const Storage& x, const Storage& g, const Shape& w_shape, const Window& win) {
  const Dims d = dims_of(x.shape(), w_shape[0], win);
  Storage dw = zeros_f32(w_shape);
  backward_weight_by_columns(d, x.data_as<float>(), g.data_as<float>(), dw.mutable_data_as<float>());
  return dw;
}

Storage convolution_by_columns(const Storage& x, const Storage& w, const Window& win) {
  const Dims d = dims_of(x.shape(), w.shape()[0], win);
  Storage y = zeros_f32(Shape{d.n, d.o, win.oh, win.ow});
  forward_by_columns(d, x.data_as<float>(), w.data_as<float>(), nullptr, y.mutable_data_as<float>());
  return y;
}

}  // namespace quarn::engine
