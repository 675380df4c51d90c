// NumPy's C interface, included through this header only. The API table is
// bound in numpy.cpp (the one file that defines QUARN_NUMPY_IMPORT_UNIT); every
// other file sees it as an external symbol.
#pragma once

#include "binding/python.hpp"

// NumPy's array headers define NPY_ARRAY_C_CONTIGUOUS; seeing it here means
// they were included before this header, without the settings below.
#ifdef NPY_ARRAY_C_CONTIGUOUS
#error "include binding/numpy.hpp instead of NumPy's headers"
#endif

// Built against NumPy 2 headers, usable with any NumPy from 1.23 on.
#define NPY_NO_DEPRECATED_API 0x00000010
#define NPY_TARGET_VERSION 0x00000010
#define PY_ARRAY_UNIQUE_SYMBOL quarn_ARRAY_API
#ifndef QUARN_NUMPY_IMPORT_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "core/dtype.hpp"

namespace quarn::binding {

// Binds NumPy's C interface on first use, once per process. A NumPy that
// cannot be bound is a fault. Returns false with a Python exception set when
// importing numpy itself failed (that exception reaches the caller as is).
bool ensure_numpy();

// The NumPy element type of each dtype; a new reference. BF16 needs a NumPy
// type registered under the name "bfloat16"; without one this faults.
PyArray_Descr* numpy_descr(DType dtype);
// The same, but nullptr (no exception set) where numpy_descr would fault.
PyArray_Descr* find_numpy_descr(DType dtype);

}  // namespace quarn::binding
