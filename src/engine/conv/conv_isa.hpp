// The register tiles of conv.cpp's unit-stride paths, one set per
// instruction set (the bodies are in conv_tiles.hpp). The forward tile
// reads the zero-padded image in place, each tap a fixed offset from its
// output position, against filters packed once per call; the
// weight-gradient tile reads the same image against the output gradient
// laid out position-major.
#pragma once

#include <cstddef>
#include <span>

#include "engine/cpu_features.hpp"

namespace quarn::engine {

// MR output channels x NR positions; see forward_tile.
using ForwardTile = void (*)(std::size_t k, const float* a, const float* x, const std::ptrdiff_t* offsets,
                             float* c, std::ptrdiff_t ldc, bool from_c);
// The same over rows of kRowTaps adjacent taps; see forward_rows_tile.
using ForwardRowsTile = void (*)(std::size_t rows, const float* a, const float* x, const std::ptrdiff_t* row_offsets,
                                 float* c, std::ptrdiff_t ldc, bool from_c);
// The window width the row tiles serve: 3, the common one.
inline constexpr std::size_t kRowTaps = 3;
// MR taps x NR output channels; see weight_tile.
using WeightTile = void (*)(std::size_t rows, std::size_t ow, std::ptrdiff_t wp, const float* const* taps,
                            const float* d, std::ptrdiff_t ldd, float* c, std::ptrdiff_t ldc, bool from_c);

// dst[c * ldd + r] = src[r * lds + c] for r < rows, c < cols.
using Transpose = void (*)(const float* src, std::size_t rows, std::size_t cols, std::size_t lds, float* dst,
                           std::size_t ldd);

struct WeightShape {
  std::size_t mr, nr;
  WeightTile tile;
};

struct ConvKernels {
  const char* name;
  bool (*supported)(const CpuFeatures&);
  std::size_t mr, nr;  // the forward tile
  ForwardTile forward;
  // forward for windows kRowTaps wide, undilated along the row (or none).
  ForwardRowsTile forward_rows;
  // Weight-gradient tiles, narrowest first: the narrowest that holds all
  // of a group's output channels serves it, else the widest, in panels.
  WeightShape weight[3];
  std::size_t weight_count;
  // Lays the output gradient out position-major for the weight tiles.
  Transpose transpose;
};

void transpose_baseline(const float* src, std::size_t rows, std::size_t cols, std::size_t lds, float* dst,
                        std::size_t ldd);
#if defined(__x86_64__)
// 8 x 8 blocks through AVX registers; the AVX-512 set uses it too.
void transpose_avx2(const float* src, std::size_t rows, std::size_t cols, std::size_t lds, float* dst,
                    std::size_t ldd);
#endif

const ConvKernels& conv_kernels_baseline();
#if defined(__x86_64__)
const ConvKernels& conv_kernels_avx2();
const ConvKernels& conv_kernels_avx512();
#endif

// Every set compiled into this build, widest first (the baseline last).
std::span<const ConvKernels* const> conv_kernel_sets();
// The widest set this CPU runs, chosen once.
const ConvKernels& conv_kernels();

}  // namespace quarn::engine
