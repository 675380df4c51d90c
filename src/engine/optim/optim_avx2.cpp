// The optimiser kernels compiled for AVX2; reached only after a CPU check.
#include "engine/optim/optim_kernels.hpp"

namespace quarn::engine::optim {

const OptimKernels& optim_kernels_avx2() {
  static constexpr OptimKernels table{"avx2", run_sgd, run_adam};
  return table;
}

}  // namespace quarn::engine::optim
