// Bindings of the convolutions and pooling, with PyTorch's argument names
// and conventions: a spatial argument is an int (the same for every axis)
// or a tuple of one int per axis; padding may also be "same" or "valid".
#include "binding/conv_functions.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "binding/args.hpp"
#include "binding/tensor_object.hpp"
#include "ops/conv_ops.hpp"

namespace quarn::binding {

namespace {

using ops::Pair;

bool arg_int(PyObject* o, const char* parameter, std::int64_t* out) {
  if (PyBool_Check(o) || !PyIndex_Check(o)) {
    raise(type_error(std::string(parameter) + " must be an int or a tuple of ints, not " + Py_TYPE(o)->tp_name));
    return false;
  }
  int overflow = 0;
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return false;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  // Far outside any extent; kNone stays out of reach.
  if (overflow != 0 || v <= -(1LL << 62) || v >= (1LL << 62)) {
    raise(runtime_error(std::string(parameter) + " must be below 2**31 in size"));
    return false;
  }
  *out = v;
  return true;
}

// None where `allow_none` says it may stand for an axis (adaptive pooling's
// "keep this extent"); no int converts to it.
constexpr std::int64_t kNone = INT64_MIN;

// An int for every axis, or a tuple (list) of `dims` ints (the axis the 1-D
// functions lack keeps its value); None, or None items, give kNone where
// `allow_none`.
bool arg_pair(PyObject* o, const char* parameter, std::size_t dims, Pair* out, bool allow_none = false) {
  if (o == nullptr) return true;
  if (PyTuple_Check(o) || PyList_Check(o)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    if (n != static_cast<Py_ssize_t>(dims)) {
      raise(value_error(std::string(parameter) + " must be an int or a tuple of " + std::to_string(dims) +
                        " ints, got a sequence of " + std::to_string(n)));
      return false;
    }
    for (std::size_t i = 0; i < dims; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(o, static_cast<Py_ssize_t>(i));
      std::int64_t& slot = (*out)[2 - dims + i];
      if (item == Py_None && allow_none) {
        slot = kNone;
        continue;
      }
      if (!arg_int(item, parameter, &slot)) return false;
    }
    return true;
  }
  if (o == Py_None && allow_none) {
    *out = {kNone, kNone};
    return true;
  }
  std::int64_t v = 0;
  if (!arg_int(o, parameter, &v)) return false;
  *out = {v, v};
  return true;
}

bool arg_padding(PyObject* o, std::size_t dims, ops::ConvArgs* args) {
  if (o == nullptr) return true;
  if (PyUnicode_Check(o)) {
    const char* text = PyUnicode_AsUTF8(o);
    if (text == nullptr) return false;
    if (std::strcmp(text, "same") == 0) {
      args->padding_mode = ops::ConvArgs::Padding::kSame;
    } else if (std::strcmp(text, "valid") == 0) {
      args->padding_mode = ops::ConvArgs::Padding::kValid;
    } else {
      raise(value_error(std::string("Invalid padding string '") + text + "', should be one of {'valid', 'same'}"));
      return false;
    }
    return true;
  }
  return arg_pair(o, "padding", dims, &args->padding);
}

bool arg_optional_tensor(PyObject* o, const char* parameter, const Tensor** out) {
  if (o == nullptr || o == Py_None) return true;
  if (!arg_tensor(o, parameter)) return false;
  *out = &record_of(o);
  return true;
}

PyTypeObject* result_of(PyObject* x, PyObject* w, PyObject* bias) {
  PyTypeObject* type = result_type(x, w);
  if (bias != nullptr && bias != Py_None && result_type(bias) != tensor_type()) return user_tensor_type();
  return type;
}

template <std::size_t dims, bool transposed>
PyObject* conv_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* plain[] = {"input", "weight", "bias", "stride", "padding", "dilation", "groups", nullptr};
    static const char* transposed_list[] = {"input", "weight", "bias", "stride", "padding",
                                            "output_padding", "groups", "dilation", nullptr};
    PyObject *x = nullptr, *w = nullptr, *bias = nullptr, *stride = nullptr, *padding = nullptr,
             *dilation = nullptr, *groups = nullptr, *output_padding = nullptr;
    if constexpr (transposed) {
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOOOO", const_cast<char**>(transposed_list), &x, &w,
                                       &bias, &stride, &padding, &output_padding, &groups, &dilation))
        return nullptr;
    } else {
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOOO", const_cast<char**>(plain), &x, &w, &bias, &stride,
                                       &padding, &dilation, &groups))
        return nullptr;
    }
    if (!arg_tensor(x, "input") || !arg_tensor(w, "weight")) return nullptr;
    const Tensor* b = nullptr;
    if (!arg_optional_tensor(bias, "bias", &b)) return nullptr;
    ops::ConvArgs a;
    if (!arg_pair(stride, "stride", dims, &a.stride) || !arg_pair(dilation, "dilation", dims, &a.dilation) ||
        !arg_pair(output_padding, "output_padding", dims, &a.output_padding))
      return nullptr;
    if constexpr (transposed) {
      if (!arg_pair(padding, "padding", dims, &a.padding)) return nullptr;
    } else {
      if (!arg_padding(padding, dims, &a)) return nullptr;
    }
    if (groups != nullptr && !arg_int(groups, "groups", &a.groups)) return nullptr;
    const Tensor& xr = record_of(x);
    const Tensor& wr = record_of(w);
    Result<Tensor> r = transposed ? ops::conv_transpose2d(xr, wr, b, a)
                       : dims == 1 ? ops::conv1d(xr, wr, b, a)
                                   : ops::conv2d(xr, wr, b, a);
    return wrap_result(std::move(r), result_of(x, w, bias));
  });
}

template <bool average>
PyObject* pool_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* max_list[] = {"input", "kernel_size", "stride", "padding", "dilation", "ceil_mode", nullptr};
    static const char* avg_list[] = {"input", "kernel_size", "stride", "padding", "ceil_mode", "count_include_pad",
                                     nullptr};
    PyObject *x = nullptr, *kernel = nullptr, *stride = nullptr, *padding = nullptr, *dilation = nullptr,
             *ceil_mode = nullptr, *count_pad = nullptr;
    if constexpr (average) {
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOO", const_cast<char**>(avg_list), &x, &kernel, &stride,
                                       &padding, &ceil_mode, &count_pad))
        return nullptr;
    } else {
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOO", const_cast<char**>(max_list), &x, &kernel, &stride,
                                       &padding, &dilation, &ceil_mode))
        return nullptr;
    }
    if (!arg_tensor(x, "input")) return nullptr;
    ops::PoolArgs a;
    if (!arg_pair(kernel, "kernel_size", 2, &a.kernel)) return nullptr;
    a.stride = a.kernel;
    if (stride != Py_None && !arg_pair(stride, "stride", 2, &a.stride)) return nullptr;
    if (!arg_pair(padding, "padding", 2, &a.padding) || !arg_pair(dilation, "dilation", 2, &a.dilation))
      return nullptr;
    if (ceil_mode != nullptr && !arg_bool(ceil_mode, "ceil_mode", &a.ceil_mode)) return nullptr;
    if (count_pad != nullptr && !arg_bool(count_pad, "count_include_pad", &a.count_include_pad)) return nullptr;
    const Tensor& xr = record_of(x);
    return wrap_result(average ? ops::avg_pool2d(xr, a) : ops::max_pool2d(xr, a), result_type(x));
  });
}

PyObject* adaptive_avg_pool2d_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "output_size", nullptr};
    PyObject *x = nullptr, *size = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(kwlist), &x, &size)) return nullptr;
    if (!arg_tensor(x, "input")) return nullptr;
    Pair out{0, 0};
    if (!arg_pair(size, "output_size", 2, &out, true)) return nullptr;
    for (std::int64_t& v : out) {
      if (v == kNone) {
        v = -1;  // the front end's "keep the input's extent"
      } else if (v < 0) {
        return raise(runtime_error("adaptive_avg_pool2d: elements of output_size must be greater than or equal to 0"));
      }
    }
    return wrap_result(ops::adaptive_avg_pool2d(record_of(x), out), result_type(x));
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef conv_function_defs[] = {
    {"conv2d", as_cfunction(conv_function<2, false>), kKeywords,
     "conv2d(input, weight, bias=None, stride=1, padding=0, dilation=1, groups=1)\n--\n\n"
     "2-D convolution of [N, C, H, W] input with [O, C/groups, kh, kw] filters, plus a bias of [O].\n"
     "padding may be 'same' or 'valid'. float16 and bfloat16 are computed in float32 and rounded once."},
    {"conv1d", as_cfunction(conv_function<1, false>), kKeywords,
     "conv1d(input, weight, bias=None, stride=1, padding=0, dilation=1, groups=1)\n--\n\n"
     "1-D convolution of [N, C, L] input with [O, C/groups, k] filters, plus a bias of [O]."},
    {"conv_transpose2d", as_cfunction(conv_function<2, true>), kKeywords,
     "conv_transpose2d(input, weight, bias=None, stride=1, padding=0, output_padding=0, groups=1, dilation=1)\n"
     "--\n\n2-D transposed convolution of [N, C, H, W] input with [C, O/groups, kh, kw] filters (the gradient "
     "of conv2d for its input), plus a bias of [O]."},
    {"max_pool2d", as_cfunction(pool_function<false>), kKeywords,
     "max_pool2d(input, kernel_size, stride=None, padding=0, dilation=1, ceil_mode=False)\n--\n\n"
     "Largest element of each window; the gradient goes to the first largest element of each window\n"
     "(row-major), or to its first NaN."},
    {"avg_pool2d", as_cfunction(pool_function<true>), kKeywords,
     "avg_pool2d(input, kernel_size, stride=None, padding=0, ceil_mode=False, count_include_pad=True)\n--\n\n"
     "Mean of each window."},
    {"adaptive_avg_pool2d", as_cfunction(adaptive_avg_pool2d_function), kKeywords,
     "adaptive_avg_pool2d(input, output_size)\n--\n\n"
     "Mean over equal windows that tile the input into output_size; the output size must divide the\n"
     "input size (ValueError otherwise)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarn::binding
