// The inner loops of every element-wise operation, one table per instruction
// set. A "run" is one stretch of the innermost loop: the result is written
// contiguously, and each operand is read with its own stride in elements
// (1 for a contiguous run, 0 for a broadcast value, anything else for a
// strided read). The n-dimensional walk that produces the runs lives in
// strided_loop.hpp and knows nothing about the operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/dtype.hpp"

namespace quarn::engine::elementwise {

using BinaryRunFn = void (*)(char* out, const char* a, std::ptrdiff_t sa, const char* b,
                             std::ptrdiff_t sb, std::size_t n);
using UnaryRunFn = void (*)(char* out, const char* a, std::ptrdiff_t sa, std::size_t n);

enum BinaryKernel : std::uint8_t {
  kAdd,
  kSub,
  kMul,
  kDiv,
  kEq,
  kGe,
  kGt,
  kLe,
  kLt,
  kAnd,
  kOr,
  kXor,
  kReluBackward,  // a is relu's input, b the gradient: b where a > 0, else +0
  kBinaryKernelCount
};

enum UnaryKernel : std::uint8_t { kRelu, kNot, kExp, kLog, kTanh, kSigmoid, kUnaryKernelCount };

inline constexpr std::size_t kDTypeCount = 4;

// Indexed by kernel, then by the operands' DType ordinal; null where the
// operation does not exist for that dtype. The streaming variants give the
// same results but write around the caches, for results too large to stay
// in them.
struct KernelTable {
  const char* name;
  BinaryRunFn binary[kBinaryKernelCount][kDTypeCount];
  UnaryRunFn unary[kUnaryKernelCount][kDTypeCount];
  BinaryRunFn binary_streaming[kBinaryKernelCount][kDTypeCount];
  UnaryRunFn unary_streaming[kUnaryKernelCount][kDTypeCount];
};

const KernelTable& kernel_table_baseline();
#if defined(__x86_64__)
const KernelTable& kernel_table_avx2();
const KernelTable& kernel_table_avx512();
#endif

// The table for this processor, chosen once per process.
const KernelTable& kernels();

inline BinaryRunFn binary_kernel(BinaryKernel k, DType d, bool streaming = false) {
  const KernelTable& t = kernels();
  return (streaming ? t.binary_streaming : t.binary)[k][static_cast<std::size_t>(d)];
}
inline UnaryRunFn unary_kernel(UnaryKernel k, DType d, bool streaming = false) {
  const KernelTable& t = kernels();
  return (streaming ? t.unary_streaming : t.unary)[k][static_cast<std::size_t>(d)];
}

}  // namespace quarn::engine::elementwise
