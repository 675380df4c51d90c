// The layer-normalisation row kernels of every instruction set this machine
// runs, against a double-precision reference: forward values, each row's
// statistics, and the gradients of x, weight and bias, for row lengths
// around the kernels' 16-lane blocking.
#include <cmath>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu_features.hpp"
#include "engine/layer_norm_isa.hpp"

using namespace quarn::engine;
using quarn_test::check;

namespace {

struct Reference {
  std::vector<double> y, dx, gw, gb;
};

Reference reference(const std::vector<float>& x, const std::vector<float>& g, const std::vector<float>& w,
                    const std::vector<float>& b, std::size_t rows, std::size_t n, double eps) {
  Reference r{std::vector<double>(x.size()), std::vector<double>(x.size()), std::vector<double>(n, 0.0),
              std::vector<double>(n, 0.0)};
  for (std::size_t i = 0; i < rows; ++i) {
    const float* xr = x.data() + i * n;
    const float* gr = g.data() + i * n;
    double mean = 0, var = 0;
    for (std::size_t j = 0; j < n; ++j) mean += xr[j];
    mean /= static_cast<double>(n);
    for (std::size_t j = 0; j < n; ++j) var += (xr[j] - mean) * (xr[j] - mean);
    var /= static_cast<double>(n);
    const double rstd = 1.0 / std::sqrt(var + eps);
    double m1 = 0, m2 = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const double xhat = (xr[j] - mean) * rstd;
      r.y[i * n + j] = xhat * w[j] + b[j];
      m1 += static_cast<double>(gr[j]) * w[j];
      m2 += static_cast<double>(gr[j]) * w[j] * xhat;
      r.gw[j] += gr[j] * xhat;
      r.gb[j] += gr[j];
    }
    m1 /= static_cast<double>(n);
    m2 /= static_cast<double>(n);
    for (std::size_t j = 0; j < n; ++j) {
      const double xhat = (xr[j] - mean) * rstd;
      r.dx[i * n + j] = rstd * (static_cast<double>(gr[j]) * w[j] - m1 - xhat * m2);
    }
  }
  return r;
}

// Within `ulps` binary32 last places of the largest reference value.
bool close(const float* got, const std::vector<double>& want, double ulps) {
  double scale = 1e-30, err = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    scale = std::max(scale, std::fabs(want[i]));
    err = std::max(err, std::fabs(got[i] - want[i]));
  }
  return err <= ulps * std::ldexp(1.0, -23) * scale;
}

}  // namespace

int main() {
  std::vector<const LayerNormKernels*> tables{&layer_norm_kernels_baseline()};
#if defined(__x86_64__)
  if (cpu_features().has_avx2_fma()) tables.push_back(&layer_norm_kernels_avx2());
  if (cpu_features().has_avx512()) tables.push_back(&layer_norm_kernels_avx512());
#endif
  std::mt19937 gen(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t rows = 5;
  // (Not 2: two elements normalise to +-1 whatever they are, so dx is eps
  // alone and no relative bound fits it.)
  for (std::size_t n : {1, 3, 7, 15, 16, 17, 33, 100, 1024}) {
    // Rows far from zero with a small spread: the two-pass variance must
    // not cancel.
    std::vector<float> x(rows * n), g(rows * n), w(n), b(n);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = 1000.0f + normal(gen);
    for (float& v : g) v = normal(gen);
    for (float& v : w) v = normal(gen);
    for (float& v : b) v = normal(gen);
    const float eps = 1e-5f;
    const Reference want = reference(x, g, w, b, rows, n, eps);
    for (const LayerNormKernels* k : tables) {
      const std::string what = std::string(k->name) + " n=" + std::to_string(n);
      std::vector<float> y(x.size()), dx(x.size()), stats(2 * rows), gw(n, 0.0f), gb(n, 0.0f);
      LayerNormArgs fwd{x.data(), nullptr, w.data(), b.data(), y.data(), nullptr, stats.data(), n, eps};
      k->forward(fwd, 0, 2);
      k->forward(fwd, 2, rows);  // split rows give the same as one call would
      // x near 1000 carries only 2^-14 of relative precision per element,
      // which the deviations from the mean inherit.
      check(close(y.data(), want.y, 4096), what + " forward");
      LayerNormArgs bwd{x.data(), g.data(), w.data(), nullptr, nullptr, dx.data(), stats.data(), n, 0.0f};
      k->backward(bwd, 0, rows, gw.data(), gb.data());
      check(close(dx.data(), want.dx, 4096), what + " dx");
      check(close(gw.data(), want.gw, 4096), what + " weight gradient");
      check(close(gb.data(), want.gb, 64), what + " bias gradient");
      // Without dx the sums are the same.
      std::vector<float> gw2(n, 0.0f), gb2(n, 0.0f);
      bwd.dx = nullptr;
      k->backward(bwd, 0, rows, gw2.data(), gb2.data());
      check(gw2 == gw && gb2 == gb, what + " sums without dx");
    }
  }
  return quarn_test::report();
}
