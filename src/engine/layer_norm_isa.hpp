// The row kernels of layer normalisation for one instruction set, as a
// table. layer_norm.cpp lays the rows out in binary32 and shares them out on
// the thread pool; every table computes the same formula with the same
// blocking of its sums, so results differ between tables only by the
// hardware's fused multiply-adds.
#pragma once

#include <cstddef>

namespace quarn::engine {

// Rows of `n` contiguous binary32 elements. Weight and bias are always
// given (ones and zeros when the caller has none).
struct LayerNormArgs {
  const float* x;
  const float* g;  // the gradient of y (backward only)
  const float* w;
  const float* b;
  float* y;        // forward only
  float* dx;       // backward only; may be null when not wanted
  float* stats;    // two per row: mean, 1/sqrt(var + eps)
  std::size_t n;
  float eps;
};

struct LayerNormKernels {
  const char* name;
  // Rows [r0, r1): y and stats.
  void (*forward)(const LayerNormArgs& a, std::size_t r0, std::size_t r1);
  // Rows [r0, r1): dx, and g * xhat and g added into gw and gb (n each).
  void (*backward)(const LayerNormArgs& a, std::size_t r0, std::size_t r1, float* gw, float* gb);
};

const LayerNormKernels& layer_norm_kernels_baseline();
#if defined(__x86_64__)
const LayerNormKernels& layer_norm_kernels_avx2();
const LayerNormKernels& layer_norm_kernels_avx512();
#endif
const LayerNormKernels& layer_norm_kernels();

}  // namespace quarn::engine
