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
// Python cannot subclass it.
PyTypeObject* tensor_type();
// Its one subclass made here, which Python may subclass: the quarn package
// installs its Python-written protocol on this type itself and registers it
// as the type of results (`set_user_type`), so that results are allocated
// and freed by compiled functions.
PyTypeObject* tensor_base_type();
// The type that results take when any tensor operand is not a plain
// quarn_core.Tensor: the registered user type, or the base until then.
PyTypeObject* user_tensor_type();
void set_user_type(PyTypeObject* type);

// The compiled type and the registered user type by pointer first: the
// subclass walk is for other subclasses only.
inline bool is_tensor(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  return t == tensor_type() || t == user_tensor_type() || PyType_IsSubtype(t, tensor_type());
}
inline const Tensor& record_of(PyObject* o) { return reinterpret_cast<PyTensor*>(o)->record; }

// Plain quarn_core.Tensor operands give a quarn_core.Tensor, exactly as
// always; any other tensor operand makes the result the user's type.
// Operands that are not tensors (numbers) do not count.
inline PyTypeObject* result_type(PyObject* a, PyObject* b = nullptr) {
  PyTypeObject* core = tensor_type();
  if (Py_IS_TYPE(a, core) && (b == nullptr || Py_IS_TYPE(b, core) || !is_tensor(b))) return core;
  const bool other = (!Py_IS_TYPE(a, core) && is_tensor(a)) || (b != nullptr && !Py_IS_TYPE(b, core) && is_tensor(b));
  return other ? user_tensor_type() : core;
}

// A new Python Tensor of `type` owning `t`; nullptr with MemoryError set on
// failure.
PyObject* wrap(Tensor&& t, PyTypeObject* type);
inline PyObject* wrap_result(Result<Tensor>&& r, PyTypeObject* type);

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
inline PyObject* wrap_result(Result<Tensor>&& r, PyTypeObject* type) {
  if (!r.ok()) return raise(r.error());
  return wrap(std::move(r).value(), type);
}
}  // namespace quarn::binding
