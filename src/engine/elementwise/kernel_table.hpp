// The inner loops of every element-wise operation, one table per instruction
// set. A "run" is one stretch of the innermost loop: the result is written
// contiguously, and each operand is read with its own stride in elements
// (1 for a contiguous run, 0 for a broadcast value, anything else for a
// strided read). The n-dimensional walk that produces the runs lives in
// strided_loop.hpp and knows nothing about the operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/dtype.hpp"
#include "core/operation.hpp"
#include "runtime/fault.hpp"

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
  // The gradient of each element-wise map of the operation table, on (the
  // value its rule saves, g): kReluBackward, kExpGradient, ...
#define QUARN_GRADIENT_KERNEL_ID(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  k##gradient,
  QUARN_MAPS(QUARN_GRADIENT_KERNEL_ID)
#undef QUARN_GRADIENT_KERNEL_ID
  // Two-tensor maps of the operation table: kMaximum, kMinimum, kPow.
#define QUARN_PAIRWISE_KERNEL_ID(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  k##kernel,
  QUARN_PAIRWISE(QUARN_PAIRWISE_KERNEL_ID)
#undef QUARN_PAIRWISE_KERNEL_ID
  kBinaryKernelCount
};

// Logical NOT, then each element-wise map of the operation table: kRelu,
// kExp, ...
enum UnaryKernel : std::uint8_t {
  kNot,
#define QUARN_MAP_KERNEL_ID(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) k##kernel,
  QUARN_MAPS(QUARN_MAP_KERNEL_ID)
#undef QUARN_MAP_KERNEL_ID
  kUnaryKernelCount
};

// The kernels of an element-wise map of the operation table. Asking for an
// operation that is not a map is a fault.
constexpr UnaryKernel map_kernel_of(Op op) {
  switch (op) {
#define QUARN_MAP_KERNEL_CASE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  case Op::name:                                                                                      \
    return k##kernel;
    QUARN_MAPS(QUARN_MAP_KERNEL_CASE)
#undef QUARN_MAP_KERNEL_CASE
    default:
      fault("internal error: " + std::string(info(op).name) + " is not an element-wise map");
  }
}
constexpr BinaryKernel gradient_kernel_of(Op op) {
  switch (op) {
#define QUARN_GRADIENT_KERNEL_CASE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  case Op::name:                                                                                           \
    return k##gradient;
    QUARN_MAPS(QUARN_GRADIENT_KERNEL_CASE)
#undef QUARN_GRADIENT_KERNEL_CASE
    default:
      fault("internal error: " + std::string(info(op).name) + " is not an element-wise map");
  }
}

// Maps with numbers (QUARN_PARAM_MAPS): a run gets the row's two numbers
// as `p[0]` and `p[1]`. kGelu, ..., and their gradients on (input, g).
using ParamUnaryRunFn = void (*)(char* out, const char* a, std::ptrdiff_t sa, std::size_t n, const float* p);
using ParamBinaryRunFn = void (*)(char* out, const char* a, std::ptrdiff_t sa, const char* b, std::ptrdiff_t sb,
                                  std::size_t n, const float* p);
enum ParamKernel : std::uint8_t {
#define QUARN_PARAM_KERNEL_ID(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) k##kernel,
  QUARN_PARAM_MAPS(QUARN_PARAM_KERNEL_ID)
#undef QUARN_PARAM_KERNEL_ID
  kParamKernelCount
};
enum ParamGradientKernel : std::uint8_t {
#define QUARN_PARAM_GRADIENT_ID(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) k##gradient,
  QUARN_PARAM_MAPS(QUARN_PARAM_GRADIENT_ID)
#undef QUARN_PARAM_GRADIENT_ID
  kParamGradientCount
};
constexpr ParamKernel param_kernel_of(Op op) {
  switch (op) {
#define QUARN_PARAM_KERNEL_CASE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  case Op::name:                                                                                        \
    return k##kernel;
    QUARN_PARAM_MAPS(QUARN_PARAM_KERNEL_CASE)
#undef QUARN_PARAM_KERNEL_CASE
    default:
      fault("internal error: " + std::string(info(op).name) + " is not a map with numbers");
  }
}
constexpr ParamGradientKernel param_gradient_kernel_of(Op op) {
  switch (op) {
#define QUARN_PARAM_GRADIENT_CASE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  case Op::name:                                                                                          \
    return k##gradient;
    QUARN_PARAM_MAPS(QUARN_PARAM_GRADIENT_CASE)
#undef QUARN_PARAM_GRADIENT_CASE
    default:
      fault("internal error: " + std::string(info(op).name) + " is not a map with numbers");
  }
}
constexpr BinaryKernel pairwise_kernel_of(Op op) {
  switch (op) {
#define QUARN_PAIRWISE_KERNEL_CASE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  case Op::name:                                                                                           \
    return k##kernel;
    QUARN_PAIRWISE(QUARN_PAIRWISE_KERNEL_CASE)
#undef QUARN_PAIRWISE_KERNEL_CASE
    default:
      fault("internal error: " + std::string(info(op).name) + " is not a two-tensor map");
  }
}

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
  ParamUnaryRunFn param[kParamKernelCount][kDTypeCount];
  ParamUnaryRunFn param_streaming[kParamKernelCount][kDTypeCount];
  ParamBinaryRunFn param_gradient[kParamGradientCount][kDTypeCount];
};

const KernelTable& kernel_table_baseline();
#if defined(__x86_64__)
const KernelTable& kernel_table_avx2();
const KernelTable& kernel_table_avx512();
#endif

// The table for this processor, chosen once per process.
const KernelTable& kernels();

// A kernel that the table lacks for a dtype is a fault (PanicException),
// never a call through a null pointer: a caller that forgot its dtype check
// fails loudly instead of taking the process down.
[[noreturn]] void missing_kernel(const char* kind, int kernel, DType d);

inline BinaryRunFn binary_kernel(BinaryKernel k, DType d, bool streaming = false) {
  const KernelTable& t = kernels();
  BinaryRunFn fn = (streaming ? t.binary_streaming : t.binary)[k][static_cast<std::size_t>(d)];
  if (fn == nullptr) missing_kernel("binary", k, d);
  return fn;
}
inline UnaryRunFn unary_kernel(UnaryKernel k, DType d, bool streaming = false) {
  const KernelTable& t = kernels();
  UnaryRunFn fn = (streaming ? t.unary_streaming : t.unary)[k][static_cast<std::size_t>(d)];
  if (fn == nullptr) missing_kernel("unary", k, d);
  return fn;
}

inline ParamUnaryRunFn param_kernel(ParamKernel k, DType d, bool streaming = false) {
  const KernelTable& t = kernels();
  ParamUnaryRunFn fn = (streaming ? t.param_streaming : t.param)[k][static_cast<std::size_t>(d)];
  if (fn == nullptr) missing_kernel("parameterised", k, d);
  return fn;
}
inline ParamBinaryRunFn param_gradient_kernel(ParamGradientKernel k, DType d) {
  ParamBinaryRunFn fn = kernels().param_gradient[k][static_cast<std::size_t>(d)];
  if (fn == nullptr) missing_kernel("parameterised gradient", k, d);
  return fn;
}

}  // namespace quarn::engine::elementwise
