// The strided walk behind every element-wise operation, on top of the
// engine's n-dimensional walk (nd_walk.hpp).
//
//   LoopOperands<3> ops{{out, a, b}, {out_strides, a_strides, b_strides}, {4, 4, 4}};
//   for_each_run(shape, ops, [&](const auto& p, const auto& s, std::size_t n) {
//     kernel(p[0], p[1], s[1], p[2], s[2], n);
//   });
//
// Operand 0 is the result, which the caller allocated densely. The plan drops
// axes of extent 1, orders the rest so that the result is written in memory
// order, and merges neighbouring axes that every operand steps through
// evenly, so a contiguous operation becomes a single run and a row broadcast
// becomes one run per row. The innermost axis is handed to `run` as a
// stretch of `n` elements: the result contiguous, each operand with its own
// element stride (1 contiguous, 0 broadcast, other values strided).
//
// When an operand is read across its own memory order (a transposed operand
// combined with a row-major result) the two innermost axes are walked in
// square tiles, and each tile of that operand is first copied, in its own
// memory order, into a small buffer laid out like the result. Reading it
// directly would step through memory by whole rows: every element a new line,
// and with power-of-two row lengths all of them in the same few cache sets,
// so no line would survive until its neighbour is needed.
//
// for_each_run_parallel is the same walk for operations that write each
// result element from one run only (an element-wise result, or a sum along
// the inner axis): a large walk is cut into chunks of about
// kChunkElements, which the thread pool shares out. The cut depends only on
// the shape and the strides, never on the number of threads, and falls on
// multiples of kChunkGrain elements within a run (a multiple of every block
// the kernels work in, and of the vector alignment), so every element is
// computed the same way on any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/shape.hpp"
#include "engine/nd_walk.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::engine::elementwise {

template <std::size_t N>
struct LoopOperands {
  std::array<char*, N> data;
  // Element strides over the loop shape, one per axis.
  std::array<const std::ptrdiff_t*, N> strides;
  std::array<std::size_t, N> itemsize;
};

// Tile edge for strided walks: a 64 x 64 tile of 4-byte elements is 16 KiB,
// so the copy and the runs that read it stay in L1.
inline constexpr std::size_t kTile = 64;
inline constexpr std::size_t kMaxTileItem = 4;
inline constexpr std::ptrdiff_t kPrefetchRows = 8;

// Walks of fewer elements stay on the calling thread: 128K elements take
// some 20 to 40 us on one core, several times the 5 to 20 us of waking a
// worker. To be checked on a quiet machine, like the GEMM's threshold.
inline constexpr std::size_t kParallelElements = std::size_t{1} << 17;
inline constexpr std::size_t kChunkElements = std::size_t{1} << 15;
inline constexpr std::size_t kChunkGrain = 4096;

namespace detail {

inline std::size_t magnitude(std::ptrdiff_t s) {
  return s < 0 ? static_cast<std::size_t>(-s) : static_cast<std::size_t>(s);
}

// Copies rows x cols elements, read column by column along the source's own
// fast axis, into `dst` laid out row-major with `cols` elements per row.
template <class T>
void copy_tile(char* dst, const char* src, std::size_t rows, std::size_t cols, std::ptrdiff_t step_r,
               std::ptrdiff_t step_c) {
  T* out = reinterpret_cast<T*>(dst);
  const std::size_t span = rows * sizeof(T);
  for (std::size_t c = 0; c < cols; ++c) {
    const char* column = src + static_cast<std::ptrdiff_t>(c) * step_c;
    // The same column of the next tile: short chunks a row length apart are
    // a pattern the hardware prefetchers do not follow.
    const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(column) + kTile * step_c;
    for (std::size_t off = 0; off < span; off += 64) __builtin_prefetch(reinterpret_cast<const void*>(ahead + off));
    for (std::size_t r = 0; r < rows; ++r)
      out[r * cols + c] = *reinterpret_cast<const T*>(column + static_cast<std::ptrdiff_t>(r) * step_r);
  }
}

inline void copy_tile(char* dst, const char* src, std::size_t rows, std::size_t cols, std::ptrdiff_t step_r,
                      std::ptrdiff_t step_c, std::size_t itemsize) {
  switch (itemsize) {
    case 1:
      return copy_tile<std::uint8_t>(dst, src, rows, cols, step_r, step_c);
    case 2:
      return copy_tile<std::uint16_t>(dst, src, rows, cols, step_r, step_c);
    default:
      return copy_tile<std::uint32_t>(dst, src, rows, cols, step_r, step_c);
  }
}

// Calls body(offsets) at positions [first, first + count) of the walk over
// the first `stop` axes of `plan`, in the walk's order.
template <std::size_t N, class Body>
void walk_plan_range(const WalkPlan<N>& plan, std::size_t stop, std::size_t first, std::size_t count, Body&& body) {
  if (count == 0) return;
  SmallVector<std::size_t> index(stop, 0);
  WalkOffsets<N> off{};
  std::size_t rest = first;
  for (std::size_t d = stop; d-- > 0;) {
    index[d] = rest % plan.extent[d];
    rest /= plan.extent[d];
    for (std::size_t k = 0; k < N; ++k) off[k] += static_cast<std::ptrdiff_t>(index[d]) * plan.step[k][d];
  }
  for (std::size_t i = 0;;) {
    body(static_cast<const WalkOffsets<N>&>(off));
    if (++i == count) return;
    for (std::size_t d = stop; d-- > 0;) {
      for (std::size_t k = 0; k < N; ++k) off[k] += plan.step[k][d];
      if (++index[d] < plan.extent[d]) break;
      for (std::size_t k = 0; k < N; ++k) off[k] -= static_cast<std::ptrdiff_t>(plan.extent[d]) * plan.step[k][d];
      index[d] = 0;
    }
  }
}

// Non-temporal stores a task made are ordered before the pool reports the
// task done.
inline void fence_streaming_stores() {
#if defined(__SSE__)
  __builtin_ia32_sfence();
#endif
}

template <std::size_t N, class Run>
void for_each_run_impl(const Shape& shape, const LoopOperands<N>& ops, Run&& run, bool parallel);

}  // namespace detail

template <std::size_t N, class Run>
void for_each_run(const Shape& shape, const LoopOperands<N>& ops, Run&& run) {
  detail::for_each_run_impl(shape, ops, run, false);
}

// The same for a result written once per element (see the top of the file).
template <std::size_t N, class Run>
void for_each_run_parallel(const Shape& shape, const LoopOperands<N>& ops, Run&& run) {
  detail::for_each_run_impl(shape, ops, run, true);
}

// run(begin, end) over [0, n), cut into chunks as above when n is large.
template <class Run>
void for_each_chunk(std::size_t n, Run&& run) {
  if (n < kParallelElements) {
    run(std::size_t{0}, n);
    return;
  }
  const std::size_t chunks = (n + kChunkElements - 1) / kChunkElements;
  parallel_for(chunks, [&](std::size_t t) {
    run(chunk_begin(t, chunks, n, kChunkGrain), chunk_begin(t + 1, chunks, n, kChunkGrain));
    detail::fence_streaming_stores();
  });
}

namespace detail {

template <std::size_t N, class Run>
void for_each_run_impl(const Shape& shape, const LoopOperands<N>& ops, Run&& run, bool parallel) {
  WalkPlan<N> plan;
  // Byte strides, so that every operand steps in the same unit.
  const bool any = make_walk_plan<N>(shape, [&](std::size_t k, std::size_t ax) {
    return ops.strides[k][ax] * static_cast<std::ptrdiff_t>(ops.itemsize[k]);
  }, plan);
  if (!any) return;  // no elements
  std::array<std::ptrdiff_t, N> inner{};
  const std::size_t nd = plan.extent.size();
  if (nd == 0) {
    run(ops.data, inner, std::size_t{1});
    return;
  }
  const std::size_t n = plan.extent[nd - 1];
  // Operands read against their memory order: strided along the inner axis
  // but closer together along the next one.
  std::array<bool, N> across{};
  bool any_across = false;
  for (std::size_t k = 0; k < N; ++k) {
    inner[k] = plan.step[k][nd - 1] / static_cast<std::ptrdiff_t>(ops.itemsize[k]);
    across[k] = k > 0 && nd >= 2 && ops.itemsize[k] <= kMaxTileItem && detail::magnitude(inner[k]) > 1 &&
                detail::magnitude(plan.step[k][nd - 2]) < detail::magnitude(plan.step[k][nd - 1]);
    any_across |= across[k];
  }
  const std::size_t rows = nd >= 2 ? plan.extent[nd - 2] : 1;
  std::size_t outer = 1;
  for (std::size_t d = 0; d + 1 < nd; ++d) outer *= plan.extent[d];
  parallel = parallel && outer * n >= kParallelElements;
  // Tasks may not share a result element: every outer axis must move
  // operand 0. Along the inner axis it may stand still (a sum into one
  // element per run); runs are then kept whole.
  for (std::size_t d = 0; parallel && d + 1 < nd; ++d) parallel = plan.step[0][d] != 0;
  const bool inner_moves = plan.step[0][nd - 1] != 0;
  if (!any_across || n < 2 * kTile || rows < 2 * kTile) {
    if (!parallel) {
      walk_plan(plan, nd - 1, [&](const WalkOffsets<N>& off) {
        std::array<char*, N> p;
        for (std::size_t k = 0; k < N; ++k) p[k] = ops.data[k] + off[k];
        run(p, inner, n);
      });
      return;
    }
    // Long runs are cut into pieces; short ones are taken several at a time.
    const std::size_t pieces = inner_moves ? (n + kChunkElements - 1) / kChunkElements : 1;
    const std::size_t runs_per_task = pieces > 1 ? 1 : kChunkElements / n;
    const std::size_t tasks = pieces > 1 ? outer * pieces : (outer + runs_per_task - 1) / runs_per_task;
    parallel_for(tasks, [&](std::size_t t) {
      if (pieces > 1) {
        const std::size_t piece = t % pieces;
        const std::size_t begin = chunk_begin(piece, pieces, n, kChunkGrain);
        const std::size_t end = chunk_begin(piece + 1, pieces, n, kChunkGrain);
        walk_plan_range(plan, nd - 1, t / pieces, 1, [&](const WalkOffsets<N>& off) {
          std::array<char*, N> p;
          for (std::size_t k = 0; k < N; ++k)
            p[k] = ops.data[k] + (off[k] + static_cast<std::ptrdiff_t>(begin) * plan.step[k][nd - 1]);
          run(p, inner, end - begin);
        });
      } else {
        const std::size_t first = t * runs_per_task;
        const std::size_t count = outer - first < runs_per_task ? outer - first : runs_per_task;
        walk_plan_range(plan, nd - 1, first, count, [&](const WalkOffsets<N>& off) {
          std::array<char*, N> p;
          for (std::size_t k = 0; k < N; ++k) p[k] = ops.data[k] + off[k];
          run(p, inner, n);
        });
      }
      fence_streaming_stores();
    });
    return;
  }
  // Tiled walk over the two innermost axes; tiled operands are read from
  // their tile buffers with stride 1.
  std::array<std::ptrdiff_t, N> tiled_inner = inner;
  for (std::size_t k = 0; k < N; ++k)
    if (across[k]) tiled_inner[k] = 1;
  // On the heap, not the stack: a frame holding 16 KiB per operand would be
  // needed by every element-wise call, tiled or not, and is as large as the
  // whole stack of a thread started with Python's smallest stack size. A
  // tiled walk covers at least 128 x 128 elements, so one allocation is
  // nothing next to it.
  struct TileBuffers {
    alignas(64) char bytes[N - 1][kTile * kTile * kMaxTileItem];
  };
  // Rows [r_begin, r_end) of tiles at one position of the outer axes.
  auto band = [&](const WalkOffsets<N>& base, std::size_t r_begin, std::size_t r_end, TileBuffers& buffers) {
    auto& tiles = buffers.bytes;
    for (std::size_t r0 = r_begin; r0 < r_end; r0 += kTile) {
      const std::size_t h = rows - r0 < kTile ? rows - r0 : kTile;
      for (std::size_t c0 = 0; c0 < n; c0 += kTile) {
        const std::size_t m = n - c0 < kTile ? n - c0 : kTile;
        std::array<char*, N> p;
        std::array<std::ptrdiff_t, N> row_step;
        for (std::size_t k = 0; k < N; ++k) {
          p[k] = ops.data[k] + (base[k] + static_cast<std::ptrdiff_t>(r0) * plan.step[k][nd - 2] +
                                static_cast<std::ptrdiff_t>(c0) * plan.step[k][nd - 1]);
          row_step[k] = plan.step[k][nd - 2];
          if (across[k]) {
            detail::copy_tile(tiles[k - 1], p[k], h, m, plan.step[k][nd - 2], plan.step[k][nd - 1], ops.itemsize[k]);
            p[k] = tiles[k - 1];
            row_step[k] = static_cast<std::ptrdiff_t>(m * ops.itemsize[k]);
          }
        }
        for (std::size_t r = 0;;) {
          // Untiled operands are read in short row pieces a row length
          // apart; fetch a few rows ahead.
          for (std::size_t k = 1; k < N; ++k) {
            if (across[k]) continue;
            const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(p[k]) + kPrefetchRows * row_step[k];
            for (std::size_t off = 0; off < m * ops.itemsize[k]; off += 64)
              __builtin_prefetch(reinterpret_cast<const void*>(ahead + off));
          }
          run(p, tiled_inner, m);
          // No step past the tile's last row: that row may be the operand's
          // last, and a pointer a row beyond it is not one we may form.
          if (++r == h) break;
          for (std::size_t k = 0; k < N; ++k) p[k] += row_step[k];
        }
      }
    }
  };
  if (!parallel) {
    const std::unique_ptr<TileBuffers> buffers(new TileBuffers);
    walk_plan(plan, nd - 2, [&](const WalkOffsets<N>& base) { band(base, 0, rows, *buffers); });
    return;
  }
  // Bands of whole tile rows, each task with its own tile buffers.
  const std::size_t band_rows = kTile * (kChunkElements / (kTile * n) > 0 ? kChunkElements / (kTile * n) : 1);
  const std::size_t bands = (rows + band_rows - 1) / band_rows;
  std::size_t planes = 1;
  for (std::size_t d = 0; d + 2 < nd; ++d) planes *= plan.extent[d];
  parallel_for(planes * bands, [&](std::size_t t) {
    const std::unique_ptr<TileBuffers> buffers(new TileBuffers);
    const std::size_t r_begin = (t % bands) * band_rows;
    const std::size_t r_end = rows - r_begin < band_rows ? rows : r_begin + band_rows;
    walk_plan_range(plan, nd - 2, t / bands, 1, [&](const WalkOffsets<N>& base) { band(base, r_begin, r_end, *buffers); });
    fence_streaming_stores();
  });
}

}  // namespace detail

}  // namespace quarn::engine::elementwise
