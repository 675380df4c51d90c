// Operations beyond the operators: element maps, reductions, softmax and the
// losses. They live in this extension, beside the graph store they record
// into, as the private submodule quarn_core._functions (the quarn package
// gives them their public names) and, where PyTorch users look for them, as
// Tensor methods.
#include "binding/functions.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "binding/args.hpp"
#include "binding/tensor_object.hpp"
#include "engine/gemm/bf16gemm.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::binding {

namespace {

using MapOp = Result<Tensor> (*)(const Tensor&);

template <MapOp Op>
PyObject* map_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", nullptr};
    PyObject* t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &t)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    return wrap_result(Op(record_of(t)));
  });
}

template <MapOp Op>
PyObject* map_method(PyObject* self, PyObject*) {
  return guarded([&] { return wrap_result(Op(record_of(self))); });
}

using ReduceOp = Result<Tensor> (*)(const Tensor&, const ops::AxisList&, bool);

PyObject* reduce(ReduceOp op, PyObject* t, PyObject* axis, PyObject* keepdims) {
  ops::AxisList axes;
  if (!arg_axes(axis, "axis", &axes)) return nullptr;
  bool keep = false;
  if (keepdims != nullptr && !arg_bool(keepdims, "keepdims", &keep)) return nullptr;
  return wrap_result(op(record_of(t), axes, keep));
}

template <ReduceOp Op>
PyObject* reduce_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "axis", "keepdims", nullptr};
    PyObject *t = nullptr, *axis = nullptr, *keepdims = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char**>(kwlist), &t, &axis, &keepdims))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    return reduce(Op, t, axis, keepdims);
  });
}

template <ReduceOp Op>
PyObject* reduce_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"axis", "keepdims", nullptr};
    PyObject *axis = nullptr, *keepdims = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", const_cast<char**>(kwlist), &axis, &keepdims))
      return nullptr;
    return reduce(Op, self, axis, keepdims);
  });
}

using SoftmaxOp = Result<Tensor> (*)(const Tensor&, std::ptrdiff_t);

template <SoftmaxOp Op>
PyObject* softmax_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "axis", nullptr};
    PyObject *t = nullptr, *axis_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &t, &axis_obj)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    std::ptrdiff_t axis = -1;
    if (axis_obj != nullptr && !arg_axis(axis_obj, "axis", &axis)) return nullptr;
    return wrap_result(Op(record_of(t), axis));
  });
}

PyObject* cross_entropy_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"logits", "targets", nullptr};
    PyObject *logits = nullptr, *targets_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &logits, &targets_obj))
      return nullptr;
    if (!arg_tensor(logits, "logits")) return nullptr;
    std::vector<std::int64_t> targets;
    if (!arg_targets(targets_obj, "targets", &targets)) return nullptr;
    return wrap_result(ops::cross_entropy(record_of(logits), targets));
  });
}

PyObject* mse_loss_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"pred", "target", nullptr};
    PyObject *pred = nullptr, *target = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &pred, &target))
      return nullptr;
    if (!arg_tensor(pred, "pred") || !arg_tensor(target, "target")) return nullptr;
    return wrap_result(ops::mse_loss(record_of(pred), record_of(target)));
  });
}

// Which path bfloat16 products take (engine/gemm/bf16gemm.hpp): "auto",
// "on" or "off". Returns the mode in force before the call; with no
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
                  {"off", gemm::Bf16DotMode::kOff}};
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
        return raise(value_error(std::string("mode must be 'auto', 'on' or 'off', not '") + text + "'"));
      gemm::set_bf16_dot_mode(found->mode);
    }
    return PyUnicode_FromString(before_name);
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef function_defs[] = {
    {"exp", as_cfunction(map_function<ops::exp>), kKeywords, "exp(input)\n--\n\ne to the power of each element."},
    {"log", as_cfunction(map_function<ops::log>), kKeywords, "log(input)\n--\n\nNatural logarithm of each element."},
    {"tanh", as_cfunction(map_function<ops::tanh>), kKeywords, "tanh(input)\n--\n\nHyperbolic tangent of each element."},
    {"sigmoid", as_cfunction(map_function<ops::sigmoid>), kKeywords,
     "sigmoid(input)\n--\n\n1 / (1 + e^-x) of each element."},
    {"sum", as_cfunction(reduce_function<ops::sum>), kKeywords,
     "sum(input, axis=None, keepdims=False)\n--\n\nSum over all elements or the given axes."},
    {"mean", as_cfunction(reduce_function<ops::mean>), kKeywords,
     "mean(input, axis=None, keepdims=False)\n--\n\nMean over all elements or the given axes."},
    {"log_softmax", as_cfunction(softmax_function<ops::log_softmax>), kKeywords,
     "log_softmax(input, axis=-1)\n--\n\nLogarithm of the softmax along an axis."},
    {"softmax", as_cfunction(softmax_function<ops::softmax>), kKeywords,
     "softmax(input, axis=-1)\n--\n\nSoftmax along an axis."},
    {"cross_entropy", as_cfunction(cross_entropy_function), kKeywords,
     "cross_entropy(logits, targets)\n--\n\nMean cross-entropy of [N, C] logits against N class indices."},
    {"mse_loss", as_cfunction(mse_loss_function), kKeywords,
     "mse_loss(pred, target)\n--\n\nMean squared error."},
    {"bf16_dot_mode", as_cfunction(bf16_dot_mode_function), kKeywords,
     "bf16_dot_mode(mode=None)\n--\n\nWhether bfloat16 products use the CPU's dot-product instruction:\n"
     "'auto' (where it is the faster path here), 'on' or 'off'. Returns the previous mode."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef extra_tensor_methods[] = {
    {"exp", map_method<ops::exp>, METH_NOARGS, "exp($self)\n--\n\ne to the power of each element."},
    {"log", map_method<ops::log>, METH_NOARGS, "log($self)\n--\n\nNatural logarithm of each element."},
    {"tanh", map_method<ops::tanh>, METH_NOARGS, "tanh($self)\n--\n\nHyperbolic tangent of each element."},
    {"sigmoid", map_method<ops::sigmoid>, METH_NOARGS, "sigmoid($self)\n--\n\n1 / (1 + e^-x) of each element."},
    {"sum", as_cfunction(reduce_method<ops::sum>), kKeywords,
     "sum($self, axis=None, keepdims=False)\n--\n\nSum over all elements or the given axes."},
    {"mean", as_cfunction(reduce_method<ops::mean>), kKeywords,
     "mean($self, axis=None, keepdims=False)\n--\n\nMean over all elements or the given axes."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* functions_module() {
  PyRef module = PyRef::steal(PyModule_New("quarn_core._functions"));
  if (!module || PyModule_AddFunctions(module.get(), function_defs) < 0) return nullptr;
  return module.release();
}

}  // namespace quarn::binding
