// The one n-dimensional walk of the engine, and the planner that shortens it.
//
//   walk_nd<2>(nd, [&](std::size_t d) { return extent[d]; },
//              [&](std::size_t k, std::size_t d) { return step[k][d]; },
//              [&](const WalkOffsets<2>& off) { use(a + off[0], b + off[1]); });
//
// The walk is an odometer over axes listed outermost first, the last one
// fastest, carrying one offset per operand. Extents and steps come through
// callables so that every caller keeps its strides in its own form and unit:
// element strides of a view, NumPy's byte strides (which need not be a
// multiple of the item size), or a list of axis records. Callers that pass
// lambdas get the whole walk inlined.
//
// Offsets rather than pointers: an axis is taken back to its start after its
// last position, and a pointer formed past the end of an operand (or before
// its start, with a negative stride) is undefined even if it is never read.
// No recursion: a walk may have any number of axes, and its only memory is
// one counter per axis.
//
// Only templates here, no plain inline functions: the sum kernels include
// this header in translation units compiled for different instruction sets,
// and an inline function with external linkage could be merged by the linker
// into a copy built for a wider set than the caller's. Instantiated with
// lambdas from an unnamed namespace, each copy of the walk stays in its unit.
#pragma once

#include <array>
#include <cstddef>

#include "core/shape.hpp"

namespace quarn::engine {

template <std::size_t N>
using WalkOffsets = std::array<std::ptrdiff_t, N>;

// Calls body(offsets) at every position of axes [0, nd): extent(d) is the
// length of axis d and step(k, d) the change of operand k's offset for one
// step along it. No axes is one position; an axis of extent 0 is none.
template <std::size_t N, class Extent, class Step, class Body>
void walk_nd(std::size_t nd, const Extent& extent, const Step& step, Body&& body) {
  for (std::size_t d = 0; d < nd; ++d)
    if (extent(d) == 0) return;
  WalkOffsets<N> off{};
  SmallVector<std::size_t> counters(nd, 0);
  std::size_t* const index = counters.data();
  for (;;) {
    body(static_cast<const WalkOffsets<N>&>(off));
    std::size_t d = nd;
    for (;;) {
      if (d == 0) return;
      --d;
      for (std::size_t k = 0; k < N; ++k) off[k] += step(k, d);
      if (++index[d] < extent(d)) break;
      const auto n = static_cast<std::ptrdiff_t>(extent(d));
      for (std::size_t k = 0; k < N; ++k) off[k] -= n * step(k, d);
      index[d] = 0;
    }
  }
}

// The axes of a walk after planning, outermost first; steps in the unit the
// strides were given in.
template <std::size_t N>
struct WalkPlan {
  SmallVector<std::size_t> extent;
  std::array<SmallVector<std::ptrdiff_t>, N> step;
};

// Plans a walk over `shape` in which operand k steps stride(k, axis) along
// each axis. Operand 0 is the one written, so the plan drops axes of extent
// 1, orders the rest so that operand 0 is visited in its memory order, and
// merges neighbouring axes that every operand steps through evenly: a dense
// walk becomes a single axis and a row broadcast one axis of rows and one of
// columns. Returns false when `shape` has no elements.
template <std::size_t N, class Stride>
bool make_walk_plan(const Shape& shape, const Stride& stride, WalkPlan<N>& plan) {
  SmallVector<std::size_t> axes;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return false;
    if (shape[i] != 1) axes.push_back(i);
  }
  auto magnitude = [&](std::size_t ax) {
    const std::ptrdiff_t s = stride(0, ax);
    return s < 0 ? static_cast<std::size_t>(-s) : static_cast<std::size_t>(s);
  };
  // Insertion sort, stable: larger stride of operand 0 outside.
  for (std::size_t i = 1; i < axes.size(); ++i) {
    const std::size_t ax = axes[i];
    std::size_t j = i;
    for (; j > 0 && magnitude(axes[j - 1]) < magnitude(ax); --j) axes[j] = axes[j - 1];
    axes[j] = ax;
  }
  for (std::size_t ax : axes) {
    const auto extent = static_cast<std::ptrdiff_t>(shape[ax]);
    if (!plan.extent.empty()) {
      bool mergeable = true;
      for (std::size_t k = 0; k < N; ++k) mergeable &= plan.step[k].back() == stride(k, ax) * extent;
      if (mergeable) {
        plan.extent.back() *= shape[ax];
        for (std::size_t k = 0; k < N; ++k) plan.step[k].back() = stride(k, ax);
        continue;
      }
    }
    plan.extent.push_back(shape[ax]);
    for (std::size_t k = 0; k < N; ++k) plan.step[k].push_back(stride(k, ax));
  }
  return true;
}

// walk_nd over the first `stop` axes of a plan.
template <std::size_t N, class Body>
void walk_plan(const WalkPlan<N>& plan, std::size_t stop, Body&& body) {
  // Plain arrays: an element of a SmallVector is a test of where it keeps
  // its elements, which the compiler does not always lift out of the walk.
  const std::size_t* const extent = plan.extent.data();
  std::array<const std::ptrdiff_t*, N> step;
  for (std::size_t k = 0; k < N; ++k) step[k] = plan.step[k].data();
  walk_nd<N>(
      stop, [&](std::size_t d) { return extent[d]; }, [&](std::size_t k, std::size_t d) { return step[k][d]; },
      body);
}

}  // namespace quarn::engine
