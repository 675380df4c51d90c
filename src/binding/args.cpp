#include "binding/args.hpp"

#include <cstring>
#include <limits>

#include "binding/errors.hpp"

namespace quarn::binding {

void raise_not_instance(PyObject* o, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(o)->tp_name, target);
}

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
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
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
