// The table of kernel sets. Selection walks it from the top and takes the
// first set the CPU supports, so a missing vector set means slower code,
// never missing code.
#include "engine/gemm/kernels/kernels.hpp"

#include <array>

namespace quarn::gemm {

namespace {

bool always(const engine::CpuFeatures&) { return true; }

#if defined(__x86_64__)
bool has_avx512(const engine::CpuFeatures& f) { return f.has_avx512(); }
bool has_avx2_fma(const engine::CpuFeatures& f) { return f.has_avx2_fma(); }
#endif

// Blocking per set. For the AVX2 set (32 KiB L1d, 512 KiB L2 per core): a
// 256 x 16 panel of B is 16 KiB, half of L1; a 144 x 256 block of A is
// 144 KiB of L2; a 256 x 4080 block of B is 4 MiB of the shared L3. mc is a
// multiple of MR and nc of NR.
const std::array kKernels = {
#if defined(__x86_64__)
    SgemmKernel{"avx512_14x32", 14, 32, 140, 256, 4064, has_avx512, sgemm_avx512_14x32,
                sgemm_avx512_direct, sgemm_avx512_pack_a, sgemm_avx512_pack_b},
    SgemmKernel{"avx2_6x16", 6, 16, 144, 256, 4080, has_avx2_fma, sgemm_avx2_6x16,
                sgemm_avx2_direct, sgemm_avx2_pack_a, sgemm_avx2_pack_b},
#endif
    SgemmKernel{"ref_4x8", 4, 8, 128, 256, 4096, always, sgemm_ref_4x8, sgemm_ref_direct,
                nullptr, nullptr},
};

}  // namespace

std::span<const SgemmKernel> sgemm_kernels() { return kKernels; }

const SgemmKernel& sgemm_ref_kernel() { return kKernels.back(); }

}  // namespace quarn::gemm
