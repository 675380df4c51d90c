// The reduction kernels compiled for AVX-512 (F, BW, VL, DQ); reached only
// after a CPU check. The sums keep their 32-byte vectors and so their bits;
// the selections use the 64-byte registers.
// GCC 12 reports its own self-initialised "undefined" vectors inside the
// AVX-512 intrinsics as maybe-uninitialized; the warning says nothing about
// this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "engine/reduce_kernels.hpp"

namespace quarn::engine {

const ReduceKernels& reduce_kernels_avx512() {
  static constexpr ReduceKernels table{"avx512", run_sum, run_prod, run_max, run_min};
  return table;
}

}  // namespace quarn::engine
