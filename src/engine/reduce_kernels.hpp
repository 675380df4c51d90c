// The reduction kernels, written once and compiled per instruction set by
// reduce.cpp (baseline), reduce_avx2.cpp and reduce_avx512.cpp.
//
// Sums and products. Every sum is taken in binary32 by blocked pairwise
// summation over the whole reduced index, whichever way the reduced axes lie
// in memory; a product runs the same schedule with multiplications:
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
// the binary32 sum of the widened elements, rounded once. A map (ReduceMap)
// is applied to each widened element before it is added, in the same order.
//
// The sum vectors are 32 bytes on every instruction set (two registers on
// the baseline), so every table adds the same values in the same order.
//
// Selections (maximum, minimum) compare and never round, so their vectors
// take the widest registers the unit is compiled for: the result is the
// same whatever order the comparisons run in. Each result is the first
// extreme element of its group in row-major order, bits and all, or its
// first NaN; see run_select.
//
// Internal linkage for the reason given in convert_bits.hpp.
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

// The combining step of a sum or a product, on floats and on SumVec.
struct AddOp {
  // Adds nothing to any value (a sum of negative zeros stays -0.0).
  static constexpr float kIdentity = -0.0f;
  template <class T>
  static void apply(T& acc, const T& v) {
    acc += v;
  }
};

struct MulOp {
  static constexpr float kIdentity = 1.0f;
  template <class T>
  static void apply(T& acc, const T& v) {
    acc *= v;
  }
};

// By reference, like combine_vec.
inline void splat(SumVec& v, float x) {
  float lanes[kLanes];
  std::fill(lanes, lanes + kLanes, x);
  std::memcpy(&v, lanes, sizeof v);
}

// By reference: a 32-byte vector passed by value would change the calling
// convention between the baseline and AVX builds.
template <class Op>
inline void combine_vec(SumVec& acc, const float* p) {
  SumVec v;
  std::memcpy(&v, p, sizeof v);
  Op::apply(acc, v);
}

// Pairwise reduction of n <= kBlock contiguous floats.
template <class Op>
inline float block_sum(const float* p, std::size_t n) {
  constexpr float e = Op::kIdentity;
  if (n < kStep) {
    // Short sums (one per result when the summed extent is small) skip the
    // vectors: eight accumulators, folded pairwise.
    float r[8] = {e, e, e, e, e, e, e, e};
    for (std::size_t i = 0; i < n; ++i) Op::apply(r[i % 8], p[i]);
    Op::apply(r[0], r[1]);
    Op::apply(r[2], r[3]);
    Op::apply(r[4], r[5]);
    Op::apply(r[6], r[7]);
    Op::apply(r[0], r[2]);
    Op::apply(r[4], r[6]);
    Op::apply(r[0], r[4]);
    return r[0];
  }
  SumVec acc[kAccs];
  for (SumVec& a : acc) splat(a, e);
  std::size_t i = 0;
  for (; i + kStep <= n; i += kStep)
    for (std::size_t k = 0; k < kAccs; ++k) combine_vec<Op>(acc[k], p + i + k * kLanes);
  if (i < n) {
    float tail[kStep];
    std::fill(tail, tail + kStep, e);
    std::memcpy(tail, p + i, (n - i) * sizeof(float));
    for (std::size_t k = 0; k < kAccs; ++k) combine_vec<Op>(acc[k], tail + k * kLanes);
  }
  static_assert(kAccs == 4);
  Op::apply(acc[0], acc[1]);
  Op::apply(acc[2], acc[3]);
  Op::apply(acc[0], acc[2]);
  float lanes[kLanes];
  std::memcpy(lanes, &acc[0], sizeof lanes);
  for (std::size_t w = kLanes / 2; w > 0; w /= 2)
    for (std::size_t j = 0; j < w; ++j) Op::apply(lanes[j], lanes[j + w]);
  return lanes[0];
}

// Splits a range of n > unit items in two at a multiple of `unit`, as evenly
// as whole units allow.
inline std::size_t left_part(std::size_t n, std::size_t unit) {
  const std::size_t units = (n + unit - 1) / unit;
  return units / 2 * unit;
}

template <class Op>
inline float pairwise_contiguous(const float* p, std::size_t n) {
  if (n <= kBlock) return block_sum<Op>(p, n);
  const std::size_t left = left_part(n, kBlock);
  float r = pairwise_contiguous<Op>(p, left);
  Op::apply(r, pairwise_contiguous<Op>(p + left, n - left));
  return r;
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

// n elements `stride` bytes apart (either sign), as binary32.
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

typedef std::int32_t SumIntVec __attribute__((vector_size(32)));

// exp(x) lane by lane for x <= 0 (the deviation from a maximum), in binary32
// operations alone, so that every instruction set computes the same bits:
// x = n ln2 + r with ln2 in two parts and |r| <= ln2 / 2, a degree-6
// polynomial for exp(r), and 2^n put in the exponent: under 1 ulp from the
// true value for every binary32 x in [-87, 0] (checked exhaustively). Below
// -87 the value is under 2^-125 and adds nothing to a sum of at least 1: it
// is taken as 0, as is exp(-inf); no result is ever subnormal.
inline void exp_nonpositive(SumVec& x) {
  const SumVec zero{};
  // Zeros where `under` is set, by masking the bits: a vector select would
  // be taken apart lane by lane on the baseline.
  const SumIntVec keep = ~(x < zero + -87.0f);
  SumIntVec bits;
  std::memcpy(&bits, &x, sizeof bits);
  bits &= keep;
  SumVec d;
  std::memcpy(&d, &bits, sizeof d);
  const SumVec magic = zero + 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
  const SumVec n = (d * 1.44269504088896341f + magic) - magic;
  SumVec r = d - n * 0.693359375f;
  r = r - n * -2.12194440e-4f;
  SumVec p = zero + 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  const SumVec e = p * (r * r) + r + 1.0f;
  bits = (__builtin_convertvector(n, SumIntVec) + 127) << 23;
  SumVec scale;
  std::memcpy(&scale, &bits, sizeof scale);
  x = e * scale;
  std::memcpy(&bits, &x, sizeof bits);
  bits &= keep;
  std::memcpy(&x, &bits, sizeof x);
}

// The map of n widened values, in place, around one center c (Each: one per
// value).
template <bool Each>
inline void map_values(ReduceMap m, const float* c, float* x, std::size_t n) {
  if (m == ReduceMap::kNone) return;
  if (m == ReduceMap::kSquareDev) {
    for (std::size_t i = 0; i < n; ++i) {
      const float dev = x[i] - c[Each ? i : 0];
      x[i] = dev * dev;
    }
    return;
  }
  SumVec v{}, cv{};
  if (!Each) splat(cv, c[0]);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    std::memcpy(&v, x + i, sizeof v);
    if (Each) std::memcpy(&cv, c + i, sizeof cv);
    v -= cv;
    exp_nonpositive(v);
    std::memcpy(x + i, &v, sizeof v);
  }
  if (i == n) return;
  // The last few, padded with zeros.
  float lanes[kLanes] = {};
  float centers[kLanes] = {};
  std::memcpy(lanes, x + i, (n - i) * sizeof(float));
  std::memcpy(centers, c + (Each ? i : 0), (Each ? n - i : 1) * sizeof(float));
  if (!Each) std::fill(centers, centers + kLanes, c[0]);
  std::memcpy(&v, lanes, sizeof v);
  std::memcpy(&cv, centers, sizeof cv);
  v -= cv;
  exp_nonpositive(v);
  std::memcpy(lanes, &v, sizeof v);
  std::memcpy(x + i, lanes, (n - i) * sizeof(float));
}

inline void apply_map(ReduceMap m, float c, float* x, std::size_t n) { map_values<false>(m, &c, x, n); }
inline void apply_map_each(ReduceMap m, const float* c, float* x, std::size_t n) { map_values<true>(m, c, x, n); }

// Pairwise reduction of n contiguous elements of any dtype, with the same
// split points as pairwise_contiguous: 16-bit blocks, and blocks to be
// mapped, are widened into a buffer first.
template <class Op>
[[gnu::noinline]] float widened_block(DType d, const char* p, std::size_t n, ReduceMap m, float c) {
  float buf[kBlock];
  widen_run(d, p, static_cast<std::ptrdiff_t>(dtype_size(d)), buf, n);
  apply_map(m, c, buf, n);
  return block_sum<Op>(buf, n);
}

template <class Op>
inline float pairwise_run(DType d, const char* p, std::size_t n, ReduceMap m, float c) {
  if (d == DType::F32 && m == ReduceMap::kNone) return pairwise_contiguous<Op>(reinterpret_cast<const float*>(p), n);
  if (n <= kBlock) return widened_block<Op>(d, p, n, m, c);
  const std::size_t left = left_part(n, kBlock);
  const auto item = static_cast<std::ptrdiff_t>(dtype_size(d));
  float r = pairwise_run<Op>(d, p, left, m, c);
  Op::apply(r, pairwise_run<Op>(d, p + static_cast<std::ptrdiff_t>(left) * item, n - left, m, c));
  return r;
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

// The first `n` axes of a list. The kernels take parts of the planned lists
// through this rather than copies: a copy would call SmallVector's members,
// which the compiler may leave out of line, and a member compiled here for a
// wider instruction set could be the copy the linker keeps for everyone.
struct Axes {
  const ReduceAxis* at;
  std::size_t n;

  std::size_t size() const { return n; }
  const ReduceAxis& operator[](std::size_t k) const { return at[k]; }
  const ReduceAxis* data() const { return at; }
};

inline Axes all_of(const SmallVector<ReduceAxis>& list) { return {list.data(), list.size()}; }
inline Axes all_but_last(const SmallVector<ReduceAxis>& list) { return {list.data(), list.size() - 1}; }

// The reduced axes seen as one flat index, outermost axis most significant.
struct FlatIndex {
  Axes axes;
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
  // One step along the flat index; returns the change of offset.
  std::ptrdiff_t next() {
    const std::size_t last = axes.size() - 1;
    if (++index[last] < axes[last].extent) return axes[last].in;
    return axes[last].in + wrap();
  }
};

inline std::size_t flat_count(Axes axes) {
  std::size_t n = 1;
  for (std::size_t k = 0; k < axes.size(); ++k) n *= axes[k].extent;
  return n;
}

// Flat indices [lo, lo + n) of `axes` from `base`, widened into buf.
inline void gather_flat(DType d, Axes axes, const char* base, std::size_t lo,
                        std::size_t n, float* buf) {
  FlatIndex at{axes, {}};
  std::ptrdiff_t off = at.seek(lo);
  const ReduceAxis& inner = axes[axes.size() - 1];
  std::size_t done = 0;
  for (;;) {
    const std::size_t run = std::min(inner.extent - at.index[axes.size() - 1], n - done);
    widen_run(d, base + off, inner.in, buf + done, run);
    done += run;
    if (done == n) return;
    off += static_cast<std::ptrdiff_t>(run) * inner.in + at.wrap();
  }
}

// ---- One result at a time ------------------------------------------------------

template <class Op>
struct ElementSums {
  DType dtype;
  Axes summed;
  std::size_t count;
  ReduceMap map;

  float operator()(const char* base, float c) const {
    const ReduceAxis& inner = summed[summed.size() - 1];
    if (summed.size() == 1 && inner.in == static_cast<std::ptrdiff_t>(dtype_size(dtype)))
      return pairwise_run<Op>(dtype, base, count, map, c);
    return gathered(base, 0, count, c);
  }

  float gathered(const char* base, std::size_t lo, std::size_t n, float c) const {
    if (n <= kBlock) return gathered_block(base, lo, n, c);
    const std::size_t left = left_part(n, kBlock);
    float r = gathered(base, lo, left, c);
    Op::apply(r, gathered(base, lo + left, n - left, c));
    return r;
  }

  // Apart from the recursion, so that its buffer is not part of every
  // level's frame: threads may run with small stacks.
  [[gnu::noinline]] float gathered_block(const char* base, std::size_t lo, std::size_t n, float c) const {
    float buf[kBlock];
    gather_flat(dtype, summed, base, lo, n, buf);
    apply_map(map, c, buf, n);
    return block_sum<Op>(buf, n);
  }
};

// ---- A row of results at a time -------------------------------------------------

template <class Op>
struct RowSums {
  DType dtype;
  Axes summed;
  std::ptrdiff_t col_stride;  // bytes between neighbours along a row
  float* widened;             // one row of scratch for 16-bit, strided and mapped rows
  // When above 1, each "element" of a row is the pairwise sum of this many
  // contiguous values starting there.
  std::size_t run;
  ReduceMap map;
  const float* center;  // one per column, read by the map

  // dst[0, w) = sum of the rows at flat indices [lo, lo + n), each of w
  // elements from `base` plus the row's offset. `scratch` has one row of w
  // for each further level of recursion.
  void rows(const char* base, std::size_t lo, std::size_t n, std::size_t w, float* dst, float* scratch) const {
    if (n <= kRowBlock) {
      FlatIndex at{summed, {}};
      std::ptrdiff_t off = at.seek(lo);
      const char* row[kRowBlock];
      for (std::size_t r = 0;; ++r) {
        row[r] = base + off;
        if (r + 1 == n) break;
        off += at.next();
      }
      if (run > 1) {
        for (std::size_t r = 0; r < n; ++r) add_run_sums(row[r], w, dst, r == 0);
        return;
      }
      if (dtype == DType::F32 && col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
          map == ReduceMap::kNone) {
        add_rows_f32(row, n, w, dst);
        return;
      }
      for (std::size_t r = 0; r < n; ++r) add_row(row[r], w, dst, r == 0);
      return;
    }
    const std::size_t left = left_part(n, kRowBlock);
    rows(base, lo, left, w, dst, scratch);
    rows(base, lo + left, n - left, w, scratch, scratch + w);
    for (std::size_t j = 0; j < w; ++j) Op::apply(dst[j], scratch[j]);
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
        for (std::size_t k = 0; k < kVecs; ++k) combine_vec<Op>(acc[k], row[r] + j + k * kLanes);
      std::memcpy(dst + j, acc, sizeof acc);
    }
    for (; j < w; ++j) {
      float s = row[0][j];
      for (std::size_t r = 1; r < n; ++r) Op::apply(s, row[r][j]);
      dst[j] = s;
    }
  }

  void add_run_sums(const char* p, std::size_t w, float* dst, bool first) const {
    for (std::size_t j = 0; j < w; ++j) {
      const float c = center ? center[j] : 0.0f;
      const float v = pairwise_run<Op>(dtype, p + static_cast<std::ptrdiff_t>(j) * col_stride, run, map, c);
      if (first) {
        dst[j] = v;
      } else {
        Op::apply(dst[j], v);
      }
    }
  }

  void add_row(const char* p, std::size_t w, float* dst, bool first) const {
    const float* src = reinterpret_cast<const float*>(p);
    if (dtype != DType::F32 || col_stride != static_cast<std::ptrdiff_t>(sizeof(float)) ||
        map != ReduceMap::kNone) {
      float* to = first ? dst : widened;
      widen_run(dtype, p, col_stride, to, w);
      apply_map_each(map, center, to, w);
      if (first) return;
      src = widened;
    }
    if (first) {
      std::memcpy(dst, src, w * sizeof(float));
      return;
    }
    for (std::size_t j = 0; j < w; ++j) Op::apply(dst[j], src[j]);
  }
};

// Calls body(input byte offset, result element offset) at every position of
// `axes`.
template <class Body>
void for_each_position(Axes axes, Body&& body) {
  const ReduceAxis* const axis = axes.data();  // see walk_plan
  walk_nd<2>(
      axes.size(), [&](std::size_t d) { return axis[d].extent; },
      [&](std::size_t k, std::size_t d) { return k == 0 ? axis[d].in : axis[d].out; },
      [&](const WalkOffsets<2>& off) { body(off[0], off[1]); });
}

// Results a row at a time along `row`, at every position of `outer`: each
// row the pairwise sum over `summed` of input rows (of runs summed first
// when `run` is above 1).
template <class Op>
void sum_rows(const ReduceProblem& p, Axes summed, Axes outer,
              const ReduceAxis& row, std::size_t run) {
  const DType d = p.dtype;
  const auto out_item = static_cast<std::ptrdiff_t>(dtype_size(p.out_dtype));
  const std::size_t count = flat_count(summed);
  const std::size_t tile = std::min(row.extent, kTileCols);
  // Rows: the result, the widened input, then one per level of recursion,
  // and the centers of a mapped sum.
  std::size_t levels = 1;
  for (std::size_t blocks = (count + kRowBlock - 1) / kRowBlock; blocks > 1; blocks = (blocks + 1) / 2) ++levels;
  const std::unique_ptr<float[]> scratch(new float[(levels + 3) * tile]);
  float* dst = scratch.get();
  float* centers = dst + (levels + 2) * tile;
  const RowSums<Op> sums{d, summed, row.in, dst + tile, run, p.map, p.map == ReduceMap::kNone ? nullptr : centers};
  for_each_position(outer, [&](std::ptrdiff_t in, std::ptrdiff_t o) {
    for (std::size_t c0 = 0; c0 < row.extent; c0 += tile) {
      const std::size_t w = std::min(tile, row.extent - c0);
      const auto c = static_cast<std::ptrdiff_t>(c0);
      const std::ptrdiff_t first = p.out_origin + o + c * row.out;
      if (p.map != ReduceMap::kNone)
        for (std::size_t j = 0; j < w; ++j) centers[j] = p.center[first + static_cast<std::ptrdiff_t>(j) * row.out];
      sums.rows(p.in + in + c * row.in, 0, count, w, dst, dst + 2 * tile);
      store_run(p.out_dtype, dst, w, p.out + first * out_item, row.out);
    }
  });
}

template <class Op>
void run_reduce(const ReduceProblem& p) {
  const DType d = p.dtype;
  if (p.rows) return sum_rows<Op>(p, all_of(p.reduced), all_but_last(p.kept), p.kept.back(), 1);
  const ReduceAxis& inner = p.reduced[p.reduced.size() - 1];
  if (inner.in == static_cast<std::ptrdiff_t>(dtype_size(d)) && inner.extent >= kStep && p.reduced.size() >= 2 &&
      !p.kept.empty()) {
    // Contiguous runs with summed axes also outside the kept ones
    // ([64, 256, 256] summed over axes 0 and 2): summed where they lie, in
    // memory order, and then as rows of partial sums along the innermost
    // kept axis. Taking one result at a time would jump between distant
    // runs and leave the prefetchers behind.
    return sum_rows<Op>(p, all_but_last(p.reduced), all_but_last(p.kept), p.kept.back(), inner.extent);
  }
  const auto out_item = static_cast<std::ptrdiff_t>(dtype_size(p.out_dtype));
  const ElementSums<Op> sums{d, all_of(p.reduced), flat_count(all_of(p.reduced)), p.map};
  for_each_position(all_of(p.kept), [&](std::ptrdiff_t in, std::ptrdiff_t o) {
    const std::ptrdiff_t at = p.out_origin + o;
    const float c = p.map == ReduceMap::kNone ? 0.0f : p.center[at];
    store_one(p.out_dtype, sums(p.in + in, c), p.out + at * out_item);
  });
}

void run_sum(const ReduceProblem& p) { run_reduce<AddOp>(p); }
void run_prod(const ReduceProblem& p) { run_reduce<MulOp>(p); }

// ---- Selections -------------------------------------------------------------------
//
// A group's result is its first NaN in row-major order if it has one, else
// its first element that compares equal to the extreme (so of -0.0 and +0.0
// the one that comes first). Element-wise groups are scanned a block at a
// time: a vector pass finds the block's extreme and whether it holds a NaN,
// and only a block that improves on the blocks before it is read again to
// find the position. Row-wise groups keep a best row and take an input row's
// element only where it is strictly better, or a NaN over a number.

#if defined(__AVX512F__)
typedef float SelVec __attribute__((vector_size(64)));
typedef std::int32_t SelMask __attribute__((vector_size(64)));
#elif defined(__AVX2__)
typedef float SelVec __attribute__((vector_size(32)));
typedef std::int32_t SelMask __attribute__((vector_size(32)));
#else
typedef float SelVec __attribute__((vector_size(16)));
typedef std::int32_t SelMask __attribute__((vector_size(16)));
#endif
constexpr std::size_t kSelLanes = sizeof(SelVec) / sizeof(float);
constexpr std::size_t kSelAccs = 4;

template <bool Max>
inline bool better(float v, float best) {
  return Max ? v > best : v < best;
}

// Vectors by reference throughout: see combine_vec.
template <bool Max>
inline void better_mask(SelMask& m, const SelVec& v, const SelVec& best) {
  if constexpr (Max) {
    m = v > best;
  } else {
    m = v < best;
  }
}

inline void load_sel(SelVec& v, const float* p) { std::memcpy(&v, p, sizeof v); }

// The extreme of n >= 1 floats; `nan` tells whether any of them is NaN (the
// extreme is then meaningless).
template <bool Max>
inline float block_extreme(const float* p, std::size_t n, bool& nan) {
  std::size_t i = 0;
  float best = p[0];
  bool has_nan = false;
  if (n >= kSelAccs * kSelLanes) {
    SelVec acc[kSelAccs];
    SelMask nans{};
    SelMask take;
    for (std::size_t k = 0; k < kSelAccs; ++k) {
      load_sel(acc[k], p + k * kSelLanes);
      nans |= acc[k] != acc[k];
    }
    for (i = kSelAccs * kSelLanes; i + kSelAccs * kSelLanes <= n; i += kSelAccs * kSelLanes) {
      for (std::size_t k = 0; k < kSelAccs; ++k) {
        SelVec v;
        load_sel(v, p + i + k * kSelLanes);
        better_mask<Max>(take, v, acc[k]);
        acc[k] = take ? v : acc[k];
        nans |= v != v;
      }
    }
    for (std::size_t k = 1; k < kSelAccs; ++k) {
      better_mask<Max>(take, acc[k], acc[0]);
      acc[0] = take ? acc[k] : acc[0];
    }
    best = acc[0][0];
    for (std::size_t l = 0; l < kSelLanes; ++l) {
      if (better<Max>(acc[0][l], best)) best = acc[0][l];
      has_nan |= nans[l] != 0;
    }
  }
  for (; i < n; ++i) {
    if (better<Max>(p[i], best)) best = p[i];
    has_nan |= p[i] != p[i];
  }
  nan = has_nan;
  return best;
}

inline bool any_lane(const SelMask& m) {
  std::uint64_t words[sizeof m / 8];
  std::memcpy(words, &m, sizeof m);
  std::uint64_t any = 0;
  for (std::uint64_t w : words) any |= w;
  return any != 0;
}

// The position of the first of n floats equal to m, which one of them is.
inline std::size_t first_equal(const float* x, std::size_t n, float m) {
  SelVec target;
  for (std::size_t l = 0; l < kSelLanes; ++l) target[l] = m;
  std::size_t i = 0;
  for (; i + kSelLanes <= n; i += kSelLanes) {
    SelVec v;
    load_sel(v, x + i);
    if (any_lane(v == target)) break;
  }
  while (x[i] != m) ++i;
  return i;
}

template <bool Max>
struct ElementSelect {
  DType dtype;
  Axes reduced;
  std::size_t count;
  bool want_index;

  // The flat index of the chosen element of the group at `base` (when
  // want_index); its value in `value`. Without the index a block is read
  // again only when its extreme is a zero, whose sign is that of the first.
  [[gnu::noinline]] std::size_t operator()(const char* base, float& value) const {
    float buf[kBlock];
    const bool direct = dtype == DType::F32 && reduced.size() == 1 &&
                        reduced[0].in == static_cast<std::ptrdiff_t>(sizeof(float));
    bool have = false;
    float best = 0;
    std::size_t at = 0;
    for (std::size_t lo = 0; lo < count; lo += kBlock) {
      const std::size_t n = std::min(kBlock, count - lo);
      const float* x = buf;
      if (direct) {
        x = reinterpret_cast<const float*>(base) + lo;
      } else {
        gather_flat(dtype, reduced, base, lo, n, buf);
      }
      bool nan = false;
      const float m = block_extreme<Max>(x, n, nan);
      if (nan) {
        std::size_t k = 0;
        while (x[k] == x[k]) ++k;
        value = x[k];
        return lo + k;
      }
      if (have && !better<Max>(m, best)) continue;
      have = true;
      best = m;
      value = m;
      if (want_index || m == 0) {
        const std::size_t k = first_equal(x, n, m);
        at = lo + k;
        value = x[k];
      }
    }
    return at;
  }
};

// best = the better of best and x, element by element, a NaN over a number
// and the earlier one on a tie.
template <bool Max>
inline void select_into(float* best, const float* x, std::size_t w) {
  std::size_t j = 0;
  for (; j + kSelLanes <= w; j += kSelLanes) {
    SelVec v, b;
    load_sel(v, x + j);
    load_sel(b, best + j);
    SelMask take;
    better_mask<Max>(take, v, b);
    take |= (v != v) & (b == b);
    const SelVec r = take ? v : b;
    std::memcpy(best + j, &r, sizeof r);
  }
  for (; j < w; ++j)
    if (better<Max>(x[j], best[j]) || (x[j] != x[j] && best[j] == best[j])) best[j] = x[j];
}

// The same, noting in `index` the row r where an element is taken.
template <bool Max>
inline void select_into_indexed(float* best, std::size_t* index, const float* x, std::size_t w, std::size_t r) {
  for (std::size_t j = 0; j < w; ++j) {
    if (better<Max>(x[j], best[j]) || (x[j] != x[j] && best[j] == best[j])) {
      best[j] = x[j];
      index[j] = r;
    }
  }
}

template <bool Max>
void select_rows(const ReduceProblem& p, Axes outer, const ReduceAxis& row) {
  const DType d = p.dtype;
  const auto out_item = static_cast<std::ptrdiff_t>(dtype_size(p.out_dtype));
  const std::size_t count = flat_count(all_of(p.reduced));
  const std::size_t tile = std::min(row.extent, kTileCols);
  const bool direct = d == DType::F32 && row.in == static_cast<std::ptrdiff_t>(sizeof(float));
  const std::unique_ptr<float[]> scratch(new float[2 * tile]);
  float* best = scratch.get();
  float* widened = best + tile;
  std::unique_ptr<std::size_t[]> index;
  if (p.index) index.reset(new std::size_t[tile]);
  for_each_position(outer, [&](std::ptrdiff_t in, std::ptrdiff_t o) {
    for (std::size_t c0 = 0; c0 < row.extent; c0 += tile) {
      const std::size_t w = std::min(tile, row.extent - c0);
      const auto c = static_cast<std::ptrdiff_t>(c0);
      const char* base = p.in + in + c * row.in;
      FlatIndex at{all_of(p.reduced), {}};
      std::ptrdiff_t off = at.seek(0);
      for (std::size_t r = 0;; ++r) {
        const float* x = widened;
        if (direct) {
          x = reinterpret_cast<const float*>(base + off);
        } else {
          widen_run(d, base + off, row.in, widened, w);
        }
        if (r == 0) {
          std::memcpy(best, x, w * sizeof(float));
          if (p.index) std::fill(index.get(), index.get() + w, std::size_t{0});
        } else if (p.index) {
          select_into_indexed<Max>(best, index.get(), x, w, r);
        } else {
          select_into<Max>(best, x, w);
        }
        if (r + 1 == count) break;
        off += at.next();
      }
      const std::ptrdiff_t first = p.out_origin + o + c * row.out;
      store_run(p.out_dtype, best, w, p.out + first * out_item, row.out);
      if (p.index)
        for (std::size_t j = 0; j < w; ++j) p.index[first + static_cast<std::ptrdiff_t>(j) * row.out] = index[j];
    }
  });
}

template <bool Max>
void run_select(const ReduceProblem& p) {
  if (p.rows) {
    return select_rows<Max>(p, all_but_last(p.kept), p.kept.back());
  }
  const auto out_item = static_cast<std::ptrdiff_t>(dtype_size(p.out_dtype));
  const ElementSelect<Max> select{p.dtype, all_of(p.reduced), flat_count(all_of(p.reduced)), p.index != nullptr};
  for_each_position(all_of(p.kept), [&](std::ptrdiff_t in, std::ptrdiff_t o) {
    const std::ptrdiff_t at = p.out_origin + o;
    float v = 0;
    const std::size_t k = select(p.in + in, v);
    store_one(p.out_dtype, v, p.out + at * out_item);
    if (p.index) p.index[at] = k;
  });
}

void run_max(const ReduceProblem& p) { run_select<true>(p); }
void run_min(const ReduceProblem& p) { run_select<false>(p); }

}  // namespace
}  // namespace quarn::engine
