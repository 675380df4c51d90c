// The optimiser kernels compiled for AVX-512; reached only after a CPU check.
#include "engine/optim/optim_kernels.hpp"

namespace quarn::engine::optim {

const OptimKernels& optim_kernels_avx512() {
  static constexpr OptimKernels table{"avx512", run_sgd, run_adam};
  return table;
}

}  // namespace quarn::engine::optim
