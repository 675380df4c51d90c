// The table of bfloat16 kernel sets that run the dot-product instruction.
// Selection takes the first one the CPU supports; with none, bfloat16
// products stay on the float32 path.
#include <algorithm>
#include <array>

#include "engine/gemm/kernels/bf16_kernels.hpp"

namespace quarn::gemm {

namespace {

#if defined(__x86_64__)
bool has_avx512_bf16(const engine::CpuFeatures& f) { return f.has_avx512_bf16(); }

// The float32 AVX-512 set's blocking in bytes, with twice the k per block:
// a 256 x 32 B panel of pairs is 16 KiB (half of L1d), the 336 x 256 A block
// 168 KiB of L2, the 256 x 4064 B block 2 MiB.
constexpr std::array kKernels = {
    Bf16Kernel{"avx512bf16_14x32", 14, 32, 336, 256, 4064, has_avx512_bf16,
               bf16gemm_avx512bf16_14x32, bf16gemm_avx512bf16_pack_a,
               bf16gemm_avx512bf16_pack_b, bf16gemm_avx512bf16_scan},
};

static_assert(std::ranges::all_of(kKernels,
                                  [](const Bf16Kernel& k) {
                                    return k.mr <= kBf16MaxMR && k.mr * k.nr <= kBf16MaxTile &&
                                           k.mc % k.mr == 0 && k.nc % k.nr == 0 && k.kc % 2 == 0;
                                  }),
              "a bfloat16 set's tile exceeds the driver's scratch, or its blocking does not fit it");
#endif

}  // namespace

std::span<const Bf16Kernel> bf16_kernels() {
#if defined(__x86_64__)
  return kKernels;
#else
  return {};
#endif
}

}  // namespace quarn::gemm
