// The copies that fill a GEMM B panel straight from a padded image
// (conv.cpp's unit-stride path), one per instruction set: row r of the
// panel, `nr` floats, comes from src + offsets[r]; `dst` is 64-byte aligned
// and so is every row of it (nr a multiple of 16).
#pragma once

#include <cstddef>

namespace quarn::engine {

using PanelCopy = void (*)(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr,
                           float* dst);

void panel_copy_baseline(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr,
                         float* dst);
#if defined(__x86_64__)
// nr a multiple of 8.
void panel_copy_avx2(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr, float* dst);
// nr a multiple of 16.
void panel_copy_avx512(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr,
                       float* dst);
#endif

// The widest copy this CPU runs for panels `nr` wide, chosen per call (a
// few comparisons).
PanelCopy panel_copy_for(std::size_t nr);

}  // namespace quarn::engine
