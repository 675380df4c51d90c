// The NumPy border: arrays in (copied into a new storage), arrays out (a new
// array owning a copy). No tensor ever shares memory with a NumPy array.
#pragma once

#include <string_view>

#include "binding/python.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::binding {

// Copies a NumPy array whose element type matches the dtype named
// `dtype_name` into a new row-major storage.
Result<Storage> ingest_array(PyObject* array, std::string_view dtype_name);

// A new, writeable NumPy array holding a copy of `s`, in `s`'s memory order
// when that is row-major or column-major.
PyObject* export_storage(const Storage& s);

// A dtype argument as Tensor() reads one: None (float32), a name such as
// "float16" or "bf16", a NumPy type or dtype. ValueError for any other.
Result<DType> dtype_argument(PyObject* dtype);

}  // namespace quarn::binding
