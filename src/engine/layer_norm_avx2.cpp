// The layer-normalisation row kernels compiled for avx2; reached only after a CPU check.
#include "engine/layer_norm_kernels.hpp"

namespace quarn::engine {

const LayerNormKernels& layer_norm_kernels_avx2() {
  static constexpr LayerNormKernels table{"avx2", forward_rows, backward_rows};
  return table;
}

}  // namespace quarn::engine
