// Tensor's attributes and named methods.
#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "binding/args.hpp"
#include "binding/exchange.hpp"
#include "binding/tensor_object.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::binding {

namespace {

template <class T, class Convert>
PyObject* to_list(const SmallVector<T>& values, Convert&& convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = convert(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* get_shape(PyObject* self, void*) {
  return guarded([&] { return to_list(record_of(self).data.shape(), PyLong_FromSize_t); });
}
PyObject* get_ndim(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(record_of(self).data.ndim()); });
}
PyObject* get_strides(PyObject* self, void*) {
  return guarded([&] { return to_list(record_of(self).data.strides(), PyLong_FromSsize_t); });
}
PyObject* get_dtype(PyObject* self, void*) {
  return guarded([&] {
    auto name = dtype_short_name(record_of(self).data.dtype());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}
PyObject* get_device(PyObject*, void*) {
  return guarded([&] { return PyUnicode_FromString("cpu"); });
}
PyObject* get_requires_grad(PyObject* self, void*) {
  return guarded([&] { return PyBool_FromLong(record_of(self).requires_grad); });
}

PyObject* tensor_grad(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::optional<Storage> g = autograd::thread_graph().get_grad(record_of(self));
    if (!g) Py_RETURN_NONE;
    return export_storage(*g);
  });
}

PyObject* tensor_to_numpy(PyObject* self, PyObject*) {
  return guarded([&] { return export_storage(record_of(self).data); });
}

PyObject* tensor_zeros_like(PyObject* self, PyObject*) {
  return guarded([&] { return wrap(ops::zeros_like(record_of(self)), result_type(self)); });
}

PyObject* tensor_ones_like(PyObject* self, PyObject*) {
  return guarded([&] { return wrap(ops::ones_like(record_of(self)), result_type(self)); });
}

PyObject* tensor_reshape(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"shape", nullptr};
    PyObject* shape_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:reshape", const_cast<char**>(kwlist), &shape_obj))
      return nullptr;
    Shape shape;
    if (!arg_shape(shape_obj, "shape", &shape)) return nullptr;
    return wrap_result(ops::reshape(record_of(self), shape), result_type(self));
  });
}

PyObject* tensor_transpose(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"dim0", "dim1", nullptr};
    PyObject *d0_obj = nullptr, *d1_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:transpose", const_cast<char**>(kwlist), &d0_obj,
                                     &d1_obj))
      return nullptr;
    std::size_t d0 = 0, d1 = 0;
    if (!arg_size(d0_obj, "dim0", &d0) || !arg_size(d1_obj, "dim1", &d1)) return nullptr;
    return wrap_result(ops::transpose(record_of(self), d0, d1), result_type(self));
  });
}

PyObject* tensor_backward(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<void> r = autograd::backward(record_of(self));
    if (!r.ok()) return raise(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* tensor_clear_graph(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    autograd::thread_graph().clear();
    Py_RETURN_NONE;
  });
}

// The reflected comparisons, for callers that spell them out.
constexpr char kReqFormat[] = "O:__req__";
constexpr char kRltFormat[] = "O:__rlt__";
constexpr char kRgtFormat[] = "O:__rgt__";

template <engine::CompareOp Op, const char* Format>
PyObject* tensor_reflected_compare(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"other", nullptr};
    PyObject* other = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, Format, const_cast<char**>(kwlist), &other)) return nullptr;
    float s = 0.0f;
    if (!arg_float(other, "other", &s, true)) return nullptr;
    return wrap_result(ops::compare_scalar(Op, record_of(self), s), result_type(self));
  });
}

}  // namespace

PyGetSetDef tensor_getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef tensor_methods[] = {
    {"grad", tensor_grad, METH_NOARGS, "grad($self)\n--\n\n"},
    {"to_numpy", tensor_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"zeros_like", tensor_zeros_like, METH_NOARGS, "zeros_like($self)\n--\n\n"},
    {"ones_like", tensor_ones_like, METH_NOARGS, "ones_like($self)\n--\n\n"},
    {"reshape", as_cfunction(tensor_reshape), METH_VARARGS | METH_KEYWORDS, "reshape($self, shape)\n--\n\n"},
    {"transpose", as_cfunction(tensor_transpose), METH_VARARGS | METH_KEYWORDS,
     "transpose($self, dim0, dim1)\n--\n\n"},
    {"backward", tensor_backward, METH_NOARGS, "backward($self)\n--\n\n"},
    {"clear_graph", tensor_clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
    {"__req__", as_cfunction(tensor_reflected_compare<engine::CompareOp::kEq, kReqFormat>), METH_VARARGS | METH_KEYWORDS,
     "__req__($self, other)\n--\n\n"},
    {"__rlt__", as_cfunction(tensor_reflected_compare<engine::CompareOp::kGt, kRltFormat>), METH_VARARGS | METH_KEYWORDS,
     "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", as_cfunction(tensor_reflected_compare<engine::CompareOp::kLt, kRgtFormat>), METH_VARARGS | METH_KEYWORDS,
     "__rgt__($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarn::binding
