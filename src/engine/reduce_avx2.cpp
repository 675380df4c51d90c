// The reduction kernels compiled for AVX2 with F16C; reached only after a CPU
// check.
#include "engine/reduce_kernels.hpp"

namespace quarn::engine {

const ReduceKernels& reduce_kernels_avx2() {
  static constexpr ReduceKernels table{"avx2", run_sum, run_prod, run_max, run_min};
  return table;
}

}  // namespace quarn::engine
