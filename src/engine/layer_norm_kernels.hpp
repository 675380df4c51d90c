// The layer-normalisation row kernels, written once and compiled by each
// instruction set's file with its own flags. Sums run in 16 binary32
// lanes, which every set vectorises, folded pairwise at the end. Internal
// linkage: each file gets its own copy, compiled for its own set.
#pragma once

#include <cmath>
#include <cstddef>

#include "engine/layer_norm_isa.hpp"

namespace quarn::engine {
namespace {

constexpr std::size_t kLanes = 16;

float fold(float* acc) {
  for (std::size_t width = kLanes / 2; width > 0; width /= 2)
    for (std::size_t k = 0; k < width; ++k) acc[k] += acc[k + width];
  return acc[0];
}

float lane_sum(const float* x, std::size_t n) {
  float acc[kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= n; j += kLanes)
    for (std::size_t k = 0; k < kLanes; ++k) acc[k] += x[j + k];
  for (std::size_t k = 0; j < n; ++j, ++k) acc[k] += x[j];
  return fold(acc);
}

float lane_square_deviation(const float* x, std::size_t n, float mean) {
  float acc[kLanes] = {};
  std::size_t j = 0;
  for (; j + kLanes <= n; j += kLanes)
    for (std::size_t k = 0; k < kLanes; ++k) {
      const float d = x[j + k] - mean;
      acc[k] += d * d;
    }
  for (std::size_t k = 0; j < n; ++j, ++k) {
    const float d = x[j] - mean;
    acc[k] += d * d;
  }
  return fold(acc);
}

void forward_rows(const LayerNormArgs& a, std::size_t r0, std::size_t r1) {
  const std::size_t n = a.n;
  const float* __restrict w = a.w;
  const float* __restrict b = a.b;
  for (std::size_t r = r0; r < r1; ++r) {
    const float* __restrict x = a.x + r * n;
    float* __restrict y = a.y + r * n;
    // Two passes (mean, then squared deviations) rather than one sum of
    // squares: no cancellation for rows far from zero.
    const float mean = lane_sum(x, n) / static_cast<float>(n);
    const float var = lane_square_deviation(x, n, mean) / static_cast<float>(n);
    const float rstd = 1.0f / std::sqrt(var + a.eps);
    for (std::size_t j = 0; j < n; ++j) y[j] = (x[j] - mean) * rstd * w[j] + b[j];
    a.stats[2 * r] = mean;
    a.stats[2 * r + 1] = rstd;
  }
}

// dx = rstd * (g w - mean(g w) - xhat * mean(g w xhat)), xhat = (x - mean) rstd.
void backward_rows(const LayerNormArgs& a, std::size_t r0, std::size_t r1, float* __restrict gw,
                   float* __restrict gb) {
  const std::size_t n = a.n;
  const float* __restrict w = a.w;
  for (std::size_t r = r0; r < r1; ++r) {
    const float* __restrict x = a.x + r * n;
    const float* __restrict g = a.g + r * n;
    const float mean = a.stats[2 * r], rstd = a.stats[2 * r + 1];
    float s1[kLanes] = {}, s2[kLanes] = {};
    std::size_t j = 0;
    for (; j + kLanes <= n; j += kLanes)
      for (std::size_t k = 0; k < kLanes; ++k) {
        const float xhat = (x[j + k] - mean) * rstd;
        const float gx = g[j + k];
        const float dxhat = gx * w[j + k];
        s1[k] += dxhat;
        s2[k] += dxhat * xhat;
        gw[j + k] += gx * xhat;
        gb[j + k] += gx;
      }
    for (std::size_t k = 0; j < n; ++j, ++k) {
      const float xhat = (x[j] - mean) * rstd;
      const float dxhat = g[j] * w[j];
      s1[k] += dxhat;
      s2[k] += dxhat * xhat;
      gw[j] += g[j] * xhat;
      gb[j] += g[j];
    }
    if (a.dx == nullptr) continue;
    const float inv_n = 1.0f / static_cast<float>(n);
    const float m1 = fold(s1) * inv_n, m2 = fold(s2) * inv_n;
    float* __restrict dx = a.dx + r * n;
    for (std::size_t i = 0; i < n; ++i) {
      const float xhat = (x[i] - mean) * rstd;
      dx[i] = rstd * (g[i] * w[i] - m1 - xhat * m2);
    }
  }
}

}  // namespace
}  // namespace quarn::engine
