// The element-wise kernels compiled for AVX-512 (F, BW, VL, DQ); reached only
// after a CPU check.
// GCC 12 reports its own self-initialised "undefined" vectors inside the
// AVX-512 intrinsics as maybe-uninitialized, or, once inlined deeply enough,
// as uninitialized; the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include "engine/elementwise/kernels.hpp"

namespace quarn::engine::elementwise {

const KernelTable& kernel_table_avx512() {
  static constexpr KernelTable table = make_kernel_table("avx512");
  return table;
}

}  // namespace quarn::engine::elementwise
