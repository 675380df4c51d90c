// The one n-dimensional walk behind every element-wise operation.
//
//   LoopOperands<3> ops{{out, a, b}, {out_strides, a_strides, b_strides}, {4, 4, 4}};
//   for_each_run(shape, ops, [&](const auto& p, const auto& s, std::size_t n) {
//     kernel(p[0], p[1], s[1], p[2], s[2], n);
//   });
//
// Operand 0 is the result, which the caller allocated densely. The walk drops
// axes of extent 1, orders the rest so that the result is written in memory
// order, and merges neighbouring axes that every operand steps through
// evenly, so a contiguous operation becomes a single run and a row broadcast
// becomes one run per row. The innermost axis is handed to `run` as a
// stretch of `n` elements: the result contiguous, each operand with its own
// element stride (1 contiguous, 0 broadcast, other values strided).
//
// When an operand is read across its own memory order (a transposed operand
// combined with a row-major result) the two innermost axes are walked in
// square tiles, so the lines that operand pulls in are used up while they are
// still in L1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/shape.hpp"

namespace quarn::engine::elementwise {

template <std::size_t N>
struct LoopOperands {
  std::array<char*, N> data;
  // Element strides over the loop shape, one per axis.
  std::array<const std::ptrdiff_t*, N> strides;
  std::array<std::size_t, N> itemsize;
};

// Tile edge for strided walks: 64 x 64 elements keep a transposed f32
// operand's lines (64 lines of 64 bytes for each 16 rows) inside L1.
inline constexpr std::size_t kTile = 64;

namespace detail {

inline std::size_t magnitude(std::ptrdiff_t s) {
  return s < 0 ? static_cast<std::size_t>(-s) : static_cast<std::size_t>(s);
}

// Axes after dropping extent 1, ordering and merging; outermost first.
// Strides are in bytes.
template <std::size_t N>
struct LoopPlan {
  SmallVector<std::size_t> extent;
  std::array<SmallVector<std::ptrdiff_t>, N> step;
};

template <std::size_t N>
bool make_plan(const Shape& shape, const LoopOperands<N>& ops, LoopPlan<N>& plan) {
  SmallVector<std::size_t> axes;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return false;
    if (shape[i] != 1) axes.push_back(i);
  }
  // Insertion sort, stable: larger result stride outside.
  const std::ptrdiff_t* out = ops.strides[0];
  for (std::size_t i = 1; i < axes.size(); ++i) {
    std::size_t ax = axes[i];
    std::size_t j = i;
    for (; j > 0 && magnitude(out[axes[j - 1]]) < magnitude(out[ax]); --j) axes[j] = axes[j - 1];
    axes[j] = ax;
  }
  for (std::size_t ax : axes) {
    if (!plan.extent.empty()) {
      bool mergeable = true;
      for (std::size_t k = 0; k < N; ++k)
        mergeable &= plan.step[k].back() ==
                     ops.strides[k][ax] * static_cast<std::ptrdiff_t>(shape[ax] * ops.itemsize[k]);
      if (mergeable) {
        plan.extent.back() *= shape[ax];
        for (std::size_t k = 0; k < N; ++k)
          plan.step[k].back() = ops.strides[k][ax] * static_cast<std::ptrdiff_t>(ops.itemsize[k]);
        continue;
      }
    }
    plan.extent.push_back(shape[ax]);
    for (std::size_t k = 0; k < N; ++k)
      plan.step[k].push_back(ops.strides[k][ax] * static_cast<std::ptrdiff_t>(ops.itemsize[k]));
  }
  return true;
}

// Odometer over axes [0, stop) of the plan, calling body(pointers) at each
// position.
template <std::size_t N, class Body>
void walk_outer(const LoopPlan<N>& plan, std::size_t stop, std::array<char*, N> p, Body&& body) {
  if (stop == 0) {
    body(p);
    return;
  }
  SmallVector<std::size_t> index(stop, 0);
  for (;;) {
    body(p);
    std::size_t d = stop;
    for (;;) {
      if (d == 0) return;
      --d;
      for (std::size_t k = 0; k < N; ++k) p[k] += plan.step[k][d];
      if (++index[d] < plan.extent[d]) break;
      index[d] = 0;
      for (std::size_t k = 0; k < N; ++k)
        p[k] -= plan.step[k][d] * static_cast<std::ptrdiff_t>(plan.extent[d]);
    }
  }
}

}  // namespace detail

template <std::size_t N, class Run>
void for_each_run(const Shape& shape, const LoopOperands<N>& ops, Run&& run) {
  detail::LoopPlan<N> plan;
  if (!detail::make_plan(shape, ops, plan)) return;  // no elements
  std::array<std::ptrdiff_t, N> inner{};
  const std::size_t nd = plan.extent.size();
  if (nd == 0) {
    run(ops.data, inner, std::size_t{1});
    return;
  }
  const std::size_t n = plan.extent[nd - 1];
  bool across = false;  // some operand read against its memory order
  for (std::size_t k = 0; k < N; ++k) {
    inner[k] = plan.step[k][nd - 1] / static_cast<std::ptrdiff_t>(ops.itemsize[k]);
    if (k > 0 && nd >= 2 && detail::magnitude(inner[k]) > 1 &&
        detail::magnitude(plan.step[k][nd - 2]) < detail::magnitude(plan.step[k][nd - 1]))
      across = true;
  }
  const std::size_t rows = nd >= 2 ? plan.extent[nd - 2] : 1;
  if (!across || n < 2 * kTile || rows < 2 * kTile) {
    detail::walk_outer(plan, nd - 1, ops.data, [&](const std::array<char*, N>& p) { run(p, inner, n); });
    return;
  }
  // Tiled walk over the two innermost axes.
  detail::walk_outer(plan, nd - 2, ops.data, [&](const std::array<char*, N>& base) {
    for (std::size_t r0 = 0; r0 < rows; r0 += kTile) {
      const std::size_t r1 = r0 + kTile < rows ? r0 + kTile : rows;
      for (std::size_t c0 = 0; c0 < n; c0 += kTile) {
        const std::size_t m = n - c0 < kTile ? n - c0 : kTile;
        std::array<char*, N> p;
        for (std::size_t k = 0; k < N; ++k)
          p[k] = base[k] + static_cast<std::ptrdiff_t>(r0) * plan.step[k][nd - 2] +
                 static_cast<std::ptrdiff_t>(c0) * plan.step[k][nd - 1];
        for (std::size_t r = r0; r < r1; ++r) {
          run(p, inner, m);
          for (std::size_t k = 0; k < N; ++k) p[k] += plan.step[k][nd - 2];
        }
      }
    }
  });
}

}  // namespace quarn::engine::elementwise
