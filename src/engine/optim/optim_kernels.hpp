// The optimiser kernels, written once as plain loops that the compiler
// vectorises for whatever instruction set the including file is built for
// (optim.cpp, optim_avx2.cpp, optim_avx512.cpp). Everything here is in an
// unnamed namespace, so each of those files keeps its own copy and no wide
// instruction can leak into baseline code through a shared symbol.
//
// The loops use only additions, multiplications, divisions, square roots
// and maxima, each rounded on its own (the build turns off contraction into
// fused multiply-adds), so every table gives the same bits.
#pragma once

#include <cmath>
#include <cstddef>

#include "engine/optim/optim.hpp"

namespace quarn::engine::optim {
namespace {

// The flags are template arguments so that each loop body has no branches
// and vectorises.
template <bool kDecay, bool kMomentum, bool kNesterov, bool kFirst>
void sgd_loop(float* __restrict p, const float* __restrict g, float* __restrict buf, std::size_t begin,
              std::size_t end, const SgdConfig& c) {
  const float neg_lr = -c.lr;
  const float wd = c.weight_decay;
  const float mom = c.momentum;
  const float keep = 1.0f - c.dampening;
  for (std::size_t i = begin; i < end; ++i) {
    float d = g[i];
    if constexpr (kDecay) d = d + wd * p[i];
    if constexpr (kMomentum) {
      float b;
      if constexpr (kFirst) {
        b = d;
      } else {
        b = buf[i] * mom + keep * d;
      }
      buf[i] = b;
      if constexpr (kNesterov) {
        d = d + mom * b;
      } else {
        d = b;
      }
    }
    p[i] = p[i] + neg_lr * d;
  }
}

template <bool kDecay, bool kMomentum, bool kNesterov>
void sgd_first(float* p, const float* g, float* buf, std::size_t begin, std::size_t end, const SgdConfig& c) {
  if (c.first) {
    sgd_loop<kDecay, kMomentum, kNesterov, true>(p, g, buf, begin, end, c);
  } else {
    sgd_loop<kDecay, kMomentum, kNesterov, false>(p, g, buf, begin, end, c);
  }
}

template <bool kDecay>
void sgd_momentum(float* p, const float* g, float* buf, std::size_t begin, std::size_t end, const SgdConfig& c) {
  if (buf == nullptr) {
    sgd_loop<kDecay, false, false, false>(p, g, buf, begin, end, c);
  } else if (c.nesterov) {
    sgd_first<kDecay, true, true>(p, g, buf, begin, end, c);
  } else {
    sgd_first<kDecay, true, false>(p, g, buf, begin, end, c);
  }
}

void run_sgd(float* p, const float* g, float* buf, std::size_t begin, std::size_t end, const SgdConfig& c) {
  if (c.weight_decay != 0.0f) {
    sgd_momentum<true>(p, g, buf, begin, end, c);
  } else {
    sgd_momentum<false>(p, g, buf, begin, end, c);
  }
}

// PyTorch's lerp: start + w * (end - start) for |w| < 0.5, else
// end - (end - start) * (1 - w), which keeps the result exact at w = 1.
template <bool kCoupled, bool kDecoupled, bool kAmsgrad, bool kLowWeight>
void adam_loop(float* __restrict p, const float* __restrict g, float* __restrict m, float* __restrict v,
               float* __restrict vmax, std::size_t begin, std::size_t end, const AdamConfig& c) {
  const float w = 1.0f - c.beta1;
  const float w_rest = 1.0f - w;
  const float beta2 = c.beta2;
  const float one_minus_beta2 = 1.0f - c.beta2;
  const float wd = c.weight_decay;
  const float decay = 1.0f - c.lr * c.weight_decay;
  const float neg_step = -c.step_size;
  const float bias2_sqrt = c.bias2_sqrt;
  const float eps = c.eps;
  for (std::size_t i = begin; i < end; ++i) {
    float pi = p[i];
    float gi = g[i];
    if constexpr (kCoupled) gi = gi + wd * pi;
    if constexpr (kDecoupled) pi = pi * decay;
    const float mo = m[i];
    float mi;
    if constexpr (kLowWeight) {
      mi = mo + w * (gi - mo);
    } else {
      mi = gi - (gi - mo) * w_rest;
    }
    const float vi = v[i] * beta2 + one_minus_beta2 * gi * gi;
    m[i] = mi;
    v[i] = vi;
    float vh = vi;
    if constexpr (kAmsgrad) {
      // NaN in v propagates as std::fmax would not: max(NaN, x) stays NaN,
      // as PyTorch's maximum gives.
      const float old = vmax[i];
      vh = (old > vi || old != old) ? old : vi;
      vmax[i] = vh;
    }
    const float denom = std::sqrt(vh) / bias2_sqrt + eps;
    p[i] = pi + neg_step * (mi / denom);
  }
}

template <bool kCoupled, bool kDecoupled, bool kAmsgrad>
void adam_weight(float* p, const float* g, float* m, float* v, float* vmax, std::size_t begin, std::size_t end,
                 const AdamConfig& c) {
  if (std::fabs(1.0f - c.beta1) < 0.5f) {
    adam_loop<kCoupled, kDecoupled, kAmsgrad, true>(p, g, m, v, vmax, begin, end, c);
  } else {
    adam_loop<kCoupled, kDecoupled, kAmsgrad, false>(p, g, m, v, vmax, begin, end, c);
  }
}

template <bool kAmsgrad>
void adam_decay(float* p, const float* g, float* m, float* v, float* vmax, std::size_t begin, std::size_t end,
                const AdamConfig& c) {
  if (c.weight_decay == 0.0f) {
    adam_weight<false, false, kAmsgrad>(p, g, m, v, vmax, begin, end, c);
  } else if (c.decoupled) {
    adam_weight<false, true, kAmsgrad>(p, g, m, v, vmax, begin, end, c);
  } else {
    adam_weight<true, false, kAmsgrad>(p, g, m, v, vmax, begin, end, c);
  }
}

void run_adam(float* p, const float* g, float* m, float* v, float* vmax, std::size_t begin, std::size_t end,
              const AdamConfig& c) {
  if (vmax != nullptr) {
    adam_decay<true>(p, g, m, v, vmax, begin, end, c);
  } else {
    adam_decay<false>(p, g, m, v, vmax, begin, end, c);
  }
}

}  // namespace
}  // namespace quarn::engine::optim
