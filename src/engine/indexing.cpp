#include "engine/indexing.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/convert.hpp"
#include "engine/copy.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/blocking.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::engine {

namespace {

// Work below this many bytes moved stays on the calling thread; above it,
// tasks of about kTaskBytes each. Both depend on the shape alone.
constexpr std::size_t kParallelBytes = std::size_t{1} << 20;
constexpr std::size_t kTaskBytes = std::size_t{1} << 18;
constexpr std::size_t kMaxTasks = 256;

std::size_t tasks_for(std::size_t bytes) {
  if (bytes < kParallelBytes) return 1;
  return std::min(kMaxTasks, (bytes + kTaskBytes - 1) / kTaskBytes);
}

std::size_t product(const Shape& shape, std::size_t begin, std::size_t end) {
  std::size_t n = 1;
  for (std::size_t i = begin; i < end; ++i) n *= shape[i];
  return n;
}

// Element offset and strides of a selection over an operand whose axes step
// by `strides` (elements).
std::ptrdiff_t selection_offset(const Selection& s, const Strides& strides) {
  std::ptrdiff_t offset = 0;
  for (std::size_t ax = 0; ax < s.operand.size(); ++ax)
    offset += static_cast<std::ptrdiff_t>(s.start[ax]) * strides[ax];
  return offset;
}

Strides selection_strides(const Selection& s, const Strides& strides) {
  Strides out;
  for (std::size_t r = 0; r < s.shape.size(); ++r) {
    const std::ptrdiff_t src = s.source[r];
    out.push_back(src < 0 ? 0 : s.step[static_cast<std::size_t>(src)] * strides[static_cast<std::size_t>(src)]);
  }
  return out;
}

// Writes the row-major elements at `src` to `dst` stepping by the byte
// strides `step`, innermost runs copied whole where they are contiguous.
void place(std::byte* dst, const std::ptrdiff_t* step, const std::byte*& src, const std::size_t* shape,
           std::size_t nd, std::size_t item) {
  if (nd == 0) {
    std::memcpy(dst, src, item);
    src += item;
    return;
  }
  if (nd == 1) {
    if (step[0] == static_cast<std::ptrdiff_t>(item)) {
      std::memcpy(dst, src, shape[0] * item);
      src += shape[0] * item;
      return;
    }
    for (std::size_t i = 0; i < shape[0]; ++i, src += item)
      std::memcpy(dst + static_cast<std::ptrdiff_t>(i) * step[0], src, item);
    return;
  }
  for (std::size_t i = 0; i < shape[0]; ++i) place(dst + static_cast<std::ptrdiff_t>(i) * step[0], step + 1, src, shape + 1, nd - 1, item);
}

// Copies rows of `bytes` bytes: row r of the result comes from row
// rows[r] of the source. Fixed sizes become single loads and stores.
template <class T>
void copy_rows_of(std::byte* dst, const std::byte* src, const std::size_t* rows, std::size_t n) {
  T* out = reinterpret_cast<T*>(dst);
  for (std::size_t r = 0; r < n; ++r) std::memcpy(&out[r], src + rows[r] * sizeof(T), sizeof(T));
}

void copy_rows(std::byte* dst, const std::byte* src, const std::size_t* rows, std::size_t n, std::size_t bytes) {
  switch (bytes) {
    case 1: return copy_rows_of<std::uint8_t>(dst, src, rows, n);
    case 2: return copy_rows_of<std::uint16_t>(dst, src, rows, n);
    case 4: return copy_rows_of<std::uint32_t>(dst, src, rows, n);
    case 8: return copy_rows_of<std::uint64_t>(dst, src, rows, n);
    default: break;
  }
  // Rows of a large table are far apart in memory: each is asked for a few
  // rows ahead, so that its cache lines are on the way while earlier rows
  // are copied.
  constexpr std::size_t kAhead = 8;
  const std::size_t lines = std::min<std::size_t>((bytes + 63) / 64, 8);
  for (std::size_t r = 0; r < n; ++r) {
    if (r + kAhead < n) {
      const std::byte* next = src + rows[r + kAhead] * bytes;
      for (std::size_t l = 0; l < lines; ++l) __builtin_prefetch(next + l * 64);
    }
    std::memcpy(dst + r * bytes, src + rows[r] * bytes, bytes);
  }
}

}  // namespace

Selection slice_along(const Shape& shape, std::size_t axis, std::size_t begin, std::size_t count) {
  Selection s;
  s.operand = shape;
  s.shape = shape;
  s.shape[axis] = count;
  for (std::size_t ax = 0; ax < shape.size(); ++ax) {
    s.start.push_back(ax == axis ? begin : 0);
    s.step.push_back(1);
    s.source.push_back(static_cast<std::ptrdiff_t>(ax));
  }
  return s;
}

Storage select(const Storage& a, const Selection& s) {
  const std::size_t count = numel(s.shape);
  if (count == 0) return Storage::allocate_row_major(a.dtype(), s.shape);
  const std::ptrdiff_t offset = selection_offset(s, a.strides());
  Strides strides = selection_strides(s, a.strides());
  bool forward = true;
  for (std::size_t r = 0; r < s.shape.size(); ++r) forward = forward && (s.shape[r] == 1 || strides[r] >= 0);
  if (forward && is_dense_block(s.shape, strides)) {
    // Extent-1 axes step by anything; give them the row-major steps, or
    // none, so that the view states its layout plainly.
    if (is_row_major_contiguous(s.shape, strides)) {
      strides = row_major_strides(s.shape);
    } else {
      for (std::size_t r = 0; r < s.shape.size(); ++r)
        if (s.shape[r] == 1) strides[r] = 0;
    }
    return a.view(static_cast<std::size_t>(offset), s.shape, std::move(strides));
  }
  Storage out = Storage::allocate_row_major(a.dtype(), s.shape);
  const auto item = static_cast<std::ptrdiff_t>(a.itemsize());
  for (auto& st : strides) st *= item;
  const auto* base = static_cast<const std::byte*>(a.data()) + offset * item;
  gather_row_major(base, s.shape, strides.data(), a.itemsize(), out.mutable_data());
  return out;
}

Storage select_backward(const Storage& g, const Selection& s) {
  Storage out = Storage::allocate_row_major(g.dtype(), s.operand);
  LongWork guard(out.numel());
  if (out.nbytes()) std::memset(out.mutable_data(), 0, out.nbytes());  // all-zero bytes are +0 in every format
  if (numel(s.shape) == 0) return out;
  const Storage rows = row_major(g);
  const Strides rm = row_major_strides(s.operand);
  const auto item = static_cast<std::ptrdiff_t>(g.itemsize());
  Strides step = selection_strides(s, rm);
  for (auto& st : step) st *= item;
  auto* dst = static_cast<std::byte*>(out.mutable_data()) + selection_offset(s, rm) * item;
  const auto* src = static_cast<const std::byte*>(rows.data());
  place(dst, step.data(), src, s.shape.data(), s.shape.size(), g.itemsize());
  return out;
}

Shape taken_shape(const Shape& a, const Positions& p) {
  Shape out(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(p.axis));
  for (std::size_t e : p.shape) out.push_back(e);
  for (std::size_t i = p.axis + p.count; i < a.size(); ++i) out.push_back(a[i]);
  return out;
}

Storage take(const Storage& a, const Positions& p) {
  Storage out = Storage::allocate_row_major(a.dtype(), taken_shape(a.shape(), p));
  if (out.numel() == 0) return out;
  const Storage src = row_major(a);
  const std::size_t outer = product(a.shape(), 0, p.axis);
  const std::size_t extent = product(a.shape(), p.axis, p.axis + p.count);
  const std::size_t bytes = product(a.shape(), p.axis + p.count, a.ndim()) * a.itemsize();
  const std::size_t n = p.flat.size();
  const auto* from = static_cast<const std::byte*>(src.data());
  auto* to = static_cast<std::byte*>(out.mutable_data());
  LongWork guard(out.numel());
  // Tasks are runs of result rows; each outer block reads its own slice of
  // the source through the same positions.
  const std::size_t total = outer * n;
  const std::size_t tasks = std::min(total, tasks_for(out.nbytes()));
  parallel_for(tasks, [&](std::size_t t) {
    std::size_t r = chunk_begin(t, tasks, total, 1);
    const std::size_t end = chunk_begin(t + 1, tasks, total, 1);
    while (r < end) {
      const std::size_t o = r / n, j = r % n;
      const std::size_t run = std::min(end - r, n - j);
      copy_rows(to + r * bytes, from + o * extent * bytes, p.flat.data() + j, run, bytes);
      r += run;
    }
  });
  return out;
}

namespace {

// Adds row `src` (k elements of the dtype) into the binary32 row `acc`;
// `wide` is room for k binary32 values.
void add_widened(DType dtype, const std::byte* src, float* acc, float* wide, std::size_t k) {
  const float* s = reinterpret_cast<const float*>(src);
  if (dtype != DType::F32) {
    widen_to_f32(dtype, src, wide, k);
    s = wide;
  }
  for (std::size_t i = 0; i < k; ++i) acc[i] += s[i];
}

}  // namespace

Storage take_backward(const Storage& g, const Shape& operand, const Positions& p) {
  Storage out = Storage::allocate_row_major(g.dtype(), operand);
  if (out.numel() == 0) return out;
  const Storage rows = row_major(g);
  const std::size_t outer = product(operand, 0, p.axis);
  const std::size_t extent = product(operand, p.axis, p.axis + p.count);
  const std::size_t k = product(operand, p.axis + p.count, operand.size());
  const std::size_t item = g.itemsize();
  const std::size_t bytes = k * item;
  const std::size_t n = p.flat.size();
  LongWork guard(out.numel() + rows.numel());
  // The sources of each destination row, in the order of the positions (a
  // stable counting sort): every destination then sums its rows in one
  // fixed order, whichever task it falls to.
  std::vector<std::size_t> first(extent + 1, 0);
  for (std::size_t f : p.flat) ++first[f + 1];
  for (std::size_t r = 0; r < extent; ++r) first[r + 1] += first[r];
  std::vector<std::size_t> order(n);
  {
    std::vector<std::size_t> next(first.begin(), first.end() - 1);
    for (std::size_t j = 0; j < n; ++j) order[next[p.flat[j]]++] = j;
  }
  const auto* from = static_cast<const std::byte*>(rows.data());
  auto* to = static_cast<std::byte*>(out.mutable_data());
  const DType dtype = g.dtype();
  const std::size_t total = outer * extent;
  const std::size_t tasks = std::min(total, tasks_for(out.nbytes() + rows.nbytes()));
  parallel_for(tasks, [&](std::size_t t) {
    const std::size_t begin = chunk_begin(t, tasks, total, 1);
    const std::size_t end = chunk_begin(t + 1, tasks, total, 1);
    std::vector<float> acc, wide;
    std::size_t zeros = begin;  // the start of the pending run of rows that nothing reaches
    auto flush = [&](std::size_t upto) {
      if (upto > zeros) std::memset(to + zeros * bytes, 0, (upto - zeros) * bytes);
    };
    for (std::size_t d = begin; d < end; ++d) {
      const std::size_t o = d / extent, r = d % extent;
      const std::size_t* src = order.data() + first[r];
      const std::size_t m = first[r + 1] - first[r];
      if (m == 0) continue;
      flush(d);
      zeros = d + 1;
      std::byte* dst = to + d * bytes;
      const std::byte* base = from + o * n * bytes;
      if (m == 1) {  // one contribution is g itself, bit for bit
        std::memcpy(dst, base + src[0] * bytes, bytes);
        continue;
      }
      if (dtype == DType::Bool) {  // never a gradient; any contribution that is true makes it true
        std::memcpy(dst, base + src[0] * bytes, bytes);
        for (std::size_t i = 1; i < m; ++i)
          for (std::size_t e = 0; e < bytes; ++e) dst[e] |= base[src[i] * bytes + e];
        continue;
      }
      if (dtype == DType::F32) {
        auto* sum = reinterpret_cast<float*>(dst);
        std::memcpy(sum, base + src[0] * bytes, bytes);
        for (std::size_t i = 1; i < m; ++i) add_widened(dtype, base + src[i] * bytes, sum, nullptr, k);
        continue;
      }
      acc.resize(k);
      wide.resize(k);
      widen_to_f32(dtype, base + src[0] * bytes, acc.data(), k);
      for (std::size_t i = 1; i < m; ++i) add_widened(dtype, base + src[i] * bytes, acc.data(), wide.data(), k);
      round_from_f32(dtype, acc.data(), dst, k);
    }
    flush(end);
  });
  return out;
}

Storage concatenate(std::span<const Storage* const> parts, std::size_t axis) {
  Shape shape = parts[0]->shape();
  shape[axis] = 0;
  for (const Storage* part : parts) shape[axis] += part->shape()[axis];
  Storage out = Storage::allocate_row_major(parts[0]->dtype(), shape);
  if (out.numel() == 0) return out;
  LongWork guard(out.numel());
  const std::size_t outer = product(shape, 0, axis);
  const std::size_t row = out.nbytes() / outer;
  auto* to = static_cast<std::byte*>(out.mutable_data());
  std::size_t at = 0;
  for (const Storage* part : parts) {
    const Storage src = row_major(*part);
    const std::size_t piece = outer == 0 ? 0 : src.nbytes() / outer;
    const auto* from = static_cast<const std::byte*>(src.data());
    if (piece != 0)
      for (std::size_t o = 0; o < outer; ++o) std::memcpy(to + o * row + at, from + o * piece, piece);
    at += piece;
  }
  return out;
}

}  // namespace quarn::engine
