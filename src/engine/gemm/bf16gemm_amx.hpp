// bfloat16 general matrix multiply into float32 on the AMX tile unit, as an
// opt-in alternative to bf16gemm.hpp's dot-product kernels. Arguments as in
// bf16gemm_with: C <- A * B, strides in elements of either sign.
//
// Not bit-identical to the float32 FMA chain. The tile instruction's
// published description adds each pair's two products to the accumulator
// one after the other, rounding each time, but on the Intel core this was
// written on the results match that chain for only some elements of random
// products: about half at k = 32, under a tenth at k = 600 (neither pair
// order nor one rounding per pair matches them all): the unit keeps its own
// intermediate precision. So this path serves
// products only when asked for (Bf16DotMode::kAmx), and it still takes only
// operands that pass bf16_dot_exact, as the unit flushes subnormals.
//
// Each element's sum depends on k alone (the k blocking is fixed by k), not
// on where the element lies in C, so splitting C between threads changes
// no result.
//
// Throws std::bad_alloc when the packing buffers cannot be had.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::gemm {

// Whether the CPU has AMX-TILE and AMX-BF16 and the OS grants this process
// the tile state; asks for it the first time. False off x86-64 Linux.
bool amx_bf16_usable();
// Why not, as a sentence for an error message; null where it is usable.
const char* amx_bf16_refusal();

void bf16gemm_amx(std::size_t m, std::size_t n, std::size_t k, const std::uint16_t* a,
                  std::ptrdiff_t rsa, std::ptrdiff_t csa, const std::uint16_t* b,
                  std::ptrdiff_t rsb, std::ptrdiff_t csb, float* c, std::ptrdiff_t rsc,
                  std::ptrdiff_t csc);

}  // namespace quarn::gemm
