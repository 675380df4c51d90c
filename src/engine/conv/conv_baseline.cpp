#include <array>

#include "engine/conv/conv_isa.hpp"
#include "engine/conv/conv_tiles.hpp"

namespace quarn::engine {

namespace {
// One lane: plain float arithmetic, which any compiler can schedule.
struct Scalar {
  using Reg = float;
  static constexpr int kWidth = 1;
  static Reg zero() { return 0.0f; }
  static Reg load(const float* p) { return *p; }
  static Reg broadcast(const float* p) { return *p; }
  static Reg fma(Reg a, Reg b, Reg c) { return a * b + c; }
  static void store(float* p, Reg v) { *p = v; }
};

bool always(const CpuFeatures&) { return true; }

constexpr ConvKernels kSet{"baseline",
                           always,
                           4,
                           4,
                           forward_entry<Scalar, 4, 4>,
                           forward_rows_entry<Scalar, 4, 4, kRowTaps>,
                           {{4, 4, weight_entry<Scalar, 4, 4>}, {0, 0, nullptr}, {0, 0, nullptr}},
                           1,
                           transpose_baseline};

}  // namespace

const ConvKernels& conv_kernels_baseline() { return kSet; }

void transpose_baseline(const float* src, std::size_t rows, std::size_t cols, std::size_t lds, float* dst,
                        std::size_t ldd) {
  // Blocks of 16 columns, so that both the reads along each row and the
  // writes along each column stay on a few cache lines.
  for (std::size_t c0 = 0; c0 < cols; c0 += 16) {
    const std::size_t c1 = c0 + 16 < cols ? c0 + 16 : cols;
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t c = c0; c < c1; ++c) dst[c * ldd + r] = src[r * lds + c];
  }
}

std::span<const ConvKernels* const> conv_kernel_sets() {
  static const std::array sets = {
#if defined(__x86_64__)
      &conv_kernels_avx512(), &conv_kernels_avx2(),
#endif
      &kSet,
  };
  return sets;
}

const ConvKernels& conv_kernels() {
  static const ConvKernels& chosen = []() -> const ConvKernels& {
    for (const ConvKernels* set : conv_kernel_sets())
      if (set->supported(cpu_features())) return *set;
    return kSet;
  }();
  return chosen;
}

}  // namespace quarn::engine
