// The reduction kernels of one instruction set, as a table. reduce.cpp plans
// every reduction the same way (extent-1 axes dropped, negative strides
// turned around, axes ordered and merged) into a ReduceProblem and hands it
// to the table chosen for this processor; the native tests reach every table
// the machine supports directly. All tables give the same bits: the sums run
// the same binary32 operations in the same order, only on wider registers,
// and a maximum does not depend on the order in which it is found.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/dtype.hpp"
#include "core/storage.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/error.hpp"
#include "runtime/small_vector.hpp"

namespace quarn::engine {

struct ReduceAxis {
  std::size_t extent;  // at least 2
  std::ptrdiff_t in;   // input stride in bytes
  std::ptrdiff_t out;  // result stride in elements (0 for a reduced axis)
};

// What a sum adds in place of each element x, given its result's `center` c.
enum class ReduceMap : std::uint8_t {
  kNone,       // x
  kExpShift,   // exp(x - c): logsumexp with its maximum taken out
  kSquareDev,  // (x - c)^2: the squared deviation from the mean
};

// Results at `out` plus the kept axes' offsets, each a reduction of the
// elements at `in` plus the kept and the reduced axes' offsets. The kept
// list runs outermost first in memory order of the input, with
// non-negative input strides. The reduced list does too for sums and
// products; for the selections (maximum, minimum) it runs in the input's
// row-major order instead, strides of either sign, so that "the first
// extreme element" is the first in that order and its flat index is the
// row-major position within the group. Neighbours that step evenly are
// merged in both. `reduced` is never empty (a reduction of one element each
// has one axis of extent 1).
struct ReduceProblem {
  DType dtype;      // of the input
  DType out_dtype;  // of the results: the input's, or F32 for a partial result
  const char* in;
  char* out;
  // Element offset of the first result: results are at out_origin plus the
  // kept axes' offsets, in `out`, `center` and `index` alike.
  std::ptrdiff_t out_origin;
  SmallVector<ReduceAxis> kept;
  SmallVector<ReduceAxis> reduced;
  // The innermost axis of the input is kept.back(), so results are made a
  // row at a time rather than one by one.
  bool rows;
  ReduceMap map;
  const float* center;  // per result, read by the maps
  // Selections: the flat index of the chosen element of each group is
  // written here when not null.
  std::size_t* index;
};

struct ReduceKernels {
  const char* name;
  // Blocked pairwise sums of the (mapped) elements, in binary32.
  void (*sum)(const ReduceProblem& p);
  // Products with the same blocking as the sums.
  void (*prod)(const ReduceProblem& p);
  // The first largest (smallest) element of each group in row-major order,
  // or its first NaN.
  void (*max)(const ReduceProblem& p);
  void (*min)(const ReduceProblem& p);
};

const ReduceKernels& reduce_kernels_baseline();
#if defined(__x86_64__)
const ReduceKernels& reduce_kernels_avx2();
const ReduceKernels& reduce_kernels_avx512();
#endif

// The table for this processor, chosen once.
const ReduceKernels& reduce_kernels();

// engine::sum with a given table.
Result<Storage> sum_with(const ReduceKernels& kernels, const Storage& a, const Shape& axes, bool keepdims);

// engine::reduce with a given table, over a view whose strides (in
// elements) may be negative: `a.data` is the element at index 0.
Result<Storage> reduce_with(const ReduceKernels& kernels, ReduceOp op, const View& a, const Shape& axes,
                            bool keepdims, double ddof = 0);
Result<Storage> reduce_select_backward_with(const ReduceKernels& kernels, ReduceOp op, const View& a,
                                            const Storage& g, const Shape& axes, bool keepdims);

}  // namespace quarn::engine
