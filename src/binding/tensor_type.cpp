#include <atomic>
#include <new>
#include <vector>

#include "binding/functions.hpp"
#include "binding/tensor_object.hpp"

namespace quarn::binding {

namespace {

void tensor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyTensor*>(self)->record.~Tensor();
  type->tp_free(self);
  Py_DECREF(type);
}

// The class's own methods followed by those of the operations beyond the
// operators, in one table.
PyMethodDef* all_methods() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t;
    for (PyMethodDef* m : {tensor_methods, extra_tensor_methods})
      for (; m->ml_name != nullptr; ++m) t.push_back(*m);
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table.data();
}

// Made on first use (function-local statics are initialised once, also when
// threads race to the first Tensor).
PyType_Spec* tensor_spec() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
      {Py_tp_getset, tensor_getset},
      {Py_tp_methods, all_methods()},
      {Py_tp_richcompare, reinterpret_cast<void*>(tensor_richcompare)},
      {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
      {Py_nb_subtract, reinterpret_cast<void*>(tensor_sub)},
      {Py_nb_multiply, reinterpret_cast<void*>(tensor_mul)},
      {Py_nb_true_divide, reinterpret_cast<void*>(tensor_truediv)},
      {Py_nb_matrix_multiply, reinterpret_cast<void*>(tensor_matmul)},
      {Py_nb_and, reinterpret_cast<void*>(tensor_and)},
      {Py_nb_or, reinterpret_cast<void*>(tensor_or)},
      {Py_nb_xor, reinterpret_cast<void*>(tensor_xor)},
      {Py_nb_invert, reinterpret_cast<void*>(tensor_invert)},
      {0, nullptr},
  };
  // Not a base type: Python refuses to subclass it.
  static PyType_Spec spec = {
      "quarn.Tensor", sizeof(PyTensor), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
  };
  return &spec;
}

std::atomic<PyTypeObject*> the_type{nullptr};

}  // namespace

PyTypeObject* tensor_type() {
  PyTypeObject* t = the_type.load(std::memory_order_acquire);
  if (t) return t;
  auto* made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(tensor_spec()));
  if (made == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (!the_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;  // one reference kept for the life of the process
}

namespace {

std::atomic<PyTypeObject*> the_base{nullptr};
std::atomic<PyTypeObject*> the_user_type{nullptr};

PyType_Spec* base_spec() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("The base of the quarn package's Tensor: quarn_core.Tensor's records and "
                                    "operations, open to subclasses that add no fields.")},
      {0, nullptr},
  };
  static PyType_Spec spec = {"quarn._TensorBase", sizeof(PyTensor), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                             slots};
  return &spec;
}

}  // namespace

PyTypeObject* tensor_base_type() {
  PyTypeObject* t = the_base.load(std::memory_order_acquire);
  if (t) return t;
  PyTypeObject* core = tensor_type();
  if (core == nullptr) return nullptr;
  // The one subclass of quarn_core.Tensor: its flags admit a base only for
  // the moment this type is made, under the module's initialisation.
  core->tp_flags |= Py_TPFLAGS_BASETYPE;
  PyObject* made = PyType_FromSpecWithBases(base_spec(), reinterpret_cast<PyObject*>(core));
  core->tp_flags &= ~Py_TPFLAGS_BASETYPE;
  if (made == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (!the_base.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(made), std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return reinterpret_cast<PyTypeObject*>(made);
}

PyTypeObject* user_tensor_type() {
  PyTypeObject* t = the_user_type.load(std::memory_order_acquire);
  if (t != nullptr) return t;
  t = the_base.load(std::memory_order_acquire);
  return t != nullptr ? t : tensor_base_type();
}

void set_user_type(PyTypeObject* type) {
  Py_INCREF(type);  // kept for the life of the process, as the types above
  PyTypeObject* old = the_user_type.exchange(type, std::memory_order_acq_rel);
  Py_XDECREF(old);
}

PyObject* wrap(Tensor&& t, PyTypeObject* type) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<PyTensor*>(obj)->record) Tensor(std::move(t));
  return obj;
}

}  // namespace quarn::binding
