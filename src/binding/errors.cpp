#include "binding/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quarn::binding {

namespace {
std::atomic<PyObject*> panic_type{nullptr};

PyObject* exception_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kTypeError:
      return PyExc_TypeError;
    case ErrorKind::kValueError:
      return PyExc_ValueError;
    case ErrorKind::kRuntimeError:
      return PyExc_RuntimeError;
    case ErrorKind::kIndexError:
      return PyExc_IndexError;
    case ErrorKind::kPythonError:
      break;
  }
  return nullptr;
}
}  // namespace

PyObject* panic_exception_type() {
  PyObject* t = panic_type.load(std::memory_order_acquire);
  if (t) return t;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "quarn.PanicException",
      "An internal invariant of quarn was broken, or an index was out of range.",
      PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;  // kept for the life of the process
}

PyObject* raise(const Error& error) {
  if (error.kind == ErrorKind::kPythonError) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "internal error: a Python error was expected");
    return nullptr;
  }
  // Built with its length, so a NUL inside a quoted name is kept; lone
  // surrogates from such names travel as surrogate-escaped UTF-8.
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "surrogatepass"));
  if (message) PyErr_SetObject(exception_class(error.kind), message.get());
  return nullptr;
}

void raise_panic(const char* message) {
  // A fault while a fault is being turned into an exception leaves nothing
  // sound to return to.
  static thread_local bool converting = false;
  if (converting) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  converting = true;
  PyObject* type = panic_exception_type();
  if (type) PyErr_SetString(type, message);
  converting = false;
}

bool discard_conversion_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
  PyErr_Clear();
  return true;
}

void add_argument_note(std::string_view parameter) {
  std::string note = "while processing '" + std::string(parameter) + "'";
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyRef r = PyRef::steal(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
  if (!r) PyErr_Clear();
  PyErr_SetRaisedException(exc);
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  PyRef r = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
  if (!r) PyErr_Clear();
  PyErr_Restore(type, value, tb);
#endif
}

}  // namespace quarn::binding
