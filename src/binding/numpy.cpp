#define QUARN_NUMPY_IMPORT_UNIT
#include "binding/numpy.hpp"

#include <atomic>
#include <string>

#include "runtime/fault.hpp"

namespace quarn::binding {

namespace {

constexpr char kCapsuleFault[] = "Failed to access NumPy array API capsule";

[[noreturn]] void capsule_fault(const std::string& why) {
  PyErr_Clear();
  fault(std::string(kCapsuleFault) + ": " + why);
}

// NumPy 2 moved its C modules from numpy.core to numpy._core; ask NumPy's own
// version parser which layout this is.
bool bind_numpy_api() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef lib = PyRef::steal(PyObject_GetAttrString(numpy.get(), "lib"));
  if (!version || !lib) capsule_fault("numpy.__version__ or numpy.lib is missing");
  PyRef parser = PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  if (!parser) capsule_fault("numpy.lib.NumpyVersion is missing");
  PyRef parsed = PyRef::steal(PyObject_CallOneArg(parser.get(), version.get()));
  if (!parsed) capsule_fault("cannot parse numpy.__version__");
  PyRef major_obj = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  long major = major_obj ? PyLong_AsLong(major_obj.get()) : -1;
  if (major < 0) capsule_fault("cannot read the NumPy major version");

  const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) capsule_fault(std::string("cannot import ") + module_name);
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) capsule_fault("_ARRAY_API is not a capsule");
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) capsule_fault("_ARRAY_API is a null pointer");

  PyArray_API = table;
  if (PyArray_GetNDArrayCVersion() > 0x2000000u)
    capsule_fault("the NumPy binary interface is newer than this module supports");
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (PyArray_RUNTIME_VERSION < 0xC || PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION)
    capsule_fault("the NumPy C-API is older than this module supports");
  if (PyArray_GetEndianness() != NPY_CPU_LITTLE) capsule_fault("NumPy is not little-endian");
  return true;
}

std::atomic<bool> numpy_ready{false};
std::atomic<PyArray_Descr*> bfloat16_descr{nullptr};

}  // namespace

// Binding twice is harmless (both threads store the same table), so the first
// calls may race instead of holding a lock across calls into Python, which
// could deadlock against the interpreter's own locks.
bool ensure_numpy() {
  if (numpy_ready.load(std::memory_order_acquire)) return true;
  if (!bind_numpy_api()) return false;
  numpy_ready.store(true, std::memory_order_release);
  return true;
}

PyArray_Descr* find_numpy_descr(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return PyArray_DescrFromType(NPY_FLOAT32);
    case DType::F16:
      return PyArray_DescrFromType(NPY_FLOAT16);
    case DType::Bool:
      return PyArray_DescrFromType(NPY_BOOL);
    case DType::BF16:
      break;
  }
  PyArray_Descr* d = bfloat16_descr.load(std::memory_order_acquire);
  if (d == nullptr) {
    // Only a success is remembered: a program may import the package that
    // registers bfloat16 after a first failed attempt.
    PyRef name = PyRef::steal(PyUnicode_FromString("bfloat16"));
    PyArray_Descr* found = nullptr;
    if (!name || !PyArray_DescrConverter(name.get(), &found) || found == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    PyArray_Descr* expected = nullptr;
    if (!bfloat16_descr.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) {
      Py_DECREF(found);  // another thread won; keep one process-wide descriptor
    }
    d = bfloat16_descr.load(std::memory_order_acquire);
  }
  Py_INCREF(d);
  return d;
}

PyArray_Descr* numpy_descr(DType dtype) {
  PyArray_Descr* d = find_numpy_descr(dtype);
  if (d == nullptr)
    fault(
        "exporting bfloat16 data needs a package that provides a `bfloat16` data type for "
        "NumPy (import ml_dtypes first)");
  return d;
}

}  // namespace quarn::binding
