#include <immintrin.h>

#include "engine/conv/conv_isa.hpp"

namespace quarn::engine {

void panel_copy_avx512(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr,
                       float* dst) {
  for (std::size_t r = 0; r < rows; ++r) {
    const float* s = src + offsets[r];
    float* d = dst + r * nr;
    for (std::size_t j = 0; j < nr; j += 16) _mm512_store_ps(d + j, _mm512_loadu_ps(s + j));
  }
}

}  // namespace quarn::engine
