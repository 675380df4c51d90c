#include "binding/nn_functions.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "binding/tensor_object.hpp"
#include "ops/nn_ops.hpp"

namespace quarn::binding {

namespace {

using engine::Reduction;

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

// None, or a tensor.
bool optional_tensor(PyObject* o, const char* parameter, const Tensor** out) {
  *out = nullptr;
  if (o == nullptr || o == Py_None) return true;
  if (!arg_tensor(o, parameter)) return false;
  *out = &record_of(o);
  return true;
}

bool arg_reduction(PyObject* o, Reduction* out) {
  *out = Reduction::kMean;
  if (o == nullptr) return true;
  if (!arg_str(o, "reduction")) return false;
  const char* text = PyUnicode_AsUTF8(o);
  if (text == nullptr) return false;
  if (std::strcmp(text, "mean") == 0) return true;
  if (std::strcmp(text, "sum") == 0) {
    *out = Reduction::kSum;
    return true;
  }
  if (std::strcmp(text, "none") == 0) {
    *out = Reduction::kNone;
    return true;
  }
  raise(value_error(std::string(text) + " is not a valid value for reduction"));
  return false;
}

// A Python int (or __index__) that fits 64 bits, either sign.
bool arg_int64(PyObject* o, const char* parameter, std::int64_t* out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  long long v = index ? PyLong_AsLongLong(index.get()) : -1;
  if (!index || (v == -1 && PyErr_Occurred())) {
    add_argument_note(parameter);
    return false;
  }
  *out = v;
  return true;
}

bool arg_number(PyObject* o, const char* parameter, double* out) {
  if (PyBool_Check(o)) {
    raise_not_instance(o, "float");
    add_argument_note(parameter);
    return false;
  }
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    add_argument_note(parameter);
    return false;
  }
  *out = d;
  return true;
}

// ---- Reductions ----------------------------------------------------------------------

PyObject* reduce_with_ddof(Op op, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "axis", "keepdims", "ddof", "correction", nullptr};
    PyObject *t = nullptr, *axis = nullptr, *keepdims = nullptr, *ddof_obj = nullptr, *correction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$OO", const_cast<char**>(kwlist), &t, &axis, &keepdims,
                                     &ddof_obj, &correction))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    ops::AxisList axes;
    if (!arg_axes(axis, "axis", &axes)) return nullptr;
    bool keep = false;
    if (keepdims != nullptr && !arg_bool(keepdims, "keepdims", &keep)) return nullptr;
    if (ddof_obj != nullptr && ddof_obj != Py_None && correction != nullptr && correction != Py_None)
      return raise(value_error("ddof and correction can't be provided simultaneously."));
    double ddof = 0.0;
    if (ddof_obj != nullptr && ddof_obj != Py_None && !arg_number(ddof_obj, "ddof", &ddof)) return nullptr;
    if (correction != nullptr && correction != Py_None && !arg_number(correction, "correction", &ddof)) return nullptr;
    return wrap_result(ops::statistic(op, record_of(t), axes, keep, ddof), result_type(t));
  });
}

PyObject* var_function(PyObject*, PyObject* args, PyObject* kwargs) { return reduce_with_ddof(Op::var, args, kwargs); }
PyObject* std_function(PyObject*, PyObject* args, PyObject* kwargs) { return reduce_with_ddof(Op::std, args, kwargs); }

template <Op op>
PyObject* logic_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "axis", "keepdims", nullptr};
    PyObject *t = nullptr, *axis = nullptr, *keepdims = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char**>(kwlist), &t, &axis, &keepdims))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    ops::AxisList axes;
    if (!arg_axes(axis, "axis", &axes)) return nullptr;
    bool keep = false;
    if (keepdims != nullptr && !arg_bool(keepdims, "keepdims", &keep)) return nullptr;
    return wrap_result(ops::statistic(op, record_of(t), axes, keep, 0.0), result_type(t));
  });
}

// ---- Losses ------------------------------------------------------------------------------

// Targets of 2^63 and more, given as uint64, reach the front end as
// negative int64s (NumPy's cast wraps them); named as given instead, where
// the front end would refuse the first out-of-bounds target. nullopt when
// the targets are not unsigned or the front end refuses something first.
std::optional<Error> unsigned_target_error(Op op, PyObject* targets_obj, const Tensor& scores,
                                           const std::vector<std::int64_t>& targets) {
  PyRef array = PyRef::steal(PyArray_FromAny(targets_obj, nullptr, 0, 0, 0, nullptr));
  if (!array || !PyArray_ISUNSIGNED(reinterpret_cast<PyArrayObject*>(array.get()))) return std::nullopt;
  const Shape& shape = scores.data.shape();
  if (unsupported_dtype(op, scores.data.dtype()) || shape.size() != 2 || targets.size() != shape[0])
    return std::nullopt;
  for (std::int64_t t : targets) {
    const auto value = static_cast<std::uint64_t>(t);  // the wrap undone
    if (value >= shape[1])
      return index_error("Target " + std::to_string(value) + " is out of bounds for " + std::to_string(shape[1]) +
                         " classes.");
  }
  return std::nullopt;
}

// Index targets (anything NumPy makes a one-axis integer array of) or, for
// cross_entropy, a tensor of class probabilities.
PyObject* class_loss(Op op, PyObject* input, PyObject* target, PyObject* weight, PyObject* ignore_index,
                     PyObject* reduction, PyObject* smoothing) {
  const char* scores_name = op == Op::nll_loss ? "input" : "logits";
  if (!arg_tensor(input, scores_name)) return nullptr;
  ops::ClassLossArgs a;
  if (op == Op::cross_entropy && is_tensor(target)) {
    a.probabilities = &record_of(target);
  } else if (!arg_targets(target, "targets", &a.labels)) {
    // The shared conversion words its refusal for cross_entropy.
    if (op == Op::nll_loss && PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise(type_error("nll_loss expects target as a one-axis array of integer class indices"));
      add_argument_note("target");
    }
    return nullptr;
  } else if (std::any_of(a.labels.begin(), a.labels.end(), [](std::int64_t t) { return t < 0; })) {
    std::optional<Error> huge = unsigned_target_error(op, target, record_of(input), a.labels);
    if (PyErr_Occurred()) return nullptr;
    if (huge) return raise(*huge);
  }
  if (!optional_tensor(weight, "weight", &a.weight)) return nullptr;
  if (ignore_index != nullptr && !arg_int64(ignore_index, "ignore_index", &a.ignore_index)) return nullptr;
  if (!arg_reduction(reduction, &a.reduction)) return nullptr;
  if (smoothing != nullptr && !arg_float(smoothing, "label_smoothing", &a.smoothing, true)) return nullptr;
  const Tensor& scores = record_of(input);
  // The row's own mean path keeps its bits for the plain call.
  const bool plain = op == Op::cross_entropy && a.probabilities == nullptr && a.weight == nullptr &&
                     a.smoothing == 0.0f && a.reduction == Reduction::kMean &&
                     std::find(a.labels.begin(), a.labels.end(), a.ignore_index) == a.labels.end();
  if (plain) return wrap_result(ops::cross_entropy(scores, a.labels), result_type(input));
  return wrap_result(ops::class_loss(op, scores, a), result_type(input, a.probabilities != nullptr ? target : nullptr));
}

PyObject* cross_entropy_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"logits", "targets", "weight", "ignore_index", "reduction", "label_smoothing",
                                   nullptr};
    PyObject *input = nullptr, *target = nullptr, *weight = nullptr, *ignore = nullptr, *reduction = nullptr,
             *smoothing = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOO", const_cast<char**>(kwlist), &input, &target, &weight,
                                     &ignore, &reduction, &smoothing))
      return nullptr;
    return class_loss(Op::cross_entropy, input, target, weight, ignore, reduction, smoothing);
  });
}

PyObject* nll_loss_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "target", "weight", "ignore_index", "reduction", nullptr};
    PyObject *input = nullptr, *target = nullptr, *weight = nullptr, *ignore = nullptr, *reduction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO", const_cast<char**>(kwlist), &input, &target, &weight,
                                     &ignore, &reduction))
      return nullptr;
    return class_loss(Op::nll_loss, input, target, weight, ignore, reduction, nullptr);
  });
}

PyObject* point_loss(Op op, PyObject* input, PyObject* target, PyObject* weight, PyObject* pos_weight,
                     PyObject* reduction, PyObject* param, const char* param_name) {
  const bool mse = op == Op::mse_loss;
  if (!arg_tensor(input, mse ? "pred" : "input") || !arg_tensor(target, "target")) return nullptr;
  const Tensor *w = nullptr, *pw = nullptr;
  if (!optional_tensor(weight, "weight", &w) || !optional_tensor(pos_weight, "pos_weight", &pw)) return nullptr;
  Reduction r = Reduction::kMean;
  if (!arg_reduction(reduction, &r)) return nullptr;
  float p = 1.0f;
  if (param != nullptr && !arg_float(param, param_name, &p, true)) return nullptr;
  const Tensor& a = record_of(input);
  const Tensor& b = record_of(target);
  if (mse && r == Reduction::kMean) return wrap_result(ops::mse_loss(a, b), result_type(input, target));
  return wrap_result(ops::point_loss(op, a, b, w, pw, p, r), result_type(input, target));
}

PyObject* mse_loss_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"pred", "target", "reduction", nullptr};
    PyObject *input = nullptr, *target = nullptr, *reduction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(kwlist), &input, &target, &reduction))
      return nullptr;
    return point_loss(Op::mse_loss, input, target, nullptr, nullptr, reduction, nullptr, "");
  });
}

template <Op op>
PyObject* plain_loss_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "target", "reduction", nullptr};
    PyObject *input = nullptr, *target = nullptr, *reduction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(kwlist), &input, &target, &reduction))
      return nullptr;
    return point_loss(op, input, target, nullptr, nullptr, reduction, nullptr, "");
  });
}

template <Op op>
PyObject* threshold_loss_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* param_name = op == Op::huber_loss ? "delta" : "beta";
    static const char* kwlist[] = {"input", "target", "reduction", param_name, nullptr};
    PyObject *input = nullptr, *target = nullptr, *reduction = nullptr, *param = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO", const_cast<char**>(kwlist), &input, &target, &reduction,
                                     &param))
      return nullptr;
    return point_loss(op, input, target, nullptr, nullptr, reduction, param, param_name);
  });
}

PyObject* bce_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "target", "weight", "reduction", nullptr};
    PyObject *input = nullptr, *target = nullptr, *weight = nullptr, *reduction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO", const_cast<char**>(kwlist), &input, &target, &weight,
                                     &reduction))
      return nullptr;
    return point_loss(Op::binary_cross_entropy, input, target, weight, nullptr, reduction, nullptr, "");
  });
}

PyObject* bce_logits_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "target", "weight", "pos_weight", "reduction", nullptr};
    PyObject *input = nullptr, *target = nullptr, *weight = nullptr, *pos_weight = nullptr, *reduction = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO", const_cast<char**>(kwlist), &input, &target, &weight,
                                     &pos_weight, &reduction))
      return nullptr;
    return point_loss(Op::binary_cross_entropy_with_logits, input, target, weight, pos_weight, reduction, nullptr, "");
  });
}

// ---- Normalisation and padding ---------------------------------------------------------------

PyObject* layer_norm_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "normalized_shape", "weight", "bias", "eps", nullptr};
    PyObject *input = nullptr, *shape_obj = nullptr, *weight = nullptr, *bias = nullptr, *eps_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOO", const_cast<char**>(kwlist), &input, &shape_obj, &weight,
                                     &bias, &eps_obj))
      return nullptr;
    if (!arg_tensor(input, "input")) return nullptr;
    Shape shape;
    if (PyIndex_Check(shape_obj)) {
      std::size_t n = 0;
      if (!arg_size(shape_obj, "normalized_shape", &n)) return nullptr;
      shape.push_back(n);
    } else if (!arg_shape(shape_obj, "normalized_shape", &shape)) {
      return nullptr;
    }
    const Tensor *w = nullptr, *b = nullptr;
    if (!optional_tensor(weight, "weight", &w) || !optional_tensor(bias, "bias", &b)) return nullptr;
    float eps = 1e-5f;
    if (eps_obj != nullptr && !arg_float(eps_obj, "eps", &eps, true)) return nullptr;
    return wrap_result(ops::layer_norm(record_of(input), shape, w, b, eps), result_type(input, weight != nullptr && weight != Py_None ? weight : nullptr));
  });
}

PyObject* pad_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "pad", "mode", "value", nullptr};
    PyObject *input = nullptr, *pad_obj = nullptr, *mode_obj = nullptr, *value_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO", const_cast<char**>(kwlist), &input, &pad_obj, &mode_obj,
                                     &value_obj))
      return nullptr;
    if (!arg_tensor(input, "input")) return nullptr;
    if (PyUnicode_Check(pad_obj) || !PySequence_Check(pad_obj)) {
      raise_not_instance(pad_obj, "Sequence");
      add_argument_note("pad");
      return nullptr;
    }
    PyRef items = PyRef::steal(PySequence_Fast(pad_obj, "pad must be a sequence of int"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (static_cast<std::size_t>(n) > 2 * record_of(input).data.ndim() + 2)
      return raise(value_error("Padding length should be less than or equal to two times the input dimension but "
                               "got padding length " + std::to_string(n) + " and input of dimension " +
                               std::to_string(record_of(input).data.ndim())));
    std::vector<std::int64_t> pads(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!arg_int64(PySequence_Fast_GET_ITEM(items.get(), i), "pad", &pads[static_cast<std::size_t>(i)]))
        return nullptr;
    engine::PadMode mode = engine::PadMode::kConstant;
    if (mode_obj != nullptr) {
      if (!arg_str(mode_obj, "mode")) return nullptr;
      const char* text = PyUnicode_AsUTF8(mode_obj);
      if (text == nullptr) return nullptr;
      if (std::strcmp(text, "reflect") == 0) {
        mode = engine::PadMode::kReflect;
      } else if (std::strcmp(text, "replicate") == 0) {
        mode = engine::PadMode::kReplicate;
      } else if (std::strcmp(text, "constant") != 0) {
        return raise(value_error(std::string("pad mode must be 'constant', 'reflect' or 'replicate', not '") + text +
                                 "'"));
      }
    }
    float value = 0.0f;
    if (value_obj != nullptr && value_obj != Py_None && !arg_float(value_obj, "value", &value, true)) return nullptr;
    return wrap_result(ops::pad(record_of(input), pads, mode, value), result_type(input));
  });
}

}  // namespace

PyMethodDef nn_function_defs[] = {
    {"var", as_cfunction(var_function), kKeywords,
     "var(input, axis=None, keepdims=False, *, ddof=None, correction=None)\n--\n\n"
     "Variance over all elements or the given axes: the mean squared deviation times n / (n - ddof). ddof\n"
     "(NumPy's name) or correction (PyTorch's) defaults to 0, as NumPy's var does."},
    {"std", as_cfunction(std_function), kKeywords,
     "std(input, axis=None, keepdims=False, *, ddof=None, correction=None)\n--\n\n"
     "Standard deviation over all elements or the given axes: sqrt(var(input, axis, keepdims, ddof=ddof))."},
    {"any", as_cfunction(logic_function<Op::any>), kKeywords,
     "any(input, axis=None, keepdims=False)\n--\n\nWhether any element is true (nonzero, NaN included) over all "
     "elements or the given axes, as a bool tensor; never recorded."},
    {"all", as_cfunction(logic_function<Op::all>), kKeywords,
     "all(input, axis=None, keepdims=False)\n--\n\nWhether every element is true (nonzero, NaN included) over all "
     "elements or the given axes, as a bool tensor; never recorded."},
    {"cross_entropy", as_cfunction(cross_entropy_function), kKeywords,
     "cross_entropy(logits, targets, weight=None, ignore_index=-100, reduction='mean', label_smoothing=0.0)\n--\n\n"
     "Cross-entropy of [N, C] logits against N class indices or a [N, C] tensor of class probabilities."},
    {"mse_loss", as_cfunction(mse_loss_function), kKeywords,
     "mse_loss(pred, target, reduction='mean')\n--\n\nSquared error of pred and target of the same shape."},
    {"nll_loss", as_cfunction(nll_loss_function), kKeywords,
     "nll_loss(input, target, weight=None, ignore_index=-100, reduction='mean')\n--\n\n"
     "Negative log-likelihood of [N, C] log-probabilities against N class indices."},
    {"binary_cross_entropy", as_cfunction(bce_function), kKeywords,
     "binary_cross_entropy(input, target, weight=None, reduction='mean')\n--\n\n"
     "Binary cross-entropy of probabilities in [0, 1] against targets; each logarithm is clamped at -100."},
    {"binary_cross_entropy_with_logits", as_cfunction(bce_logits_function), kKeywords,
     "binary_cross_entropy_with_logits(input, target, weight=None, pos_weight=None, reduction='mean')\n--\n\n"
     "Binary cross-entropy of logits against targets, finite for logits of any size."},
    {"l1_loss", as_cfunction(plain_loss_function<Op::l1_loss>), kKeywords,
     "l1_loss(input, target, reduction='mean')\n--\n\nAbsolute error."},
    {"smooth_l1_loss", as_cfunction(threshold_loss_function<Op::smooth_l1_loss>), kKeywords,
     "smooth_l1_loss(input, target, reduction='mean', beta=1.0)\n--\n\n"
     "0.5 d^2 / beta where |d| < beta, else |d| - 0.5 beta, with d = input - target."},
    {"huber_loss", as_cfunction(threshold_loss_function<Op::huber_loss>), kKeywords,
     "huber_loss(input, target, reduction='mean', delta=1.0)\n--\n\n"
     "0.5 d^2 where |d| < delta, else delta (|d| - 0.5 delta), with d = input - target."},
    {"layer_norm", as_cfunction(layer_norm_function), kKeywords,
     "layer_norm(input, normalized_shape, weight=None, bias=None, eps=1e-05)\n--\n\n"
     "(x - mean) / sqrt(var + eps) * weight + bias over the trailing axes given by normalized_shape."},
    {"pad", as_cfunction(pad_function), kKeywords,
     "pad(input, pad, mode='constant', value=0.0)\n--\n\n"
     "Pads the last len(pad) // 2 axes, last axis first: (left, right, top, bottom, ...). mode is 'constant',\n"
     "'reflect' (mirrored without the edge) or 'replicate' (the edge repeated)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarn::binding
