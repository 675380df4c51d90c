// The operation table's Layout rows as functions of quarn_core._functions.
// Each returns its operand itself when there is nothing to do: tensors never
// change, so sharing one is indistinguishable from a copy, and costs nothing.
#include "binding/args.hpp"
#include "binding/exchange.hpp"
#include "binding/interop.hpp"
#include "binding/protocol.hpp"
#include "binding/tensor_object.hpp"
#include "ops/layout_ops.hpp"

namespace quarn::binding {

namespace {

// The operand itself when the front end gave back the same node and
// storage, otherwise a new object of the result type.
PyObject* same_or_wrap(PyObject* t, Result<Tensor>&& r) {
  if (r.ok()) {
    const Tensor& in = record_of(t);
    const Tensor& out = r.value();
    if (out.node_id == in.node_id && out.data.data() == in.data.data() && out.data.dtype() == in.data.dtype() &&
        out.data.shape() == in.data.shape() && out.data.strides() == in.data.strides()) {
      Py_INCREF(t);
      return t;
    }
  }
  return wrap_result(std::move(r), result_type(t));
}

PyObject* cast_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "dtype", nullptr};
    PyObject *t = nullptr, *dtype = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:cast", const_cast<char**>(kwlist), &t, &dtype))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    Result<DType> to = dtype_argument(dtype);
    if (!to.ok()) return raise(to.error());
    if (to.value() == DType::BF16 && !ensure_bfloat16_type()) return nullptr;
    return same_or_wrap(t, ops::cast(record_of(t), to.value()));
  });
}

PyObject* contiguous_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", nullptr};
    PyObject* t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:contiguous", const_cast<char**>(kwlist), &t)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    return same_or_wrap(t, ops::contiguous(record_of(t)));
  });
}

PyObject* broadcast_to_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "shape", nullptr};
    PyObject *t = nullptr, *shape_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:broadcast_to", const_cast<char**>(kwlist), &t, &shape_obj))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    Shape shape;
    if (!arg_shape(shape_obj, "shape", &shape)) return nullptr;
    return same_or_wrap(t, ops::broadcast_to(record_of(t), shape));
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef layout_defs[] = {
    {"cast", as_cfunction(cast_function), kKeywords,
     "cast(input, dtype)\n--\n\nThe elements converted to another dtype (float32, float16, bfloat16 or bool),\n"
     "rounded once to nearest-even where the dtype narrows; the tensor itself when it has\n"
     "that dtype. Differentiable between float dtypes; a bool on either side is a mask, which\n"
     "no gradient reaches."},
    {"contiguous", as_cfunction(contiguous_function), kKeywords,
     "contiguous(input)\n--\n\nThe elements laid out row-major (the tensor itself when they are)."},
    {"broadcast_to", as_cfunction(broadcast_to_function), kKeywords,
     "broadcast_to(input, shape)\n--\n\nThe elements repeated over a shape they broadcast to (the tensor itself "
     "for its own shape)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_layout_functions(PyObject* functions) {
  if (PyModule_AddFunctions(functions, layout_defs) < 0) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(functions, "__all__"));
  if (!all) return -1;
  for (const PyMethodDef* def = layout_defs; def->ml_name != nullptr; ++def) {
    PyRef name = PyRef::steal(PyUnicode_FromString(def->ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace quarn::binding
