// Portable kernels: the production kernels wherever no vector set applies,
// and the yardstick the tests hold the vector sets against. Plain loops over
// a small accumulator tile, shaped so that any compiler can vectorise them.
#include "engine/gemm/kernels/kernels.hpp"

namespace quarn::gemm {

namespace {
constexpr std::size_t kMR = 4;
constexpr std::size_t kNR = 8;
}  // namespace

void sgemm_ref_4x8(std::size_t k, const float* a, const float* b, float* c, std::ptrdiff_t ldc,
                   bool accumulate) {
  float acc[kMR][kNR] = {};
  for (std::size_t p = 0; p < k; ++p) {
    for (std::size_t i = 0; i < kMR; ++i) {
      const float ai = a[i];
      for (std::size_t j = 0; j < kNR; ++j) acc[i][j] += ai * b[j];
    }
    a += kMR;
    b += kNR;
  }
  for (std::size_t i = 0; i < kMR; ++i) {
    float* row = c + static_cast<std::ptrdiff_t>(i) * ldc;
    if (accumulate) {
      for (std::size_t j = 0; j < kNR; ++j) row[j] += acc[i][j];
    } else {
      for (std::size_t j = 0; j < kNR; ++j) row[j] = acc[i][j];
    }
  }
}

void sgemm_ref_direct(std::size_t m, std::size_t n, std::size_t k, const float* a,
                      std::ptrdiff_t rsa, std::ptrdiff_t csa, const float* b, std::ptrdiff_t rsb,
                      float* c, std::ptrdiff_t rsc) {
  for (std::size_t i = 0; i < m; ++i) {
    float* row = c + static_cast<std::ptrdiff_t>(i) * rsc;
    const float* arow = a + static_cast<std::ptrdiff_t>(i) * rsa;
    for (std::size_t j = 0; j < n; ++j) row[j] = 0.0f;
    for (std::size_t p = 0; p < k; ++p) {
      const float aip = arow[static_cast<std::ptrdiff_t>(p) * csa];
      const float* brow = b + static_cast<std::ptrdiff_t>(p) * rsb;
      for (std::size_t j = 0; j < n; ++j) row[j] += aip * brow[j];
    }
  }
}

}  // namespace quarn::gemm
