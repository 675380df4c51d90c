// The layer-normalisation row kernels compiled for baseline x86-64 (or the build's own target).
#include "engine/layer_norm_kernels.hpp"

namespace quarn::engine {

const LayerNormKernels& layer_norm_kernels_baseline() {
  static constexpr LayerNormKernels table{"baseline", forward_rows, backward_rows};
  return table;
}

}  // namespace quarn::engine
