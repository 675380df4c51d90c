// Conversion of Python arguments by the interpreter's own rules. A failed
// conversion keeps its exception and gains the note "while processing
// '<parameter>'".
#pragma once

#include <cstddef>

#include "binding/python.hpp"
#include "core/shape.hpp"

namespace quarn::binding {

// A Python int (or any object with __index__) as an unsigned machine word;
// OverflowError for negative or too large values.
bool arg_size(PyObject* o, const char* parameter, std::size_t* out);
// Any sequence but a string, of such integers.
bool arg_shape(PyObject* o, const char* parameter, Shape* out);
// A Python bool or a NumPy boolean scalar; nothing else.
bool arg_bool(PyObject* o, const char* parameter, bool* out);
// A str (or subclass).
bool arg_str(PyObject* o, const char* parameter);
// Python's float conversion narrowed to binary32. When `keep_error` is false
// a failure leaves no exception set unless discard_conversion_error keeps it
// (an interrupt, MemoryError): callers check PyErr_Occurred() after false.
bool arg_float(PyObject* o, const char* parameter, float* out, bool keep_error);

// "'<type>' object is not an instance of '<target>'" as TypeError.
void raise_not_instance(PyObject* o, const char* target);

}  // namespace quarn::binding
