// Conversion of Python arguments by the interpreter's own rules. Every helper
// takes (object, parameter name, out) and reports failure by returning false
// with a Python exception set: most failures are the interpreter's own, met
// while converting. A failed conversion keeps its exception and gains the
// note "while processing '<parameter>'". Errors these helpers find themselves
// are made as Error values and set through `raise`, like every other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding/python.hpp"
#include "core/shape.hpp"
#include "ops/tensor_ops.hpp"
#include "runtime/error.hpp"

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
// A Tensor (the class is final, so exactly a Tensor).
bool arg_tensor(PyObject* o, const char* parameter);
// One axis: any integer that fits a signed machine word, negative ones
// counting from the end.
bool arg_axis(PyObject* o, const char* parameter, std::ptrdiff_t* out);
// None (every axis), an axis, or a tuple or list of axes.
bool arg_axes(PyObject* o, const char* parameter, ops::AxisList* out);
// Integer class indices from anything NumPy turns into a one-axis integer
// array.
bool arg_targets(PyObject* o, const char* parameter, std::vector<std::int64_t>* out);
// Python's float conversion narrowed to binary32. When `keep_error` is false
// a failure leaves no exception set unless discard_conversion_error keeps it
// (an interrupt, MemoryError): callers check PyErr_Occurred() after false.
bool arg_float(PyObject* o, const char* parameter, float* out, bool keep_error);

// "'<type>' object is not an instance of '<target>'" as a TypeError value,
// and the same set as the pending exception.
Error not_instance(PyObject* o, const char* target);
void raise_not_instance(PyObject* o, const char* target);

}  // namespace quarn::binding
