// The table of kernel sets. Selection walks it from the top and takes the
// first set the CPU supports, so a missing vector set means slower code,
// never missing code.
#include "engine/gemm/kernels/kernels.hpp"

#include <algorithm>
#include <array>

namespace quarn::gemm {

namespace {

bool always(const engine::CpuFeatures&) { return true; }

#if defined(__x86_64__)
bool has_avx512(const engine::CpuFeatures& f) { return f.has_avx512(); }
bool has_avx2_fma(const engine::CpuFeatures& f) { return f.has_avx2_fma(); }
#endif

// Blocking per set; mc is a multiple of MR and nc of NR. The B panel
// (kc x NR) takes about half of a 32 KiB L1d, leaving room for the A panel
// streaming past it; the A block (mc x kc) sits in L2, the B block
// (kc x nc) in L3.
//  - AVX2 (tuned on a core with 512 KiB L2, 32 MiB L3): 256 x 16 B panel =
//    16 KiB, 144 x 256 A block = 144 KiB, 256 x 4080 B block = 4 MiB. The
//    neighbours (kc 320 or 384, mc 96 to 192) measured within noise.
//  - AVX-512 (tuned on a Sapphire Rapids core: 48 KiB L1d, 2 MiB L2): a long
//    kc, 512, so that C is loaded and stored once per 512 k steps. The
//    512 x 64 B panel (128 KiB) then streams from L2 next to a 120 x 512 A
//    block (240 KiB), which L2 keeps up with; with the 6 x 64 tile, mc 240
//    and kc 256 or 384 measured within noise of this (kc 128 with a panel
//    in L1 had run 10-25% slower with the earlier 14 x 32 tile). With a
//    single A block the panel is packed and used by only a few tiles, and
//    kc 320 was best there (64 to 112 rows: 5-15% faster than kc 512, and
//    level with 192).
constexpr std::array kKernels = {
#if defined(__x86_64__)
    SgemmKernel{"avx512_6x64", 6, 64, 120, 512, 4032, 320, has_avx512, sgemm_avx512_6x64,
                sgemm_avx512_direct, sgemm_avx512_pack_a, sgemm_avx512_pack_b,
                sgemm_avx512_column},
    SgemmKernel{"avx2_6x16", 6, 16, 144, 256, 4080, 256, has_avx2_fma, sgemm_avx2_6x16,
                sgemm_avx2_direct, sgemm_avx2_pack_a, sgemm_avx2_pack_b,
                sgemm_avx2_column},
#endif
    SgemmKernel{"ref_4x8", 4, 8, 128, 256, 4096, 256, always, sgemm_ref_4x8, sgemm_ref_direct,
                nullptr, nullptr, nullptr},
};

static_assert(std::ranges::all_of(kKernels,
                                  [](const SgemmKernel& k) {
                                    return k.mr <= kMaxMR && k.mr * k.nr <= kMaxTile && k.mc % k.mr == 0 &&
                                           k.nc % k.nr == 0;
                                  }),
              "a kernel set's tile exceeds the driver's scratch, or its blocking is not a multiple of it");

}  // namespace

std::span<const SgemmKernel> sgemm_kernels() { return kKernels; }

const SgemmKernel& sgemm_ref_kernel() { return kKernels.back(); }

}  // namespace quarn::gemm
