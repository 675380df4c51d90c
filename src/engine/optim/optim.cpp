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

template <class F>
void over_elements(std::size_t n, F&& range) {
  // An update touches every element of three to five arrays a few times.
  LongWork guard(n * 4);
  if (n < kParallelFrom) {
    range(std::size_t{0}, n);
    return;
  }
  const std::size_t chunks = (n + kChunk - 1) / kChunk;
  parallel_for(chunks, [&](std::size_t i) {
    range(chunk_begin(i, chunks, n, kGrain), chunk_begin(i + 1, chunks, n, kGrain));
  });
}

}  // namespace

const OptimKernels& optim_kernels() {
  static const OptimKernels& table = choose_optim_kernels();
  return table;
}

void sgd_step(float* p, const float* g, float* buf, std::size_t n, const SgdConfig& c) {
  const OptimKernels& k = optim_kernels();
  over_elements(n, [&](std::size_t begin, std::size_t end) { k.sgd(p, g, buf, begin, end, c); });
}

void adam_step(float* p, const float* g, float* m, float* v, float* vmax, std::size_t n, const AdamConfig& c) {
  const OptimKernels& k = optim_kernels();
  over_elements(n, [&](std::size_t begin, std::size_t end) { k.adam(p, g, m, v, vmax, begin, end, c); });
}

}  // namespace quarn::engine::optim
