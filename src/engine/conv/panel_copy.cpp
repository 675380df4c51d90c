#include <cstring>

#include "engine/conv/conv_isa.hpp"
#include "engine/cpu_features.hpp"

namespace quarn::engine {

void panel_copy_baseline(const float* src, const std::ptrdiff_t* offsets, std::size_t rows, std::size_t nr,
                         float* dst) {
  for (std::size_t r = 0; r < rows; ++r) std::memcpy(dst + r * nr, src + offsets[r], nr * sizeof(float));
}

PanelCopy panel_copy_for(std::size_t nr) {
#if defined(__x86_64__)
  const CpuFeatures& f = cpu_features();
  if (f.has_avx512() && nr % 16 == 0) return panel_copy_avx512;
  if (f.has_avx2_fma() && nr % 8 == 0) return panel_copy_avx2;
#endif
  return panel_copy_baseline;
}

}  // namespace quarn::engine
