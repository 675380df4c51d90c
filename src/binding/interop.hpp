// Operands beside a quarn.Tensor that are neither tensors nor numbers: NumPy
// arrays and Python sequences, taken like constants (interop.cpp).
#pragma once

#include "binding/python.hpp"
#include "core/dtype.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::binding {

// A NumPy array (of any subclass), list or tuple. False with an exception
// set only when binding NumPy failed.
bool is_array_like(PyObject* o);

// `o` converted to a constant tensor of `like`'s dtype (NumPy's unsafe
// casting, from the values as NumPy reads them); a bool `like` meets a
// non-bool operand as float32. Errors of the conversion are NumPy's own.
Result<Tensor> constant_from(PyObject* o, DType like);

// Before a bfloat16 tensor is made from other data (a cast, a DLPack
// import): imports ml_dtypes, which registers NumPy's bfloat16, unless a
// bfloat16 type is registered already, so that the tensor can be read back
// as an array. Without ml_dtypes the tensor is still made (it computes; only
// reading it as an array fails). False with an exception set only for an
// interrupt or MemoryError met meanwhile.
bool ensure_bfloat16_type();

}  // namespace quarn::binding
