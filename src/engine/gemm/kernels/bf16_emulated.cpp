// The portable emulation of the bfloat16 dot-product instruction and the
// kernel set built on it (see bf16_kernels.hpp).
#include <cmath>
#include <cstring>

#include "engine/gemm/kernels/bf16_kernels.hpp"
#include "engine/gemm/kernels/bf16_tile.hpp"

namespace quarn::gemm {

namespace {

float flush_subnormal(float x) {
  return std::fpclassify(x) == FP_SUBNORMAL ? std::copysign(0.0f, x) : x;
}

float widen(std::uint32_t half) {
  const std::uint32_t bits = half << 16;
  float x;
  std::memcpy(&x, &bits, sizeof x);
  return flush_subnormal(x);
}

struct Emulated {
  static constexpr int kWidth = 16;
  struct Reg {
    float v[kWidth];
  };
  struct Pairs {
    std::uint32_t v[kWidth];
  };

  static Reg zero() { return Reg{}; }
  static Reg load(const float* p) {
    Reg r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
  }
  static void store(float* p, const Reg& r) { std::memcpy(p, r.v, sizeof r.v); }
  static Pairs load_pairs(const std::uint32_t* p) {
    Pairs r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
  }
  static Pairs broadcast_pair(const std::uint32_t* p) {
    Pairs r;
    for (std::uint32_t& lane : r.v) lane = *p;
    return r;
  }
  static Reg dot(Reg acc, const Pairs& a, const Pairs& b) {
    for (int l = 0; l < kWidth; ++l) acc.v[l] = bf16_dot_lane(acc.v[l], a.v[l], b.v[l]);
    return acc;
  }
};

// Smaller than the real tile, so that the driver's handling of a set's
// geometry is exercised by another shape too, and quicker in the tests.
void emulated_4x16(std::size_t pairs, const std::uint32_t* a, const std::uint32_t* b, float* c,
                   std::ptrdiff_t ldc, bool resume) {
  bf16_tile<Emulated, 4, 1>(pairs, a, b, c, ldc, resume);
}

bool always(const engine::CpuFeatures&) { return true; }

constexpr Bf16Kernel kEmulated{"emulated_4x16", 4, 16, 64, 128, 256, always, emulated_4x16,
                               nullptr, nullptr, nullptr};

}  // namespace

float bf16_dot_lane(float acc, std::uint32_t a, std::uint32_t b) {
  // The products of two bfloat16 values are exact in float32 (8-bit
  // significands), so the fused step below rounds only the addition.
  acc = flush_subnormal(acc);
  acc = flush_subnormal(std::fma(widen(a >> 16), widen(b >> 16), acc));
  return flush_subnormal(std::fma(widen(a & 0xffff), widen(b & 0xffff), acc));
}

const Bf16Kernel& bf16_emulated_kernel() { return kEmulated; }

}  // namespace quarn::gemm
