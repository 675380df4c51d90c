// The portable kernel table, and the choice of table for this processor.
#include "engine/cpu_features.hpp"
#include "engine/elementwise/kernels.hpp"

#include <string>

namespace quarn::engine::elementwise {

const KernelTable& kernel_table_baseline() {
  static constexpr KernelTable table = make_kernel_table("baseline");
  return table;
}

namespace {
const KernelTable& choose_kernel_table() {
#if defined(__x86_64__)
  const CpuFeatures& cpu = cpu_features();
  if (cpu.has_avx512()) return kernel_table_avx512();
  if (cpu.has_avx2_fma()) return kernel_table_avx2();
#endif
  return kernel_table_baseline();
}
}  // namespace

void missing_kernel(const char* kind, int kernel, DType d) {
  fault("internal error: no " + std::string(kind) + " kernel " + std::to_string(kernel) + " for " +
        std::string(dtype_name(d)));
}

const KernelTable& kernels() {
  static const KernelTable& chosen = choose_kernel_table();
  return chosen;
}

}  // namespace quarn::engine::elementwise
