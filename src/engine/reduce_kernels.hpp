// The summation itself, written once and compiled per instruction set by
// reduce.cpp (baseline) and reduce_avx2.cpp. Every sum is taken in binary32 by
// blocked pairwise summation over the whole summed index, whichever way the
// summed axes lie in memory:
//
//  - When the innermost axis in memory is summed, each result is one pairwise
//    sum over its elements: blocks of kBlock elements are added by kAccs x
//    kLanes independent lane accumulators (16 elements each, in turn), the
//    lanes are folded pairwise, and blocks are combined by halving the range.
//  - When the innermost axis is kept, each row of results is a pairwise sum
//    of whole input rows: kRowBlock rows are added in turn, vectorised along
//    the row, and blocks are combined by halving the range of summed
//    indices, one scratch row per level of the recursion. Adding every input
//    row in turn into one result row would make the error grow with the
//    number of rows.
//  - When the innermost axis is summed and other summed axes lie outside a
//    kept one, the contiguous runs are summed as in the first case, in
//    memory order, and their sums are combined as rows as in the second.
//
// Each stage adds at most 16 values in turn, so the error of a result is at
// most about (24 + log2 n) * 2^-24 * sum|x| before the final rounding to a
// 16-bit dtype; the native test holds every result to that bound. The
// summation order depends on the layout, never on the dtype: a 16-bit sum is
// the binary32 sum of the widened elements, rounded once.
//
// The vectors are 32 bytes on every instruction set (two registers on the
// baseline), so every table adds the same values in the same order. Internal
// linkage for the reason given in convert_bits.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/convert_simd.hpp"
#include "engine/nd_walk.hpp"
#include "engine/reduce_isa.hpp"

namespace quarn::engine {
namespace {

typedef float SumVec __attribute__((vector_size(32)));
constexpr std::size_t kLanes = sizeof(SumVec) / sizeof(float);
constexpr std::size_t kAccs = 4;
constexpr std::size_t kStep = kAccs * kLanes;
constexpr std::size_t kBlock = 16 * kStep;
constexpr std::size_t kRowBlock = 16;
// Columns of a row-wise sum handled at once: the scratch rows (one per level
// of the recursion) stay in the second-level cache, and each input row is
// read in pieces long enough for the prefetchers.
constexpr std::size_t kTileCols = 2048;

// By reference: a 32-byte vector passed by value would change the calling
// convention between the baseline and AVX builds.
inline void add_vec(SumVec& acc, const float* p) {
  SumVec v;
  std::memcpy(&v, p, sizeof v);
  acc += v;
}

// Pairwise sum of n <= kBlock contiguous floats. Accumulators start at -0.0,
// which adds nothing to any value (a sum of negative zeros stays -0.0).
inline float block_sum(const float* p, std::size_t n) {
  if (n < kStep) {
    // Short sums (one per result when the summed extent is small) skip the
    // vectors: eight accumulators, folded pairwise.
    float r[8] = {-0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f};
    for (std::size_t i = 0; i < n; ++i) r[i % 8] += p[i];
    return ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  }
  SumVec acc[kAccs];
  for (SumVec& a : acc) a = -SumVec{};
  std::size_t i = 0;
  for (; i + kStep <= n; i += kStep)
    for (std::size_t k = 0; k < kAccs; ++k) add_vec(acc[k], p + i + k * kLanes);
  if (i < n) {
    float tail[kStep];
    std::fill(tail, tail + kStep, -0.0f);
    std::memcpy(tail, p + i, (n - i) * sizeof(float));
    for (std::size_t k = 0; k < kAccs; ++k) add_vec(acc[k], tail + k * kLanes);
  }
  static_assert(kAccs == 4);
  SumVec v = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  float lanes[kLanes];
  std::memcpy(lanes, &v, sizeof v);
  for (std::size_t w = kLanes / 2; w > 0; w /= 2)
    for (std::size_t j = 0; j < w; ++j) lanes[j] += lanes[j + w];
  return lanes[0];
}

// Splits a range of n > unit items in two at a multiple of `unit`, as evenly
// as whole units allow.
inline std::size_t left_part(std::size_t n, std::size_t unit) {
  const std::size_t units = (n + unit - 1) / unit;
  return units / 2 * unit;
}

inline float pairwise_contiguous(const float* p, std::size_t n) {
  if (n <= kBlock) return block_sum(p, n);
  const std::size_t left = left_part(n, kBlock);
  return pairwise_contiguous(p, left) + pairwise_contiguous(p + left, n - left);
}

inline float widen_one(DType d, const char* p) {
  std::uint16_t h;
  if (d == DType::F32) {
    float f;
    std::memcpy(&f, p, sizeof f);
    return f;
  }
  std::memcpy(&h, p, sizeof h);
  return d == DType::F16 ? widen_f16(h) : widen_bf16(h);
}

inline void store_one(DType d, float v, char* p) {
  if (d == DType::F32) {
    std::memcpy(p, &v, sizeof v);
    return;
  }
  const std::uint16_t h = d == DType::F16 ? round_to_f16(v) : round_to_bf16(v);
  std::memcpy(p, &h, sizeof h);
}

// n elements `stride` bytes apart, as binary32.
inline void widen_run(DType d, const char* p, std::ptrdiff_t stride, float* dst, std::size_t n) {
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
  if (stride == item) {
    const auto* h = reinterpret_cast<const std::uint16_t*>(p);
    switch (d) {
      case DType::F16:
        return widen_f16_array(h, dst, n);
      case DType::BF16:
        return widen_bf16_array(h, dst, n);
      default:
        std::memcpy(dst, p, n * sizeof(float));
        return;
    }
  }
  for (std::size_t i = 0; i < n; ++i) dst[i] = widen_one(d, p + static_cast<std::ptrdiff_t>(i) * stride);
}

// Pairwise sum of n contiguous elements of any dtype, with the same split
// points as pairwise_contiguous: 16-bit blocks are widened first.
[[gnu::noinline]] inline float widened_block(DType d, const char* p, std::size_t n) {
  float buf[kBlock];
  widen_run(d, p, static_cast<std::ptrdiff_t>(dtype_size(d)), buf, n);
  return block_sum(buf, n);
}

inline float pairwise_run(DType d, const char* p, std::size_t n) {
  if (d == DType::F32) return pairwise_contiguous(reinterpret_cast<const float*>(p), n);
  if (n <= kBlock) return widened_block(d, p, n);
  const std::size_t left = left_part(n, kBlock);
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
  return pairwise_run(d, p, left) + pairwise_run(d, p + static_cast<std::ptrdiff_t>(left) * item, n - left);
}

// n binary32 results `step` elements apart, rounded to the dtype.
inline void store_run(DType d, const float* src, std::size_t n, char* out, std::ptrdiff_t step) {
  if (step == 1) {
    auto* h = reinterpret_cast<std::uint16_t*>(out);
    switch (d) {
      case DType::F16:
        return round_f16_array(src, h, n);
      case DType::BF16:
        return round_bf16_array(src, h, n);
      default:
        std::memcpy(out, src, n * sizeof(float));
        return;
    }
  }
  const std::ptrdiff_t bytes = step * static_cast<std::ptrdiff_t>(dtype_size(d));
  for (std::size_t j = 0; j < n; ++j) store_one(d, src[j], out + static_cast<std::ptrdiff_t>(j) * bytes);
}

// The summed axes seen as one flat index, outermost axis most significant.
struct FlatIndex {
  const SmallVector<SumAxis>& axes;
  SmallVector<std::size_t> index;

  // Moves to flat index f; returns its byte offset.
  std::ptrdiff_t seek(std::size_t f) {
    index.resize(axes.size());
    std::ptrdiff_t off = 0;
    for (std::size_t k = axes.size(); k-- > 0;) {
      index[k] = f % axes[k].extent;
      f /= axes[k].extent;
      off += static_cast<std::ptrdiff_t>(index[k]) * axes[k].in;
    }
    return off;
  }
  // After the innermost axis has run to its end: back to its start and one
  // step along the axes outside it. Returns the change of offset.
  std::ptrdiff_t wrap() {
    const std::size_t last = axes.size() - 1;
    std::ptrdiff_t delta = -static_cast<std::ptrdiff_t>(axes[last].extent) * axes[last].in;
    index[last] = 0;
    for (std::size_t k = last; k-- > 0;) {
      delta += axes[k].in;
      if (++index[k] < axes[k].extent) return delta;
      delta -= static_cast<std::ptrdiff_t>(axes[k].extent) * axes[k].in;
      index[k] = 0;
    }
    return delta;
  }
};

inline std::size_t flat_count(const SmallVector<SumAxis>& axes) {
  std::size_t n = 1;
  for (const SumAxis& a : axes) n *= a.extent;
  return n;
}

// ---- One result at a time ------------------------------------------------------

struct ElementSums {
  DType dtype;
  const SmallVector<SumAxis>& summed;
  std::size_t count;

  float operator()(const char* base) const {
    const SumAxis& inner = summed[summed.size() - 1];
    if (summed.size() == 1 && inner.in == static_cast<std::ptrdiff_t>(dtype_size(dtype)))
      return pairwise_run(dtype, base, count);
    return gathered(base, 0, count);
  }

  float gathered(const char* base, std::size_t lo, std::size_t n) const {
    if (n <= kBlock) return gathered_block(base, lo, n);
    const std::size_t left = left_part(n, kBlock);
    return gathered(base, lo, left) + gathered(base, lo + left, n - left);
  }

  // Apart from the recursion, so that its buffer is not part of every
  // level's frame: threads may run with small stacks.
  [[gnu::noinline]] float gathered_block(const char* base, std::size_t lo, std::size_t n) const {
    float buf[kBlock];
    gather(base, lo, n, buf);
    return block_sum(buf, n);
  }

  // Flat indices [lo, lo + n), widened into buf.
  void gather(const char* base, std::size_t lo, std::size_t n, float* buf) const {
    FlatIndex at{summed, {}};
    const char* p = base + at.seek(lo);
    const SumAxis& inner = summed[summed.size() - 1];
    std::size_t done = 0;
    for (;;) {
      const std::size_t run = std::min(inner.extent - at.index[summed.size() - 1], n - done);
      widen_run(dtype, p, inner.in, buf + done, run);
      done += run;
      if (done == n) return;
      p += static_cast<std::ptrdiff_t>(run) * inner.in + at.wrap();
    }
  }
};

// ---- A row of results at a time -------------------------------------------------

struct RowSums {
  DType dtype;
  const SmallVector<SumAxis>& summed;
  std::ptrdiff_t col_stride;  // bytes between neighbours along a row
  float* widened;             // one row of scratch for 16-bit and strided rows
  // When above 1, each "element" of a row is the pairwise sum of this many
  // contiguous values starting there.
  std::size_t run;

  // dst[0, w) = sum of the rows at flat indices [lo, lo + n), each of w
  // elements from `base` plus the row's offset. `scratch` has one row of w
  // for each further level of recursion.
  void rows(const char* base, std::size_t lo, std::size_t n, std::size_t w, float* dst, float* scratch) const {
    if (n <= kRowBlock) {
      FlatIndex at{summed, {}};
      const char* p = base + at.seek(lo);
      const std::size_t last = summed.size() - 1;
      const char* row[kRowBlock];
      for (std::size_t r = 0;; ++r) {
        row[r] = p;
        if (r + 1 == n) break;
        p += summed[last].in;
        if (++at.index[last] == summed[last].extent) p += at.wrap();
      }
      if (run > 1) {
        for (std::size_t r = 0; r < n; ++r) add_run_sums(row[r], w, dst, r == 0);
        return;
      }
      if (dtype == DType::F32 && col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
        add_rows_f32(row, n, w, dst);
        return;
      }
      for (std::size_t r = 0; r < n; ++r) add_row(row[r], w, dst, r == 0);
      return;
    }
    const std::size_t left = left_part(n, kRowBlock);
    rows(base, lo, left, w, dst, scratch);
    rows(base, lo + left, n - left, w, scratch, scratch + w);
    for (std::size_t j = 0; j < w; ++j) dst[j] += scratch[j];
  }

  // dst = the sum of n contiguous rows, added in turn, a few vectors of
  // columns at a time so that the partial sums stay in registers.
  static void add_rows_f32(const char* const* bytes, std::size_t n, std::size_t w, float* dst) {
    const float* row[kRowBlock];
    for (std::size_t r = 0; r < n; ++r) row[r] = reinterpret_cast<const float*>(bytes[r]);
    constexpr std::size_t kVecs = 8;
    std::size_t j = 0;
    for (; j + kVecs * kLanes <= w; j += kVecs * kLanes) {
      SumVec acc[kVecs];
      std::memcpy(acc, row[0] + j, sizeof acc);
      for (std::size_t r = 1; r < n; ++r)
        for (std::size_t k = 0; k < kVecs; ++k) add_vec(acc[k], row[r] + j + k * kLanes);
      std::memcpy(dst + j, acc, sizeof acc);
    }
    for (; j < w; ++j) {
      float s = row[0][j];
      for (std::size_t r = 1; r < n; ++r) s += row[r][j];
      dst[j] = s;
    }
  }

  void add_run_sums(const char* p, std::size_t w, float* dst, bool first) const {
    for (std::size_t j = 0; j < w; ++j) {
      const float v = pairwise_run(dtype, p + static_cast<std::ptrdiff_t>(j) * col_stride, run);
      dst[j] = first ? v : dst[j] + v;
    }
  }

  void add_row(const char* p, std::size_t w, float* dst, bool first) const {
    const float* src = reinterpret_cast<const float*>(p);
    if (dtype != DType::F32 || col_stride != static_cast<std::ptrdiff_t>(sizeof(float))) {
      widen_run(dtype, p, col_stride, first ? dst : widened, w);
      if (first) return;
      src = widened;
    }
    if (first) {
      std::memcpy(dst, src, w * sizeof(float));
      return;
    }
    for (std::size_t j = 0; j < w; ++j) dst[j] += src[j];
  }
};

// Calls body(input byte offset, result element offset) at every position of
// `axes`.
template <class Body>
void for_each_position(const SmallVector<SumAxis>& axes, Body&& body) {
  const SumAxis* const axis = axes.data();  // see walk_plan
  walk_nd<2>(
      axes.size(), [&](std::size_t d) { return axis[d].extent; },
      [&](std::size_t k, std::size_t d) { return k == 0 ? axis[d].in : axis[d].out; },
      [&](const WalkOffsets<2>& off) { body(off[0], off[1]); });
}

// Results a row at a time along `row`, at every position of `outer`: each
// row the pairwise sum over `summed` of input rows (of runs summed first
// when `run` is above 1).
void sum_rows(const SumProblem& p, const SmallVector<SumAxis>& summed, const SmallVector<SumAxis>& outer,
              const SumAxis& row, std::size_t run) {
  const DType d = p.dtype;
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
  const std::size_t count = flat_count(summed);
  const std::size_t tile = std::min(row.extent, kTileCols);
  // Rows: the result, the widened input, then one per level of recursion.
  std::size_t levels = 1;
  for (std::size_t blocks = (count + kRowBlock - 1) / kRowBlock; blocks > 1; blocks = (blocks + 1) / 2) ++levels;
  const std::unique_ptr<float[]> scratch(new float[(levels + 2) * tile]);
  float* dst = scratch.get();
  const RowSums sums{d, summed, row.in, dst + tile, run};
  for_each_position(outer, [&](std::ptrdiff_t in, std::ptrdiff_t o) {
    for (std::size_t c0 = 0; c0 < row.extent; c0 += tile) {
      const std::size_t w = std::min(tile, row.extent - c0);
      const auto c = static_cast<std::ptrdiff_t>(c0);
      sums.rows(p.in + in + c * row.in, 0, count, w, dst, dst + 2 * tile);
      store_run(d, dst, w, p.out + (o + c * row.out) * item, row.out);
    }
  });
}

void run_sum(const SumProblem& p) {
  const DType d = p.dtype;
  SmallVector<SumAxis> outer = p.kept;
  if (p.rows) {
    const SumAxis row = outer.back();
    outer.resize(outer.size() - 1);
    return sum_rows(p, p.summed, outer, row, 1);
  }
  const SumAxis& inner = p.summed[p.summed.size() - 1];
  if (inner.in == static_cast<std::ptrdiff_t>(dtype_size(d)) && inner.extent >= kStep && p.summed.size() >= 2 &&
      !p.kept.empty()) {
    // Contiguous runs with summed axes also outside the kept ones
    // ([64, 256, 256] summed over axes 0 and 2): summed where they lie, in
    // memory order, and then as rows of partial sums along the innermost
    // kept axis. Taking one result at a time would jump between distant
    // runs and leave the prefetchers behind.
    SmallVector<SumAxis> summed = p.summed;
    summed.resize(summed.size() - 1);
    const SumAxis row = outer.back();
    outer.resize(outer.size() - 1);
    return sum_rows(p, summed, outer, row, inner.extent);
  }
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
  const ElementSums sums{d, p.summed, flat_count(p.summed)};
  for_each_position(p.kept, [&](std::ptrdiff_t in, std::ptrdiff_t o) {
    store_one(d, sums(p.in + in), p.out + o * item);
  });
}

}  // namespace
}  // namespace quarn::engine
