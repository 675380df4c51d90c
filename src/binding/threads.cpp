// The size of the thread pool that large operations share, as private
// entries of quarn_core._functions (the quarn package names them).
#include "binding/threads.hpp"

#include <string>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "runtime/thread_pool.hpp"

namespace quarn::binding {

namespace {

PyObject* set_num_threads(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"n", nullptr};
    PyObject* n_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_num_threads", const_cast<char**>(kwlist), &n_obj))
      return nullptr;
    // A bool is an int to Python, but set_num_threads(True) is a slip.
    if (PyBool_Check(n_obj)) return raise(type_error("set_num_threads expects an int, got bool"));
    std::ptrdiff_t n = 0;
    if (!arg_axis(n_obj, "n", &n)) return nullptr;
    if (n < 1 || static_cast<std::size_t>(n) > kMaxThreads)
      return raise(value_error("set_num_threads expects a number of threads from 1 to " +
                               std::to_string(kMaxThreads) + ", got " + std::to_string(n)));
    quarn::set_num_threads(static_cast<std::size_t>(n));
    Py_RETURN_NONE;
  });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return PyLong_FromSize_t(quarn::num_threads()); });
}

PyMethodDef thread_defs[] = {
    {"set_num_threads", as_cfunction(set_num_threads), METH_VARARGS | METH_KEYWORDS,
     "set_num_threads(n)\n--\n\nSets how many threads one large operation may use (1 to 256), the caller "
     "included."},
    {"get_num_threads", get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\nHow many threads one large operation may use, the caller included."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_thread_functions(PyObject* functions) { return PyModule_AddFunctions(functions, thread_defs); }

}  // namespace quarn::binding
