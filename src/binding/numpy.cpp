#define QUARN_NUMPY_IMPORT_UNIT
#include "binding/numpy.hpp"

#include <atomic>
#include <mutex>
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
// version parser which layout this is. Returns NumPy's API table, or nullptr
// with a Python exception set when numpy itself cannot be imported. This part
// runs Python code, so another thread may run (and get here too) meanwhile.
void** find_numpy_api() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
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
  return table;  // the capsule's module keeps the table alive for good
}

std::atomic<bool> numpy_ready{false};
std::mutex publish_lock;
std::atomic<PyArray_Descr*> bfloat16_descr{nullptr};

// Installs `table` as the API every other file calls through. The API
// pointer and runtime version are plain globals that NumPy's headers declare
// (they cannot be atomics), and readers use them without a lock once
// numpy_ready is set; so they are written only here, only while numpy_ready
// is still false, and by one thread at a time. Without the lock, a thread
// that looked up the table before another thread finished publishing would
// store to the globals while that other thread's callers already read them:
// the same value, but still a data race, and a real one without the GIL.
// Nothing inside the lock calls Python (the three calls are plain C
// functions in NumPy's table), so holding it can never wait for the
// interpreter's own locks and deadlock against them. Returns the reason the
// table is unusable, or nullptr.
const char* publish_numpy_api(void** table) {
  std::lock_guard<std::mutex> hold(publish_lock);
  if (numpy_ready.load(std::memory_order_relaxed)) return nullptr;
  PyArray_API = table;
  if (PyArray_GetNDArrayCVersion() > 0x2000000u)
    return "the NumPy binary interface is newer than this module supports";
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (PyArray_RUNTIME_VERSION < 0xC || PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION)
    return "the NumPy C-API is older than this module supports";
  if (PyArray_GetEndianness() != NPY_CPU_LITTLE) return "NumPy is not little-endian";
  numpy_ready.store(true, std::memory_order_release);
  return nullptr;
}

}  // namespace

// The first calls from several threads may all look the table up: that part
// runs Python code and cannot hold a lock (a thread blocked on it while
// holding the GIL, or while attached to the interpreter, would deadlock
// against the thread that holds it and waits for Python). Only the short
// publication step is serialised.
bool ensure_numpy() {
  if (numpy_ready.load(std::memory_order_acquire)) return true;
  void** table = find_numpy_api();
  if (table == nullptr) return false;
  if (const char* problem = publish_numpy_api(table)) capsule_fault(problem);
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
