// The layer-normalisation row kernels compiled for avx512; reached only after a CPU check.
#include "engine/layer_norm_kernels.hpp"

namespace quarn::engine {

const LayerNormKernels& layer_norm_kernels_avx512() {
  static constexpr LayerNormKernels table{"avx512", forward_rows, backward_rows};
  return table;
}

}  // namespace quarn::engine
