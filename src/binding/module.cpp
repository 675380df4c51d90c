// The module: one exported entry point, everything else in the execution
// slot (multi-phase initialisation).
#include "binding/args.hpp"
#include "binding/functions.hpp"
#include "binding/long_work.hpp"
#include "binding/optim.hpp"
#include "binding/protocol.hpp"
#include "binding/tensor_object.hpp"
#include "binding/threads.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::binding {

namespace {

PyObject* relu(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"py_tensor", nullptr};
    PyObject* t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:relu", const_cast<char**>(kwlist), &t)) return nullptr;
    if (!arg_tensor(t, "py_tensor")) return nullptr;
    return wrap_result(ops::relu(record_of(t)), result_type(t));
  });
}

PyMethodDef relu_def = {"relu", as_cfunction(relu),
                        METH_VARARGS | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

// Adds `obj` as attribute `name` and appends the name to __all__ (created
// when missing).
int add_to_module(PyObject* module, const char* name, PyObject* obj) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
    return -1;
  }
  PyRef name_obj = PyRef::steal(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all.get(), name_obj.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, obj);
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_not_instance(module, "module");
    return -1;
  }
  PyTypeObject* type = tensor_type();
  if (type == nullptr) return -1;
  if (add_to_module(module, "Tensor", reinterpret_cast<PyObject*>(type)) < 0) return -1;
  PyRef nn = PyRef::steal(PyModule_New("nn"));
  PyRef functional = PyRef::steal(PyModule_New("functional"));
  if (!nn || !functional) return -1;
  PyRef relu_fn = PyRef::steal(PyCFunction_NewEx(&relu_def, functional.get(), nullptr));
  if (!relu_fn) return -1;
  if (add_to_module(functional.get(), "relu", relu_fn.get()) < 0) return -1;
  if (add_to_module(nn.get(), "functional", functional.get()) < 0) return -1;
  if (add_to_module(module, "nn", nn.get()) < 0) return -1;
  // Reachable for the quarn package, which exports it under its own name;
  // kept out of __all__.
  PyObject* panic = panic_exception_type();
  if (panic == nullptr || PyObject_SetAttrString(module, "_PanicException", panic) < 0) return -1;
  // The operations beyond the operators, for the quarn package to name.
  PyRef functions = PyRef::steal(functions_module());
  if (!functions || add_thread_functions(functions.get()) < 0 || add_optim_functions(functions.get()) < 0 ||
      add_layout_functions(functions.get()) < 0 || add_dlpack_functions(functions.get()) < 0 ||
      PyObject_SetAttrString(module, "_functions", functions.get()) < 0)
    return -1;
  return install_lock_release();
}

int module_exec_guarded(PyObject* module) {
  PyObject* r = guarded([&]() -> PyObject* { return module_exec(module) == 0 ? Py_None : nullptr; });
  return r ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec_guarded)},
#ifdef Py_MOD_GIL_NOT_USED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quarn_core", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quarn::binding

PyMODINIT_FUNC PyInit_quarn_core(void) {
  return PyModuleDef_Init(&quarn::binding::module_def);
}
