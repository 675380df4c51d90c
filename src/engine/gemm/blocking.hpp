// The arithmetic of cutting a product into blocks, shared by the float32,
// bfloat16 and AMX drivers so that they cut alike.
#pragma once

#include <algorithm>
#include <cstddef>

namespace quarn::gemm {

inline std::ptrdiff_t off(std::size_t i) { return static_cast<std::ptrdiff_t>(i); }

inline std::size_t ceil_div(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

inline std::size_t round_up(std::size_t x, std::size_t multiple) { return ceil_div(x, multiple) * multiple; }

// Splits `total` into equal steps of at most `limit` (rounded up to
// `multiple`), so that a size just past a block edge does not leave a sliver
// of a last block.
inline std::size_t balanced_step(std::size_t total, std::size_t limit, std::size_t multiple) {
  const std::size_t blocks = ceil_div(total, limit);
  return std::min(limit, round_up(ceil_div(total, blocks), multiple));
}

}  // namespace quarn::gemm
