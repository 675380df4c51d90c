// The drivers of the optimiser updates: the baseline table, the choice of
// table for this processor, and the split of a large parameter over the
// thread pool.
#include "engine/optim/optim.hpp"

#include "engine/cpu_features.hpp"
#include "engine/optim/optim_kernels.hpp"
#include "runtime/blocking.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::engine::optim {

const OptimKernels& optim_kernels_baseline() {
  static constexpr OptimKernels table{"baseline", run_sgd, run_adam};
  return table;
}

namespace {

const OptimKernels& choose_optim_kernels() {
#if defined(__x86_64__)
  if (cpu_features().has_avx512()) return optim_kernels_avx512();
  if (cpu_features().has_avx2_fma()) return optim_kernels_avx2();
#endif
  return optim_kernels_baseline();
}

// A parameter below this many elements is updated on the calling thread: a
// pass over it costs less than waking the workers. Above it the elements are
// cut into chunks of kChunk, a number that depends on the size alone; each
// element's arithmetic is its own, so any cut gives the same bits anyway.
constexpr std::size_t kParallelFrom = std::size_t{1} << 16;
constexpr std::size_t kChunk = std::size_t{1} << 14;
// Chunk edges on whole cache lines of every array.
constexpr std::size_t kGrain = 16;

// Calls range(offset, len, g) on stretches that cover [0, n), with `g` the
// gradient of elements offset ... offset + len - 1 in the parameter's order:
// a pointer into the caller's array, or, for a transposed gradient, rows
// gathered into a buffer on the stack, a stretch of columns at a time.
template <class F>
void over_elements(const Gradient& g, std::size_t n, F&& range) {
  // An update touches every element of three to five arrays a few times.
  LongWork guard(n * 4);
  if (!g.transposed) {
    if (n < kParallelFrom) {
      range(std::size_t{0}, n, g.data);
      return;
    }
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    parallel_for(chunks, [&](std::size_t i) {
      const std::size_t begin = chunk_begin(i, chunks, n, kGrain);
      range(begin, chunk_begin(i + 1, chunks, n, kGrain) - begin, g.data + begin);
    });
    return;
  }
  constexpr std::size_t kStretch = 256;
  auto rows = [&](std::size_t first, std::size_t last) {
    float gathered[kStretch];
    for (std::size_t i = first; i < last; ++i) {
      for (std::size_t c0 = 0; c0 < g.cols; c0 += kStretch) {
        const std::size_t len = g.cols - c0 < kStretch ? g.cols - c0 : kStretch;
        const float* column = g.data + c0 * g.rows + i;
        for (std::size_t j = 0; j < len; ++j) gathered[j] = column[j * g.rows];
        range(i * g.cols + c0, len, gathered);
      }
    }
  };
  if (n < kParallelFrom || g.rows < 2) {
    rows(0, g.rows);
    return;
  }
  const std::size_t chunks = (n + kChunk - 1) / kChunk < g.rows ? (n + kChunk - 1) / kChunk : g.rows;
  parallel_for(chunks, [&](std::size_t i) {
    rows(chunk_begin(i, chunks, g.rows, 1), chunk_begin(i + 1, chunks, g.rows, 1));
  });
}

}  // namespace

const OptimKernels& optim_kernels() {
  static const OptimKernels& table = choose_optim_kernels();
  return table;
}

void sgd_step(float* p, const Gradient& g, float* buf, std::size_t n, const SgdConfig& c) {
  const OptimKernels& k = optim_kernels();
  over_elements(g, n, [&](std::size_t at, std::size_t len, const float* gr) {
    k.sgd(p + at, gr, buf ? buf + at : nullptr, 0, len, c);
  });
}

void adam_step(float* p, const Gradient& g, float* m, float* v, float* vmax, std::size_t n, const AdamConfig& c) {
  const OptimKernels& k = optim_kernels();
  over_elements(g, n, [&](std::size_t at, std::size_t len, const float* gr) {
    k.adam(p + at, gr, m + at, v + at, vmax ? vmax + at : nullptr, 0, len, c);
  });
}

}  // namespace quarn::engine::optim
