// The optimiser kernels against a scalar reference written out here, for
// every table this processor runs: every configuration, lengths with and
// without vector tails, bit for bit; and a transposed gradient, in place and
// on the pool, against the same gradient in order. (tests/nn/test_optim.py
// checks the pool's bits over thread counts from Python.)
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/cpu_features.hpp"
#include "engine/optim/optim.hpp"
#include "runtime/thread_pool.hpp"

using namespace quarn::engine::optim;
using quarn_test::check;

namespace {

using Vec = std::vector<float>;

void ref_sgd(Vec& p, const Vec& g, Vec& buf, const SgdConfig& c) {
  for (std::size_t i = 0; i < p.size(); ++i) {
    float d = g[i];
    if (c.weight_decay != 0.0f) d = d + c.weight_decay * p[i];
    if (c.momentum != 0.0f) {
      buf[i] = c.first ? d : buf[i] * c.momentum + (1.0f - c.dampening) * d;
      d = c.nesterov ? d + c.momentum * buf[i] : buf[i];
    }
    p[i] = p[i] + (-c.lr) * d;
  }
}

void ref_adam(Vec& p, const Vec& g, Vec& m, Vec& v, Vec* vmax, const AdamConfig& c) {
  const float w = 1.0f - c.beta1;
  for (std::size_t i = 0; i < p.size(); ++i) {
    float gi = g[i];
    float pi = p[i];
    if (c.weight_decay != 0.0f && !c.decoupled) gi = gi + c.weight_decay * pi;
    if (c.weight_decay != 0.0f && c.decoupled) pi = pi * (1.0f - c.lr * c.weight_decay);
    m[i] = std::fabs(w) < 0.5f ? m[i] + w * (gi - m[i]) : gi - (gi - m[i]) * (1.0f - w);
    v[i] = v[i] * c.beta2 + (1.0f - c.beta2) * gi * gi;
    float vh = v[i];
    if (vmax != nullptr) {
      float& mx = (*vmax)[i];
      if (!(mx > vh || std::isnan(mx))) mx = vh;
      vh = mx;
    }
    p[i] = pi + (-c.step_size) * (m[i] / (std::sqrt(vh) / c.bias2_sqrt + c.eps));
  }
}

Vec random_vec(std::mt19937& rng, std::size_t n, float scale) {
  std::normal_distribution<float> dist(0.0f, scale);
  Vec out(n);
  for (float& x : out) x = dist(rng);
  return out;
}

bool same_bits(const Vec& a, const Vec& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

std::vector<const OptimKernels*> tables() {
  std::vector<const OptimKernels*> out{&optim_kernels_baseline()};
#if defined(__x86_64__)
  if (quarn::engine::cpu_features().has_avx2_fma()) out.push_back(&optim_kernels_avx2());
  if (quarn::engine::cpu_features().has_avx512()) out.push_back(&optim_kernels_avx512());
#endif
  return out;
}

const std::size_t kLengths[] = {0, 1, 7, 16, 33, 257, 1000};

void test_sgd_tables() {
  const SgdConfig configs[] = {
      {0.1f, 0.0f, 0.0f, 0.0f, false, false},   // plain
      {0.1f, 0.0f, 0.0f, 0.01f, false, false},  // weight decay only
      {0.05f, 0.9f, 0.0f, 0.0f, false, true},   // momentum, first step
      {0.05f, 0.9f, 0.1f, 0.0f, false, false},  // momentum with dampening
      {0.05f, 0.9f, 0.0f, 0.001f, true, false}, // Nesterov with decay
      {0.05f, 0.9f, 0.0f, 0.0f, true, true},    // Nesterov, first step
  };
  std::mt19937 rng(1);
  for (const OptimKernels* k : tables()) {
    for (std::size_t n : kLengths) {
      for (std::size_t ci = 0; ci < std::size(configs); ++ci) {
        const SgdConfig& c = configs[ci];
        Vec p = random_vec(rng, n, 1.0f), g = random_vec(rng, n, 0.1f), buf = random_vec(rng, n, 0.1f);
        Vec p_ref = p, buf_ref = buf;
        ref_sgd(p_ref, g, buf_ref, c);
        k->sgd(p.data(), g.data(), c.momentum != 0.0f ? buf.data() : nullptr, 0, n, c);
        const std::string what = std::string("sgd ") + k->name + " n=" + std::to_string(n) + " config " +
                                 std::to_string(ci);
        check(same_bits(p, p_ref), what + ": parameter");
        check(same_bits(buf, buf_ref), what + ": momentum buffer");
      }
    }
  }
}

void test_adam_tables() {
  // lr, beta1, beta2, eps, weight_decay, step_size, bias2_sqrt, decoupled
  const AdamConfig configs[] = {
      {1e-3f, 0.9f, 0.999f, 1e-8f, 0.0f, 1e-2f, 0.0447f, false},
      {1e-3f, 0.9f, 0.999f, 1e-8f, 0.01f, 1e-3f, 0.5f, false},   // decay added to the gradient
      {1e-3f, 0.9f, 0.999f, 1e-8f, 0.01f, 1e-3f, 0.5f, true},    // AdamW
      {1e-2f, 0.3f, 0.99f, 1e-6f, 0.0f, 1e-2f, 0.9f, false},     // lerp weight above one half
  };
  std::mt19937 rng(2);
  for (const OptimKernels* k : tables()) {
    for (std::size_t n : kLengths) {
      for (std::size_t ci = 0; ci < std::size(configs); ++ci) {
        for (bool amsgrad : {false, true}) {
          const AdamConfig& c = configs[ci];
          Vec p = random_vec(rng, n, 1.0f), g = random_vec(rng, n, 0.1f), m = random_vec(rng, n, 0.01f);
          Vec v = random_vec(rng, n, 0.001f), vmax = random_vec(rng, n, 0.001f);
          for (float& x : v) x = std::fabs(x);
          for (float& x : vmax) x = std::fabs(x);
          if (n > 3) vmax[3] = std::numeric_limits<float>::quiet_NaN();
          Vec p_ref = p, m_ref = m, v_ref = v, vmax_ref = vmax;
          ref_adam(p_ref, g, m_ref, v_ref, amsgrad ? &vmax_ref : nullptr, c);
          k->adam(p.data(), g.data(), m.data(), v.data(), amsgrad ? vmax.data() : nullptr, 0, n, c);
          const std::string what = std::string("adam ") + k->name + " n=" + std::to_string(n) + " config " +
                                   std::to_string(ci) + (amsgrad ? " amsgrad" : "");
          check(same_bits(p, p_ref), what + ": parameter");
          check(same_bits(m, m_ref) && same_bits(v, v_ref), what + ": moments");
          check(same_bits(vmax, vmax_ref), what + ": running maximum");
          if (amsgrad && n > 3) check(std::isnan(p[3]) && std::isnan(vmax[3]), what + ": NaN maximum kept");
        }
      }
    }
  }
}

// A gradient given as the transpose of a dense array gives the bits of the
// same gradient given in order: small (one stretch per row), with rows
// longer than the gathering stretch, and large enough for the pool.
void test_transposed_gradient() {
  const std::size_t shapes[][2] = {{3, 5}, {7, 600}, {300, 1000}};
  std::mt19937 rng(4);
  const AdamConfig ac{1e-3f, 0.9f, 0.999f, 1e-8f, 0.0f, 1e-2f, 0.0447f, false};
  const SgdConfig sc{0.05f, 0.9f, 0.0f, 0.0f, false, false};
  for (const auto& shape : shapes) {
    const std::size_t rows = shape[0], cols = shape[1], n = rows * cols;
    const Vec p0 = random_vec(rng, n, 1.0f), g = random_vec(rng, n, 0.1f);
    Vec gt(n);
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = 0; j < cols; ++j) gt[j * rows + i] = g[i * cols + j];
    for (std::size_t threads : {1, 2}) {
      quarn::set_num_threads(threads);
      Vec p_in = p0, m_in(n, 0.0f), v_in(n, 0.0f), buf_in(n, 0.5f);
      Vec p_tr = p0, m_tr(n, 0.0f), v_tr(n, 0.0f), buf_tr(n, 0.5f);
      adam_step(p_in.data(), Gradient{g.data(), false, 0, 0}, m_in.data(), v_in.data(), nullptr, n, ac);
      adam_step(p_tr.data(), Gradient{gt.data(), true, rows, cols}, m_tr.data(), v_tr.data(), nullptr, n, ac);
      sgd_step(p_in.data(), Gradient{g.data(), false, 0, 0}, buf_in.data(), n, sc);
      sgd_step(p_tr.data(), Gradient{gt.data(), true, rows, cols}, buf_tr.data(), n, sc);
      const std::string what = "transposed gradient " + std::to_string(rows) + "x" + std::to_string(cols) +
                               " on " + std::to_string(threads) + " threads";
      check(same_bits(p_in, p_tr) && same_bits(m_in, m_tr) && same_bits(v_in, v_tr) && same_bits(buf_in, buf_tr),
            what);
    }
  }
}

}  // namespace

int main() {
  test_sgd_tables();
  test_adam_tables();
  test_transposed_gradient();
  return quarn_test::report();
}
