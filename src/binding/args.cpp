#include "binding/args.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "binding/tensor_object.hpp"

namespace quarn::binding {

Error not_instance(PyObject* o, const char* target) {
  // Built by appending: GCC 12 misreads "literal" + std::string&& as a
  // possibly overlapping copy (-Wrestrict) once it is inlined here.
  std::string message = "'";
  message += Py_TYPE(o)->tp_name;
  message += "' object is not an instance of '";
  message += target;
  message += "'";
  return type_error(std::move(message));
}

void raise_not_instance(PyObject* o, const char* target) { raise(not_instance(o, target)); }

namespace {
bool size_of_index(PyObject* o, std::size_t* out) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  std::size_t v = PyLong_AsSize_t(o);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}
}  // namespace

bool arg_size(PyObject* o, const char* parameter, std::size_t* out) {
  if (size_of_index(o, out)) return true;
  add_argument_note(parameter);
  return false;
}

namespace {
bool is_abc_sequence(PyObject* o) {
  PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!abc) return false;
  PyRef seq = PyRef::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!seq) return false;
  int r = PyObject_IsInstance(o, seq.get());
  if (r < 0) discard_conversion_error();
  return r == 1;
}
}  // namespace

bool arg_shape(PyObject* o, const char* parameter, Shape* out) {
  if (PyUnicode_Check(o)) {
    raise(type_error("Can't extract `str` to `Vec`"));
    add_argument_note(parameter);
    return false;
  }
  if (!PySequence_Check(o) && !is_abc_sequence(o)) {
    if (!PyErr_Occurred()) raise_not_instance(o, "Sequence");
    add_argument_note(parameter);
    return false;
  }
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    add_argument_note(parameter);
    return false;
  }
  // No reserve from the length: a sequence may claim any length it likes.
  // A length whose shape could never be stored fails at once instead of
  // after iterating.
  if (static_cast<std::size_t>(n) > std::numeric_limits<std::size_t>::max() / (2 * sizeof(std::size_t))) {
    PyErr_NoMemory();
    add_argument_note(parameter);
    return false;
  }
  out->clear();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(o, i));
    std::size_t v = 0;
    if (!item || !size_of_index(item.get(), &v)) {
      add_argument_note(parameter);
      return false;
    }
    out->push_back(v);
  }
  return true;
}

bool arg_bool(PyObject* o, const char* parameter, bool* out) {
  if (PyBool_Check(o)) {
    *out = (o == Py_True);
    return true;
  }
  // NumPy's boolean scalar (numpy.bool_, named numpy.bool in NumPy 2).
  PyTypeObject* t = Py_TYPE(o);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  if (!module && !discard_conversion_error()) {
    add_argument_note(parameter);
    return false;
  }
  const char* name = t->tp_name;
  const char* dot = std::strrchr(name, '.');
  const char* short_name = dot ? dot + 1 : name;
  if (module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (std::strcmp(short_name, "bool_") == 0 || std::strcmp(short_name, "bool") == 0)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) {
      add_argument_note(parameter);
      return false;
    }
    *out = truth == 1;
    return true;
  }
  raise_not_instance(o, "bool");
  add_argument_note(parameter);
  return false;
}

bool arg_str(PyObject* o, const char* parameter) {
  if (PyUnicode_Check(o)) return true;
  raise_not_instance(o, "str");
  add_argument_note(parameter);
  return false;
}

bool arg_tensor(PyObject* o, const char* parameter) {
  if (is_tensor(o)) return true;
  raise_not_instance(o, "Tensor");
  add_argument_note(parameter);
  return false;
}

bool arg_axis(PyObject* o, const char* parameter, std::ptrdiff_t* out) {
  const Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
  if (v == -1 && PyErr_Occurred()) {
    add_argument_note(parameter);
    return false;
  }
  *out = v;
  return true;
}

bool arg_axes(PyObject* o, const char* parameter, ops::AxisList* out) {
  if (o == nullptr || o == Py_None) {
    out->reset();
    return true;
  }
  std::vector<std::ptrdiff_t> axes;
  if (PyTuple_Check(o) || PyList_Check(o)) {
    PyRef items = PyRef::steal(PySequence_Fast(o, parameter));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::ptrdiff_t axis = 0;
      if (!arg_axis(PySequence_Fast_GET_ITEM(items.get(), i), parameter, &axis)) return false;
      axes.push_back(axis);
    }
  } else {
    std::ptrdiff_t axis = 0;
    if (!arg_axis(o, parameter, &axis)) return false;
    axes.push_back(axis);
  }
  *out = std::move(axes);
  return true;
}

bool arg_targets(PyObject* o, const char* parameter, std::vector<std::int64_t>* out) {
  if (!ensure_numpy()) return false;
  PyRef array = PyRef::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
  if (!array) {
    add_argument_note(parameter);
    return false;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(array.get());
  // No targets at all is an empty batch, whatever element type NumPy gave
  // the empty list.
  if (PyArray_NDIM(arr) == 1 && PyArray_SIZE(arr) == 0) {
    out->clear();
    return true;
  }
  // bool is refused whether it arrives as a bool array or as Python bools
  // mixed with ints, which NumPy would quietly turn into 0 and 1.
  bool has_bool = PyArray_ISBOOL(arr);
  if (!has_bool && !PyArray_Check(o) && PyList_Check(o)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) has_bool |= PyBool_Check(PyList_GET_ITEM(o, i));
  }
  if (has_bool || !PyArray_ISINTEGER(arr) || PyArray_NDIM(arr) != 1) {
    raise(type_error("cross_entropy expects targets as a one-axis array of integer class indices"));
    add_argument_note(parameter);
    return false;
  }
  PyRef cast = PyRef::steal(PyArray_FROM_OTF(array.get(), NPY_INT64, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
  if (!cast) return false;
  auto* c = reinterpret_cast<PyArrayObject*>(cast.get());
  const auto* data = static_cast<const std::int64_t*>(PyArray_DATA(c));
  out->assign(data, data + PyArray_SIZE(c));
  return true;
}

// Round to nearest binary32. Doubles past the largest float's rounding
// boundary become infinities explicitly: the language leaves an out-of-range
// conversion undefined.
float narrow_to_f32(double d) {
  constexpr double kOverflow = 3.4028235677973366e38;  // FLT_MAX + half an ulp
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

bool arg_float(PyObject* o, const char* parameter, float* out, bool keep_error) {
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    if (keep_error) {
      add_argument_note(parameter);
    } else {
      discard_conversion_error();
    }
    return false;
  }
  *out = narrow_to_f32(d);
  return true;
}

}  // namespace quarn::binding
