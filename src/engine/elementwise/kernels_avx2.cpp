// The element-wise kernels compiled for AVX2 with F16C; reached only after a
// CPU check.
#include "engine/elementwise/kernels.hpp"

namespace quarn::engine::elementwise {

const KernelTable& kernel_table_avx2() {
  static constexpr KernelTable table = make_kernel_table("avx2");
  return table;
}

}  // namespace quarn::engine::elementwise
