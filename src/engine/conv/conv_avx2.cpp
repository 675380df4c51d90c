#include <immintrin.h>

#include "engine/conv/conv_isa.hpp"

namespace quarn::engine {

void panel_copy_avx2(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr, float* dst) {
  for (std::size_t r = 0; r < rows; ++r) {
    const float* s = src + offsets[r];
    float* d = dst + r * nr;
    for (std::size_t j = 0; j < nr; j += 8) _mm256_storeu_ps(d + j, _mm256_loadu_ps(s + j));
  }
}

}  // namespace quarn::engine
