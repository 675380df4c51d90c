// Half-precision conversions as pure functions on bit patterns: binary32 bits
// in, 16-bit pattern out, and back. Every other conversion in the engine (the
// vector ones included) must give exactly these bits.
//
// Everything here has internal linkage on purpose: the header is included by
// translation units compiled for different instruction sets, and an inline
// function with external linkage could be merged by the linker into a copy
// built for a wider instruction set than the caller's.
#pragma once

#include <bit>
#include <cstdint>

namespace quarn::engine {
namespace {

// One struct per 16-bit format: where its fields sit and how its exponent is
// biased. binary32 is 1 + 8 + 23 bits with bias 127.
struct F16Traits {
  static constexpr int kFracBits = 10;
  static constexpr int kBias = 15;
  static constexpr std::uint16_t kExpMask = 0x7C00;
  static constexpr std::uint16_t kQuietBit = 0x0200;
};

struct BF16Traits {
  static constexpr int kFracBits = 7;
  static constexpr int kBias = 127;
  static constexpr std::uint16_t kExpMask = 0x7F80;
  static constexpr std::uint16_t kQuietBit = 0x0040;
};

constexpr std::uint32_t kF32AbsMask = 0x7FFFFFFF;
constexpr std::uint32_t kF32Inf = 0x7F800000;
constexpr std::uint32_t kF32QuietBit = 0x00400000;

// Rounds `bits` to a multiple of 2^shift, nearest, ties to even, and returns
// the sum before the low bits are dropped (the caller shifts). With K the
// lowest kept bit and H the highest dropped one:
//
//     ... K H x x x x        add (H-1 ones) + K:
//     a carry into K happens exactly when H is set and (some x is set, or K
//     is set), i.e. above the midpoint, or on it with an odd K.
//
// A carry may ripple into the exponent; that is the correct result (the
// next binade, or infinity after the largest finite value).
constexpr std::uint32_t round_bits_to_nearest_even(std::uint32_t bits, int shift) {
  std::uint32_t kept_lsb = (bits >> shift) & 1u;
  return bits + ((1u << (shift - 1)) - 1u) + kept_lsb;
}

template <class Traits>
constexpr std::uint16_t nan_from_f32(std::uint32_t sign16, std::uint32_t abs) {
  // The top fraction bits survive, and the result is always quiet.
  constexpr int kDrop = 23 - Traits::kFracBits;
  constexpr std::uint32_t kFracMask = (1u << Traits::kFracBits) - 1u;
  return static_cast<std::uint16_t>(sign16 | Traits::kExpMask | ((abs >> kDrop) & kFracMask) |
                                    Traits::kQuietBit);
}

constexpr std::uint16_t round_f32_bits_to_f16(std::uint32_t x) {
  const std::uint32_t sign16 = (x >> 16) & 0x8000u;
  const std::uint32_t abs = x & kF32AbsMask;
  const std::uint32_t biased_exp = abs >> 23;

  // 1. NaN and infinity.
  if (abs > kF32Inf) return nan_from_f32<F16Traits>(sign16, abs);
  // 2. 65536 (2^16) and above, infinity included, overflow.
  if (abs >= 0x47800000u) return static_cast<std::uint16_t>(sign16 | 0x7C00u);
  // 3. Exponent -14 and above (biased 113): a normal result, unless rounding
  //    carries it to infinity, which is how 65520 overflows. Re-biasing is a
  //    subtraction of (127 - 15) from the exponent field.
  if (biased_exp >= 113) {
    std::uint32_t rounded = round_bits_to_nearest_even(abs, 13) >> 13;
    return static_cast<std::uint16_t>(sign16 | (rounded - (112u << 10)));
  }
  // 4. Exponents -25 to -15 (biased 102 to 112): subnormal. With the implicit
  //    bit restored the value is m * 2^(e - 150); in units of the smallest
  //    subnormal (2^-24) that is m >> (126 - e), rounded. A carry out of the
  //    top fraction bit lands on the smallest normal, which is correct.
  if (biased_exp >= 102) {
    std::uint32_t m = (abs & 0x007FFFFFu) | 0x00800000u;
    int shift = static_cast<int>(126 - biased_exp);
    return static_cast<std::uint16_t>(sign16 | (round_bits_to_nearest_even(m, shift) >> shift));
  }
  // 5. Below 2^-25 (f32 subnormals included): signed zero.
  return static_cast<std::uint16_t>(sign16);
}

constexpr std::uint16_t round_f32_bits_to_bf16(std::uint32_t x) {
  // bfloat16 is the top half of binary32: same exponent range, so no
  // re-biasing, no early overflow and no separate subnormal case.
  if ((x & kF32AbsMask) > kF32Inf) {
    return nan_from_f32<BF16Traits>((x >> 16) & 0x8000u, x & kF32AbsMask);
  }
  return static_cast<std::uint16_t>(round_bits_to_nearest_even(x, 16) >> 16);
}

constexpr std::uint32_t widen_f16_to_f32_bits(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t exp = (h >> 10) & 0x1Fu;
  const std::uint32_t frac = h & 0x3FFu;
  if (exp == 0x1F) {
    // Infinity, or a NaN made quiet with its fraction moved to the top.
    return sign | kF32Inf | (frac << 13) | (frac ? kF32QuietBit : 0u);
  }
  if (exp != 0) return sign | ((exp + 112u) << 23) | (frac << 13);
  if (frac == 0) return sign;
  // Subnormal: normalise so that the leading one lands on bit 10, the
  // implicit bit of a binary32 significand shifted down by 13.
  int shift = std::countl_zero(frac) - 21;
  return sign | ((113u - static_cast<std::uint32_t>(shift)) << 23) | (((frac << shift) & 0x3FFu) << 13);
}

constexpr std::uint32_t widen_bf16_to_f32_bits(std::uint16_t h) {
  std::uint32_t bits = static_cast<std::uint32_t>(h) << 16;
  if ((bits & kF32AbsMask) > kF32Inf) bits |= kF32QuietBit;
  return bits;
}

inline float widen_f16(std::uint16_t h) { return std::bit_cast<float>(widen_f16_to_f32_bits(h)); }
inline float widen_bf16(std::uint16_t h) { return std::bit_cast<float>(widen_bf16_to_f32_bits(h)); }
inline std::uint16_t round_to_f16(float f) { return round_f32_bits_to_f16(std::bit_cast<std::uint32_t>(f)); }
inline std::uint16_t round_to_bf16(float f) { return round_f32_bits_to_bf16(std::bit_cast<std::uint32_t>(f)); }

// A few facts checked at compile time, straight from the rounding rules.
static_assert(round_f32_bits_to_f16(0x477FE000u) == 0x7BFF);  // 65504, largest finite
static_assert(round_f32_bits_to_f16(0x477FF000u) == 0x7C00);  // 65520 ties up to infinity
static_assert(round_f32_bits_to_f16(0x33000000u) == 0x0000);  // 2^-25 ties down to zero
static_assert(round_f32_bits_to_f16(0x33000001u) == 0x0001);  // just above: smallest subnormal
static_assert(round_f32_bits_to_f16(0x7F800001u) == 0x7E00);  // signalling NaN becomes quiet
static_assert(round_f32_bits_to_bf16(0x3F808000u) == 0x3F80);  // 1 + 2^-8 ties to even 1
static_assert(round_f32_bits_to_bf16(0x7F7FFFFFu) == 0x7F80);  // largest finite rounds to inf
static_assert(widen_f16_to_f32_bits(0x0001) == 0x33800000u);   // 2^-24
static_assert(widen_f16_to_f32_bits(0x7C01) == 0x7FC02000u);

}  // namespace
}  // namespace quarn::engine
