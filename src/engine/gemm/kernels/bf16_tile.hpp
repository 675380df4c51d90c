// The bfloat16 micro-kernel, written once over a traits type whose one
// instruction-specific step is `dot`. The instruction's own file and the
// portable emulation instantiate the same body, so the emulated kernel that
// the tests run on any machine shares every line with the real one except
// that step.
//
// A traits type V provides: Reg (16 float32 lanes), Pairs (16 packed pairs),
// kWidth == 16, zero(), load(const float*), store(float*, Reg),
// load_pairs(const uint32_t*), broadcast_pair(const uint32_t*) and
// dot(acc, a, b).
//
// Everything here has internal linkage, so copies built for different
// instruction sets are never merged by the linker.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarn::gemm {
namespace {

template <class V, int MR, int NV>
[[gnu::always_inline]] inline void bf16_tile(std::size_t pairs, const std::uint32_t* a,
                                             const std::uint32_t* b, float* c,
                                             std::ptrdiff_t ldc, bool resume) {
  constexpr int W = V::kWidth;
  constexpr int NR = NV * W;
  typename V::Reg acc[MR][NV];
#pragma GCC unroll 32
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) acc[i][j] = resume ? V::load(c + i * ldc + j * W) : V::zero();

#pragma GCC unroll 2
  for (std::size_t q = 0; q < pairs; ++q) {
    typename V::Pairs bv[NV];
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) bv[j] = V::load_pairs(b + j * W);
#pragma GCC unroll 32
    for (int i = 0; i < MR; ++i) {
      const typename V::Pairs ai = V::broadcast_pair(a + i);
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) acc[i][j] = V::dot(acc[i][j], ai, bv[j]);
    }
    a += MR;
    b += NR;
  }

#pragma GCC unroll 32
  for (int i = 0; i < MR; ++i)
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) V::store(c + i * ldc + j * W, acc[i][j]);
}

}  // namespace
}  // namespace quarn::gemm
