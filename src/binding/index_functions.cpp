// Indexing and joining in quarn_core._functions: take and concatenate
// (public through the quarn package) and _getitem, the basic indexing
// behind quarn.Tensor.__getitem__, which turns arrays and masks into take.
#include "binding/index_functions.hpp"

#include <cstdint>
#include <vector>

#include "binding/args.hpp"
#include "binding/numpy.hpp"
#include "binding/tensor_object.hpp"
#include "ops/index_ops.hpp"

namespace quarn::binding {

namespace {

using ops::KeyItem;

bool key_item(PyObject* o, KeyItem* out) {
  if (o == Py_None) {
    out->kind = KeyItem::Kind::NewAxis;
    return true;
  }
  if (o == Py_Ellipsis) {
    out->kind = KeyItem::Kind::Ellipsis;
    return true;
  }
  if (PySlice_Check(o)) {
    out->kind = KeyItem::Kind::Slice;
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(o, &start, &stop, &step) < 0) return false;  // ValueError for a zero step
    out->start = start;
    out->stop = stop;
    out->step = step;
    return true;
  }
  // A bool is an int to Python but a mask to NumPy: neither reading is
  // taken silently.
  if (!PyBool_Check(o) && PyIndex_Check(o)) {
    out->kind = KeyItem::Kind::Integer;
    const Py_ssize_t i = PyNumber_AsSsize_t(o, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return false;
    out->index = i;
    return true;
  }
  raise(type_error(std::string("'") + Py_TYPE(o)->tp_name +
                   "' is not a valid index: use integers, slices, None, ... or integer and bool arrays"));
  return false;
}

PyObject* getitem_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *t = nullptr, *key = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_getitem", &t, &key)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    std::vector<KeyItem> items;
    if (PyTuple_Check(key)) {
      items.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(key)));
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i)
        if (!key_item(PyTuple_GET_ITEM(key, i), &items[static_cast<std::size_t>(i)])) return nullptr;
    } else {
      items.resize(1);
      if (!key_item(key, &items[0])) return nullptr;
    }
    return wrap_result(ops::getitem(record_of(t), items), result_type(t));
  });
}

// Integer positions of any shape from anything NumPy makes an integer array
// of (an empty list too); bools and floats are refused.
bool arg_positions(PyObject* o, std::vector<std::int64_t>* out, Shape* shape) {
  if (!ensure_numpy()) return false;
  if (is_tensor(o)) {
    raise(type_error("indices must be integers: a list or NumPy array of them, not a tensor"));
    return false;
  }
  PyRef array = PyRef::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
  if (!array) {
    add_argument_note("indices");
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  const bool empty = PyArray_SIZE(arr) == 0 && !PyArray_ISBOOL(arr);
  if (!empty && (PyArray_ISBOOL(arr) || !PyArray_ISINTEGER(arr))) {
    PyRef name = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) return false;
    raise(type_error(std::string("indices must be integers, not ") + text));
    return false;
  }
  PyRef cast = PyRef::steal(PyArray_FROM_OTF(array.get(), NPY_INT64, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
  if (!cast) return false;
  auto* c = reinterpret_cast<PyArrayObject*>(cast.get());
  shape->clear();
  for (int i = 0; i < PyArray_NDIM(c); ++i) shape->push_back(static_cast<std::size_t>(PyArray_DIMS(c)[i]));
  const auto* data = static_cast<const std::int64_t*>(PyArray_DATA(c));
  out->assign(data, data + PyArray_SIZE(c));
  return true;
}

PyObject* take_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "indices", "axis", nullptr};
    PyObject *t = nullptr, *indices = nullptr, *axis = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(kwlist), &t, &indices, &axis))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    std::vector<std::int64_t> positions;
    Shape shape;
    if (!arg_positions(indices, &positions, &shape)) return nullptr;
    ops::AxisList axes;
    if (!arg_axes(axis, "axis", &axes)) return nullptr;
    return wrap_result(ops::take(record_of(t), positions, shape, axes), result_type(t));
  });
}

PyObject* concatenate_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"tensors", "axis", nullptr};
    PyObject *seq = nullptr, *axis_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &seq, &axis_obj))
      return nullptr;
    if (is_tensor(seq) || !PySequence_Check(seq))
      return raise(type_error("concatenate expects a sequence of tensors (a list or tuple)"));
    PyRef items = PyRef::steal(PySequence_Fast(seq, "concatenate expects a sequence of tensors"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<const Tensor*> parts;
    PyTypeObject* type = tensor_type();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      if (!arg_tensor(item, "tensors")) return nullptr;
      if (result_type(item) != type) type = result_type(item);
      parts.push_back(&record_of(item));
    }
    std::ptrdiff_t axis = 0;
    if (axis_obj != nullptr && !arg_axis(axis_obj, "axis", &axis)) return nullptr;
    return wrap_result(ops::concatenate(parts, axis), type);
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef index_function_defs[] = {
    {"take", as_cfunction(take_function), kKeywords,
     "take(input, indices, axis=None)\n--\n\nThe elements at integer positions (a list or NumPy array of any shape; "
     "negative ones count from the end) along `axis`: the axis is replaced by the positions' axes. With axis=None "
     "the positions count in the flattened tensor; a tuple of adjacent axes takes positions in their flattening."},
    {"concatenate", as_cfunction(concatenate_function), kKeywords,
     "concatenate(tensors, axis=0)\n--\n\nTensors of one dtype and equal extents but along `axis`, joined along it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef index_private_defs[] = {
    {"_getitem", getitem_function, METH_VARARGS,
     "_getitem(input, key)\n--\n\ninput[key] for a key of integers, slices, None and Ellipsis (one of them or a "
     "tuple): a view where the selection is a dense block of the input, a copy otherwise."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarn::binding
