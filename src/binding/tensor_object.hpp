// The Python object that wraps one tensor record.
#pragma once

#include "binding/python.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::binding {

struct PyTensor {
  PyObject_HEAD
  // Set once in tensor_new before the object is published and never changed,
  // so concurrent readers on other threads need no lock.
  Tensor record;
};

// The Tensor class, built on first request and shared by every later one.
PyTypeObject* tensor_type();

inline bool is_tensor(PyObject* o) { return Py_IS_TYPE(o, tensor_type()); }
inline const Tensor& record_of(PyObject* o) { return reinterpret_cast<PyTensor*>(o)->record; }

// A new Python Tensor owning `t`; nullptr with MemoryError set on failure.
PyObject* wrap(Tensor&& t);
inline PyObject* wrap_result(Result<Tensor>&& r);

// Pieces of the class defined in their own files.
PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
extern PyGetSetDef tensor_getset[];
extern PyMethodDef tensor_methods[];
PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op);
PyObject* tensor_add(PyObject* l, PyObject* r);
PyObject* tensor_sub(PyObject* l, PyObject* r);
PyObject* tensor_mul(PyObject* l, PyObject* r);
PyObject* tensor_truediv(PyObject* l, PyObject* r);
PyObject* tensor_matmul(PyObject* l, PyObject* r);
PyObject* tensor_and(PyObject* l, PyObject* r);
PyObject* tensor_or(PyObject* l, PyObject* r);
PyObject* tensor_xor(PyObject* l, PyObject* r);
PyObject* tensor_invert(PyObject* self);

}  // namespace quarn::binding

#include "binding/errors.hpp"

namespace quarn::binding {
inline PyObject* wrap_result(Result<Tensor>&& r) {
  if (!r.ok()) return raise(r.error());
  return wrap(std::move(r).value());
}
}  // namespace quarn::binding
