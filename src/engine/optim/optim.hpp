// In-place optimiser updates on float32 arrays: the master copies of a
// model's parameters and the optimiser's state, owned by the caller. Each
// update is one pass over a parameter's elements, every term of the rule
// computed in binary32 in a fixed order, so that the result does not depend
// on the instruction set or on how the elements are shared out on the pool.
#pragma once

#include <cstddef>

namespace quarn::engine::optim {

// Stochastic gradient descent with momentum, PyTorch's formulation:
//   g' = g + weight_decay * p
//   buf = g' (first step) or momentum * buf + (1 - dampening) * g'
//   d = nesterov ? g' + momentum * buf : buf      (g' when momentum is 0)
//   p = p - lr * d
struct SgdConfig {
  float lr;
  float momentum;
  float dampening;
  float weight_decay;
  bool nesterov;
  // The momentum buffer holds nothing yet: it starts as g'.
  bool first;
};

// Adam and AdamW:
//   g' = g + weight_decay * p      (Adam; AdamW decays p by 1 - lr * weight_decay instead)
//   m = lerp(m, g', 1 - beta1); v = beta2 * v + (1 - beta2) * g' * g'
//   vhat = amsgrad ? (vmax = max(vmax, v)) : v
//   p = p - step_size * m / (sqrt(vhat) / bias2_sqrt + eps)
// where step_size = lr / (1 - beta1^t) and bias2_sqrt = sqrt(1 - beta2^t),
// computed once per step by the caller.
struct AdamConfig {
  float lr;
  float beta1;
  float beta2;
  float eps;
  float weight_decay;
  float step_size;
  float bias2_sqrt;
  bool decoupled;  // AdamW
};

// The gradient: n elements in the parameter's order, or, for a parameter of
// rows x cols elements, the transpose of a dense cols x rows array (element
// (i, j) at data[j * rows + i]), as a matrix product's gradient of a
// transposed weight arrives.
struct Gradient {
  const float* data;
  bool transposed;
  std::size_t rows;
  std::size_t cols;
};

// `buf` may be null when momentum is 0; `vmax` is null unless amsgrad.
// Arrays hold n elements each and do not overlap (checked by the caller).
void sgd_step(float* p, const Gradient& g, float* buf, std::size_t n, const SgdConfig& c);
void adam_step(float* p, const Gradient& g, float* m, float* v, float* vmax, std::size_t n, const AdamConfig& c);

// The per-instruction-set kernels, one range of elements at a time; the
// native tests run every table the machine supports.
struct OptimKernels {
  const char* name;
  void (*sgd)(float* p, const float* g, float* buf, std::size_t begin, std::size_t end, const SgdConfig& c);
  void (*adam)(float* p, const float* g, float* m, float* v, float* vmax, std::size_t begin, std::size_t end,
               const AdamConfig& c);
};

const OptimKernels& optim_kernels_baseline();
#if defined(__x86_64__)
const OptimKernels& optim_kernels_avx2();
const OptimKernels& optim_kernels_avx512();
#endif
// The table chosen for this processor.
const OptimKernels& optim_kernels();

}  // namespace quarn::engine::optim
