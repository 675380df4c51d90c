// The sum kernels of one instruction set, as a table. reduce.cpp turns a sum
// into a SumProblem (axes normalised, strides non-negative) and hands it to
// the table chosen for this processor; the native tests reach every table
// the machine supports directly. All tables give the same bits: they run the
// same binary32 additions in the same order, only on wider registers.
#pragma once

#include <cstddef>

#include "core/dtype.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"
#include "runtime/small_vector.hpp"

namespace quarn::engine {

struct SumAxis {
  std::size_t extent;  // at least 2
  std::ptrdiff_t in;   // input stride in bytes, never negative
  std::ptrdiff_t out;  // result stride in elements (0 for a summed axis)
};

// Results at `out` plus the kept axes' offsets, each the sum of the elements
// at `in` plus the kept and the summed axes' offsets. Both lists run
// outermost first in memory order of the input; neighbours that step
// evenly are already merged. `summed` is never empty (a sum of one element
// each has one axis of extent 1).
struct SumProblem {
  DType dtype;
  const char* in;
  char* out;
  SmallVector<SumAxis> kept;
  SmallVector<SumAxis> summed;
  // The innermost axis of the input is kept.back(), so results are made a
  // row at a time rather than one by one.
  bool rows;
};

struct ReduceKernels {
  const char* name;
  void (*sum)(const SumProblem& p);
};

const ReduceKernels& reduce_kernels_baseline();
#if defined(__x86_64__)
const ReduceKernels& reduce_kernels_avx2();
#endif

// The table for this processor, chosen once.
const ReduceKernels& reduce_kernels();

// engine::sum with a given table.
Result<Storage> sum_with(const ReduceKernels& kernels, const Storage& a, const Shape& axes, bool keepdims);

}  // namespace quarn::engine
