// The operation table's functions, bound as the private submodule
// quarn_core._functions (the quarn package gives them their public names)
// and, for the few that PyTorch users call as methods, as Tensor methods.
// Every Map, Reduction and Row operation of the table gets its function
// here from its row alone; `operations` describes every row for the test
// suite, which checks each against its models.
#include "binding/functions.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>

#include "binding/args.hpp"
#include "binding/elementwise_functions.hpp"
#include "binding/conv_functions.hpp"
#include "binding/index_functions.hpp"
#include "binding/nn_functions.hpp"
#include "binding/numpy.hpp"
#include "binding/tensor_object.hpp"
#include "engine/gemm/bf16gemm.hpp"
#include "engine/gemm/bf16gemm_amx.hpp"
#include "ops/layout_ops.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::binding {

namespace {

template <Op op>
PyObject* map_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", nullptr};
    PyObject* t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &t)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    return wrap_result(ops::map(op, record_of(t)), result_type(t));
  });
}

template <Op op>
PyObject* map_method(PyObject* self, PyObject*) {
  return guarded([&] { return wrap_result(ops::map(op, record_of(self)), result_type(self)); });
}

PyObject* reduce(Op op, PyObject* t, PyObject* axis, PyObject* keepdims) {
  ops::AxisList axes;
  if (!arg_axes(axis, "axis", &axes)) return nullptr;
  bool keep = false;
  if (keepdims != nullptr && !arg_bool(keepdims, "keepdims", &keep)) return nullptr;
  PyTypeObject* type = result_type(t);
  // quarn.Tensor counts: the sum and mean of a bool tensor are float32, as
  // in NumPy; quarn_core.Tensor keeps refusing bool.
  if ((op == Op::sum || op == Op::mean) && record_of(t).data.dtype() == DType::Bool && type != tensor_type()) {
    Result<Tensor> counted = ops::cast(record_of(t), DType::F32);
    if (!counted.ok()) return raise(counted.error());
    return wrap_result(ops::reduce(op, counted.value(), axes, keep), type);
  }
  return wrap_result(ops::reduce(op, record_of(t), axes, keep), type);
}

template <Op op>
PyObject* reduce_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "axis", "keepdims", nullptr};
    PyObject *t = nullptr, *axis = nullptr, *keepdims = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char**>(kwlist), &t, &axis, &keepdims))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    return reduce(op, t, axis, keepdims);
  });
}

template <Op op>
PyObject* reduce_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"axis", "keepdims", nullptr};
    PyObject *axis = nullptr, *keepdims = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char**>(kwlist), &axis, &keepdims))
      return nullptr;
    return reduce(op, self, axis, keepdims);
  });
}

template <Op op>
PyObject* row_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "axis", nullptr};
    PyObject *t = nullptr, *axis_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &t, &axis_obj)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    std::ptrdiff_t axis = -1;
    if (axis_obj != nullptr && !arg_axis(axis_obj, "axis", &axis)) return nullptr;
    return wrap_result(ops::along_axis(op, record_of(t), axis), result_type(t));
  });
}

// Which path bfloat16 products take (engine/gemm/bf16gemm.hpp): "auto",
// "on", "off" or "amx". Returns the mode in force before the call; with no
// argument, only reports it. For benchmarks and tests that hold the two
// paths against each other.
PyObject* bf16_dot_mode_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"mode", nullptr};
    PyObject* mode = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kwlist), &mode))
      return nullptr;
    static constexpr struct {
      const char* name;
      gemm::Bf16DotMode mode;
    } kModes[] = {{"auto", gemm::Bf16DotMode::kAuto},
                  {"on", gemm::Bf16DotMode::kOn},
                  {"off", gemm::Bf16DotMode::kOff},
                  {"amx", gemm::Bf16DotMode::kAmx}};
    const gemm::Bf16DotMode before = gemm::bf16_dot_mode();
    const char* before_name = "auto";
    for (const auto& m : kModes)
      if (m.mode == before) before_name = m.name;
    if (mode != nullptr) {
      if (!arg_str(mode, "mode")) return nullptr;
      const char* text = PyUnicode_AsUTF8(mode);
      if (text == nullptr) return nullptr;
      const auto* found = std::find_if(std::begin(kModes), std::end(kModes),
                                       [text](const auto& m) { return std::strcmp(m.name, text) == 0; });
      if (found == std::end(kModes))
        return raise(value_error(std::string("mode must be 'auto', 'on', 'off' or 'amx', not '") + text + "'"));
      // Refused here rather than served some other way later: whoever asks
      // for the tile unit is measuring it or relying on it.
      if (found->mode == gemm::Bf16DotMode::kAmx)
        if (const char* refusal = gemm::amx_bf16_refusal(); refusal != nullptr)
          return raise(runtime_error(std::string("bf16_dot_mode('amx'): ") + refusal));
      gemm::set_bf16_dot_mode(found->mode);
    }
    return PyUnicode_FromString(before_name);
  });
}

// Makes `cls`, a subclass of quarn._TensorBase that adds no fields, the type
// of every result that has an operand other than a plain quarn_core.Tensor.
PyObject* register_tensor_type_function(PyObject*, PyObject* cls) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* base = tensor_base_type();
    if (base == nullptr) return nullptr;
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), base))
      return raise(type_error("expected a subclass of quarn._TensorBase"));
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_basicsize != base->tp_basicsize || type->tp_dictoffset != 0)
      return raise(type_error("a tensor type may add no fields: give it __slots__ = ()"));
    set_user_type(type);
    Py_RETURN_NONE;
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

// clang-format off
#define QUARN_MAP_DEF(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  {#name, as_cfunction(map_function<Op::name>), kKeywords, #name "(input)\n--\n\n" doc},
#define QUARN_REDUCTION_DEF(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  {#name, as_cfunction(reduce_function<Op::name>), kKeywords, \
   #name "(input, axis=None, keepdims=False)\n--\n\n" doc " Negative axes count from the end."},
#define QUARN_ROW_DEF(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  {#name, as_cfunction(row_function<Op::name>), kKeywords, #name "(input, axis=-1)\n--\n\n" doc},
// clang-format on

PyMethodDef function_defs[] = {
    QUARN_MAPS(QUARN_MAP_DEF)
    QUARN_REDUCTIONS(QUARN_REDUCTION_DEF)
    QUARN_ROW_OPERATIONS(QUARN_ROW_DEF)
    {nullptr, nullptr, 0, nullptr},
};

#undef QUARN_MAP_DEF
#undef QUARN_REDUCTION_DEF
#undef QUARN_ROW_DEF

// Settings of the engine rather than operations: in the submodule, but not in
// its __all__, which lists the operation table's functions.
PyMethodDef setting_defs[] = {
    {"_register_tensor_type", register_tensor_type_function, METH_O,
     "_register_tensor_type(cls)\n--\n\nThe type of results with any operand other than a plain "
     "quarn_core.Tensor."},
    {"bf16_dot_mode", as_cfunction(bf16_dot_mode_function), kKeywords,
     "bf16_dot_mode(mode=None)\n--\n\nWhether bfloat16 products use the CPU's dot-product instruction:\n"
     "'auto' (where it is the faster path here), 'on', 'off', or 'amx' (the AMX tile unit, not\n"
     "bit-identical to the float32 path; RuntimeError where there is none or the OS refuses it).\n"
     "Returns the previous mode."},
    {nullptr, nullptr, 0, nullptr},
};

const char* name_of(Family f) {
  switch (f) {
    case Family::Node: return "Node";
    case Family::Operator: return "Operator";
    case Family::Scalar: return "Scalar";
    case Family::Shape: return "Shape";
    case Family::Map: return "Map";
    case Family::Reduction: return "Reduction";
    case Family::Row: return "Row";
    case Family::Loss: return "Loss";
    case Family::Untracked: return "Untracked";
    case Family::ParamMap: return "ParamMap";
    case Family::Pairwise: return "Pairwise";
    case Family::Select: return "Select";
    case Family::Item: return "Item";
    case Family::Index: return "Index";
    case Family::Join: return "Join";
    case Family::Convolution: return "Convolution";
    case Family::Bias: return "Bias";
    case Family::Pooling: return "Pooling";
    case Family::Layout: return "Layout";
    case Family::Layer: return "Layer";
  }
  return "?";
}
const char* name_of(Order o) {
  switch (o) {
    case Order::Recorded: return "Recorded";
    case Order::Checked: return "Checked";
    case Order::Never: return "Never";
  }
  return "?";
}
const char* name_of(Dtypes d) {
  switch (d) {
    case Dtypes::Float: return "Float";
    case Dtypes::Any: return "Any";
    case Dtypes::Bool: return "Bool";
  }
  return "?";
}
const char* name_of(Compute c) {
  switch (c) {
    case Compute::Pattern: return "Pattern";
    case Compute::Stepwise: return "Stepwise";
    case Compute::Widen: return "Widen";
    case Compute::Own: return "Own";
  }
  return "?";
}
const char* name_of(Saves s) {
  switch (s) {
    case Saves::Nothing: return "Nothing";
    case Saves::Input: return "Input";
    case Saves::Result: return "Result";
    case Saves::Operands: return "Operands";
  }
  return "?";
}

PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// One dict per operation of the table (leaves and constants left out).
PyObject* describe_operations() {
  PyRef rows = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kOpCount - 2)));
  if (!rows) return nullptr;
  for (std::size_t i = 2; i < kOpCount; ++i) {
    const OperationInfo& op = kOperations[i];
    PyRef row = PyRef::steal(Py_BuildValue("{s:N,s:s,s:s,s:s,s:s,s:s,s:N,s:N}", "name", text(op.name), "family",
                                           name_of(op.family), "order", name_of(op.order), "dtypes",
                                           name_of(op.dtypes), "compute", name_of(op.compute), "saves",
                                           name_of(op.saves), "rule", text(op.rule), "doc", text(op.doc)));
    if (!row) return nullptr;
    PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i - 2), row.release());
  }
  return rows.release();
}

}  // namespace

PyMethodDef extra_tensor_methods[] = {
    {"exp", map_method<Op::exp>, METH_NOARGS, "exp($self)\n--\n\ne to the power of each element."},
    {"log", map_method<Op::log>, METH_NOARGS, "log($self)\n--\n\nNatural logarithm of each element."},
    {"tanh", map_method<Op::tanh>, METH_NOARGS, "tanh($self)\n--\n\nHyperbolic tangent of each element."},
    {"sigmoid", map_method<Op::sigmoid>, METH_NOARGS, "sigmoid($self)\n--\n\n1 / (1 + e^-x) of each element."},
    {"sum", as_cfunction(reduce_method<Op::sum>), kKeywords,
     "sum($self, axis=None, keepdims=False)\n--\n\nSum over all elements or the given axes."},
    {"mean", as_cfunction(reduce_method<Op::mean>), kKeywords,
     "mean($self, axis=None, keepdims=False)\n--\n\nMean over all elements or the given axes."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* functions_module() {
  PyRef module = PyRef::steal(PyModule_New("quarn_core._functions"));
  if (!module || PyModule_AddFunctions(module.get(), function_defs) < 0 ||
      PyModule_AddFunctions(module.get(), elementwise_function_defs) < 0 ||
      PyModule_AddFunctions(module.get(), setting_defs) < 0 ||
      PyModule_AddFunctions(module.get(), conv_function_defs) < 0 ||
      PyModule_AddFunctions(module.get(), nn_function_defs) < 0)
    return nullptr;
  if (PyModule_AddFunctions(module.get(), index_function_defs) < 0 ||
      PyModule_AddFunctions(module.get(), index_private_defs) < 0)
    return nullptr;
  // Every function above, for `from quarn_core._functions import *`.
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all) return nullptr;
  for (const PyMethodDef* defs : {function_defs, conv_function_defs, nn_function_defs, elementwise_function_defs}) {
    for (const PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
      PyRef name = PyRef::steal(PyUnicode_FromString(def->ml_name));
      if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
  }
  for (const PyMethodDef* def = index_function_defs; def->ml_name != nullptr; ++def) {
    PyRef name = PyRef::steal(PyUnicode_FromString(def->ml_name));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  PyTypeObject* base = tensor_base_type();
  if (base == nullptr || PyModule_AddObjectRef(module.get(), "_TensorBase", reinterpret_cast<PyObject*>(base)) < 0)
    return nullptr;
  PyRef operations = PyRef::steal(describe_operations());
  if (!operations || PyModule_AddObjectRef(module.get(), "operations", operations.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace quarn::binding
