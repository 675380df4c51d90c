// The functions of the maps with numbers (activations, clip, pow with a
// number), the two-tensor maps and where, in quarn_core._functions beside
// the generated ones. Numbers are Python's float conversion narrowed to
// binary32; a number where a tensor may stand becomes a tensor of the other
// operand's dtype, as if written with it.
#include "binding/elementwise_functions.hpp"

#include <cstring>
#include <string>

#include "binding/args.hpp"
#include "binding/tensor_object.hpp"
#include "engine/elementwise/map.hpp"
#include "ops/elementwise_ops.hpp"

namespace quarn::binding {

namespace {

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

bool optional_float(PyObject* o, const char* parameter, float* out) {
  return o == nullptr || arg_float(o, parameter, out, true);
}

template <Op op>
PyObject* finish(PyObject* t, float first, float second) {
  return wrap_result(ops::param_map(op, record_of(t), first, second), result_type(t));
}

PyObject* gelu_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "approximate", nullptr};
    PyObject *t = nullptr, *approximate = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &t, &approximate))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    float form = 0.0f;
    if (approximate != nullptr) {
      if (!arg_str(approximate, "approximate")) return nullptr;
      const char* text = PyUnicode_AsUTF8(approximate);
      if (text == nullptr) return nullptr;
      if (std::strcmp(text, "tanh") == 0) {
        form = 1.0f;
      } else if (std::strcmp(text, "none") != 0) {
        return raise(value_error(std::string("approximate must be 'none' or 'tanh', not '") + text + "'"));
      }
    }
    return finish<Op::gelu>(t, form, 0.0f);
  });
}

// f(input, name=default): one number.
template <Op op>
PyObject* one_number_function(PyObject* args, PyObject* kwargs, const char* name, float value) {
  return guarded([&]() -> PyObject* {
    const char* kwlist[] = {"input", name, nullptr};
    PyObject *t = nullptr, *number = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &t, &number)) return nullptr;
    if (!arg_tensor(t, "input") || !optional_float(number, name, &value)) return nullptr;
    return finish<op>(t, value, 0.0f);
  });
}

PyObject* leaky_relu_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return one_number_function<Op::leaky_relu>(args, kwargs, "negative_slope", 0.01f);
}
PyObject* elu_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return one_number_function<Op::elu>(args, kwargs, "alpha", 1.0f);
}

PyObject* softplus_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "beta", "threshold", nullptr};
    PyObject *t = nullptr, *beta_obj = nullptr, *threshold_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char**>(kwlist), &t, &beta_obj, &threshold_obj))
      return nullptr;
    float beta = 1.0f, threshold = 20.0f;
    if (!arg_tensor(t, "input") || !optional_float(beta_obj, "beta", &beta) ||
        !optional_float(threshold_obj, "threshold", &threshold))
      return nullptr;
    return finish<Op::softplus>(t, beta, threshold);
  });
}

PyObject* hardtanh_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "min_val", "max_val", nullptr};
    PyObject *t = nullptr, *lo_obj = nullptr, *hi_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char**>(kwlist), &t, &lo_obj, &hi_obj))
      return nullptr;
    float lo = -1.0f, hi = 1.0f;
    if (!arg_tensor(t, "input") || !optional_float(lo_obj, "min_val", &lo) || !optional_float(hi_obj, "max_val", &hi))
      return nullptr;
    if (lo > hi) return raise(value_error("hardtanh: min_val cannot be greater than max_val"));
    return finish<Op::hardtanh>(t, lo, hi);
  });
}

PyObject* relu6_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", nullptr};
    PyObject* t = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(kwlist), &t)) return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    return finish<Op::hardtanh>(t, 0.0f, 6.0f);
  });
}

// None stands for no bound: -inf below, inf above.
PyObject* clip_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "min", "max", nullptr};
    PyObject *t = nullptr, *lo_obj = nullptr, *hi_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO", const_cast<char**>(kwlist), &t, &lo_obj, &hi_obj))
      return nullptr;
    if (!arg_tensor(t, "input")) return nullptr;
    if (lo_obj == Py_None) lo_obj = nullptr;
    if (hi_obj == Py_None) hi_obj = nullptr;
    if (lo_obj == nullptr && hi_obj == nullptr)
      return raise(value_error("At least one of 'min' or 'max' must not be None"));
    float lo = -__builtin_inff(), hi = __builtin_inff();
    if (!optional_float(lo_obj, "min", &lo) || !optional_float(hi_obj, "max", &hi)) return nullptr;
    return finish<Op::clip>(t, lo, hi);
  });
}

// A tensor operand as it is, or a number as a tensor of `like`'s dtype
// (binary32 when there is none); false with the exception set otherwise.
bool tensor_or_number(PyObject* o, const char* parameter, const Tensor* like, Tensor* out) {
  if (is_tensor(o)) {
    *out = record_of(o);
    return true;
  }
  float value = 0.0f;
  if (!arg_float(o, parameter, &value, false)) {
    if (!PyErr_Occurred()) {
      raise(type_error(std::string(parameter) + " must be a Tensor or a number, not '" + Py_TYPE(o)->tp_name + "'"));
    }
    return false;
  }
  const DType dtype = like != nullptr && like->data.dtype() != DType::Bool ? like->data.dtype() : DType::F32;
  Storage s = Storage::allocate_row_major(dtype, {});
  const engine::elementwise::ScalarValue v = engine::elementwise::scalar_in(dtype, value);
  std::memcpy(s.mutable_data(), &v, dtype_size(dtype));
  *out = ops::make_leaf(std::move(s), false);
  return true;
}

// Two operands, either of which may be a number.
template <Op op>
PyObject* pairwise_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "other", nullptr};
    PyObject *a = nullptr, *b = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &a, &b)) return nullptr;
    if (!is_tensor(a) && !is_tensor(b)) return raise(not_instance(a, "Tensor"));
    Tensor ta, tb;
    if (!tensor_or_number(a, "input", is_tensor(b) ? &record_of(b) : nullptr, &ta) ||
        !tensor_or_number(b, "other", &ta, &tb))
      return nullptr;
    return wrap_result(ops::pairwise(op, ta, tb), result_type(a, b));
  });
}

// tensor ** tensor, tensor ** number and number ** tensor.
PyObject* pow_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "exponent", nullptr};
    PyObject *a = nullptr, *b = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &a, &b)) return nullptr;
    if (is_tensor(a) && is_tensor(b))
      return wrap_result(ops::pairwise(Op::pow, record_of(a), record_of(b)), result_type(a, b));
    float s = 0.0f;
    if (is_tensor(a)) {
      if (!arg_float(b, "exponent", &s, true)) return nullptr;
      return wrap_result(ops::param_map(Op::scalar_pow, record_of(a), s), result_type(a));
    }
    if (!is_tensor(b)) return raise(not_instance(a, "Tensor"));
    if (!arg_float(a, "input", &s, true)) return nullptr;
    return wrap_result(ops::param_map(Op::scalar_rpow, record_of(b), s), result_type(b));
  });
}

// The condition: a bool tensor, or anything quarn.Tensor(..., dtype="bool")
// takes.
PyObject* where_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"condition", "input", "other", nullptr};
    PyObject *c = nullptr, *a = nullptr, *b = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO", const_cast<char**>(kwlist), &c, &a, &b)) return nullptr;
    PyRef made;
    if (!is_tensor(c)) {
      PyRef call_args = PyRef::steal(PyTuple_Pack(1, c));
      PyRef call_kwargs = PyRef::steal(Py_BuildValue("{s:s}", "dtype", "bool"));
      if (!call_args || !call_kwargs) return nullptr;
      made = PyRef::steal(PyObject_Call(reinterpret_cast<PyObject*>(tensor_type()), call_args.get(), call_kwargs.get()));
      if (!made) {
        add_argument_note("condition");
        return nullptr;
      }
      c = made.get();
    }
    Tensor ta, tb;
    const Tensor* like_a = is_tensor(b) ? &record_of(b) : nullptr;
    if (!tensor_or_number(a, "input", like_a, &ta) || !tensor_or_number(b, "other", &ta, &tb)) return nullptr;
    PyTypeObject* type = result_type(a, b);
    if (type == tensor_type() && is_tensor(c) && !Py_IS_TYPE(c, tensor_type()) && made.get() != c) type = result_type(c);
    return wrap_result(ops::where(record_of(c), ta, tb), type);
  });
}

}  // namespace

PyMethodDef elementwise_function_defs[] = {
    {"gelu", as_cfunction(gelu_function), kKeywords,
     "gelu(input, approximate='none')\n--\n\nx * P(X <= x) for a standard normal X, or with approximate='tanh'\n"
     "0.5 x (1 + tanh(sqrt(2/pi) (x + 0.044715 x^3)))."},
    {"leaky_relu", as_cfunction(leaky_relu_function), kKeywords,
     "leaky_relu(input, negative_slope=0.01)\n--\n\nx where x > 0, else x * negative_slope."},
    {"elu", as_cfunction(elu_function), kKeywords, "elu(input, alpha=1.0)\n--\n\nx where x > 0, else alpha * (e^x - 1)."},
    {"softplus", as_cfunction(softplus_function), kKeywords,
     "softplus(input, beta=1.0, threshold=20.0)\n--\n\nlog(1 + e^(beta x)) / beta, and x itself where beta x > threshold."},
    {"hardtanh", as_cfunction(hardtanh_function), kKeywords,
     "hardtanh(input, min_val=-1.0, max_val=1.0)\n--\n\nx clamped to [min_val, max_val]."},
    {"relu6", as_cfunction(relu6_function), kKeywords, "relu6(input)\n--\n\nx clamped to [0, 6]."},
    {"clip", as_cfunction(clip_function), kKeywords,
     "clip(input, min=None, max=None)\n--\n\nx clamped to [min, max] (None: no bound on that side; max wins\n"
     "where min > max). The gradient passes at the bounds."},
    {"maximum", as_cfunction(pairwise_function<Op::maximum>), kKeywords,
     "maximum(input, other)\n--\n\nThe larger of two tensors (or a tensor and a number), broadcast; NaN if either is."},
    {"minimum", as_cfunction(pairwise_function<Op::minimum>), kKeywords,
     "minimum(input, other)\n--\n\nThe smaller of two tensors (or a tensor and a number), broadcast; NaN if either is."},
    {"pow", as_cfunction(pow_function), kKeywords,
     "pow(input, exponent)\n--\n\ninput ** exponent, element by element: two tensors broadcast, or a tensor and a number\n"
     "on either side."},
    {"where", as_cfunction(where_function), kKeywords,
     "where(condition, input, other)\n--\n\ninput where condition (bool) is true, else other, all broadcast;\n"
     "input and other may be numbers."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarn::binding
