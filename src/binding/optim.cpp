// In-place optimiser updates on float32 NumPy arrays (the master copies of
// quarn.nn.Parameter and the optimisers' state), and the identity of the
// calling thread's graph, which a parameter compares to know whether its
// leaf of this step still stands.
#include "binding/optim.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>

#include "autograd/graph.hpp"
#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "engine/optim/optim.hpp"

namespace quarn::binding {

namespace {

struct FloatArray {
  float* data = nullptr;
  std::size_t count = 0;
  PyArrayObject* array = nullptr;
  // A 2-D array laid out as the transpose of a C-contiguous one (allowed
  // for gradients only).
  bool transposed = false;
};

// A float32, C-contiguous, aligned NumPy array (writeable when `writes`),
// of the same shape as `like` when that is given. With `transposed_ok`, a
// 2-D Fortran-ordered array is taken as well: the gradient of a weight used
// transposed in a matrix product arrives that way, and reading it in place
// saves a copy.
bool float_array(PyObject* o, const char* name, bool writes, const FloatArray* like, FloatArray* out,
                 bool transposed_ok = false) {
  if (!PyArray_Check(o)) {
    raise(type_error(std::string(name) + " must be a numpy.ndarray, not " + Py_TYPE(o)->tp_name));
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_TYPE(a) != NPY_FLOAT32) {
    raise(type_error(std::string(name) + " must be a float32 array"));
    return false;
  }
  out->transposed = transposed_ok && !PyArray_IS_C_CONTIGUOUS(a) && PyArray_NDIM(a) == 2 &&
                    PyArray_IS_F_CONTIGUOUS(a);
  if ((!PyArray_IS_C_CONTIGUOUS(a) && !out->transposed) || !PyArray_ISALIGNED(a)) {
    raise(value_error(std::string(name) + " must be a C-contiguous, aligned array"));
    return false;
  }
  if (writes && !PyArray_ISWRITEABLE(a)) {
    raise(value_error(std::string(name) + " must be writeable"));
    return false;
  }
  if (like != nullptr) {
    const int nd = PyArray_NDIM(a);
    bool same = nd == PyArray_NDIM(like->array);
    for (int i = 0; same && i < nd; ++i) same = PyArray_DIM(a, i) == PyArray_DIM(like->array, i);
    if (!same) {
      raise(value_error(std::string(name) + " must have the parameter's shape"));
      return false;
    }
  }
  out->array = a;
  out->data = static_cast<float*>(PyArray_DATA(a));
  out->count = static_cast<std::size_t>(PyArray_SIZE(a));
  return true;
}

engine::optim::Gradient gradient(const FloatArray& g) {
  if (!g.transposed) return {g.data, false, 0, 0};
  return {g.data, true, static_cast<std::size_t>(PyArray_DIM(g.array, 0)),
          static_cast<std::size_t>(PyArray_DIM(g.array, 1))};
}

bool overlap(const FloatArray& a, const FloatArray& b) {
  if (a.data == nullptr || b.data == nullptr || a.count == 0 || b.count == 0) return false;
  return a.data < b.data + b.count && b.data < a.data + a.count;
}

// The arrays an update writes may share memory with no other operand: the
// kernels read each element once before writing it, but only of their own
// array.
bool disjoint(std::initializer_list<const FloatArray*> written, std::initializer_list<const FloatArray*> all) {
  for (const FloatArray* w : written) {
    for (const FloatArray* o : all) {
      if (w != o && overlap(*w, *o)) {
        raise(value_error("the parameter, its gradient and the optimiser's state arrays must not share memory"));
        return false;
      }
    }
  }
  return true;
}

// _sgd_step(param, grad, momentum_buffer or None, lr, momentum, dampening,
//           weight_decay, nesterov, first)
PyObject* sgd_step(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (!ensure_numpy()) return nullptr;
    PyObject *p_obj, *g_obj, *buf_obj;
    engine::optim::SgdConfig c{};
    int nesterov = 0, first = 0;
    if (!PyArg_ParseTuple(args, "OOOffffpp:_sgd_step", &p_obj, &g_obj, &buf_obj, &c.lr, &c.momentum, &c.dampening,
                          &c.weight_decay, &nesterov, &first))
      return nullptr;
    FloatArray p, g, buf;
    if (!float_array(p_obj, "param", true, nullptr, &p) || !float_array(g_obj, "grad", false, &p, &g, true)) return nullptr;
    if (buf_obj != Py_None && !float_array(buf_obj, "momentum_buffer", true, &p, &buf)) return nullptr;
    if (c.momentum != 0.0f && buf.data == nullptr && p.count != 0)
      return raise(value_error("momentum needs a momentum_buffer array"));
    if (!disjoint({&p, &buf}, {&p, &g, &buf})) return nullptr;
    c.nesterov = nesterov != 0;
    c.first = first != 0;
    engine::optim::sgd_step(p.data, gradient(g), c.momentum != 0.0f ? buf.data : nullptr, p.count, c);
    Py_RETURN_NONE;
  });
}

// _adam_step(param, grad, exp_avg, exp_avg_sq, max_exp_avg_sq or None, lr,
//            beta1, beta2, eps, weight_decay, step_size, bias2_sqrt, decoupled)
PyObject* adam_step(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    if (!ensure_numpy()) return nullptr;
    PyObject *p_obj, *g_obj, *m_obj, *v_obj, *vmax_obj;
    engine::optim::AdamConfig c{};
    int decoupled = 0;
    if (!PyArg_ParseTuple(args, "OOOOOfffffffp:_adam_step", &p_obj, &g_obj, &m_obj, &v_obj, &vmax_obj, &c.lr,
                          &c.beta1, &c.beta2, &c.eps, &c.weight_decay, &c.step_size, &c.bias2_sqrt, &decoupled))
      return nullptr;
    FloatArray p, g, m, v, vmax;
    if (!float_array(p_obj, "param", true, nullptr, &p) || !float_array(g_obj, "grad", false, &p, &g, true) ||
        !float_array(m_obj, "exp_avg", true, &p, &m) || !float_array(v_obj, "exp_avg_sq", true, &p, &v))
      return nullptr;
    if (vmax_obj != Py_None && !float_array(vmax_obj, "max_exp_avg_sq", true, &p, &vmax)) return nullptr;
    if (!disjoint({&p, &m, &v, &vmax}, {&p, &g, &m, &v, &vmax})) return nullptr;
    c.decoupled = decoupled != 0;
    engine::optim::adam_step(p.data, gradient(g), m.data, v.data, vmax.data, p.count, c);
    Py_RETURN_NONE;
  });
}

PyObject* graph_identity(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(autograd::thread_graph().identity()));
  });
}

PyMethodDef optim_defs[] = {
    {"_sgd_step", sgd_step, METH_VARARGS,
     "_sgd_step(param, grad, momentum_buffer, lr, momentum, dampening, weight_decay, nesterov, first)\n--\n\n"
     "One SGD update of the float32 array param in place (and of its momentum buffer)."},
    {"_adam_step", adam_step, METH_VARARGS,
     "_adam_step(param, grad, exp_avg, exp_avg_sq, max_exp_avg_sq, lr, beta1, beta2, eps, weight_decay, "
     "step_size, bias2_sqrt, decoupled)\n--\n\n"
     "One Adam (decoupled: AdamW) update of the float32 array param and its state in place."},
    {"_graph_identity", graph_identity, METH_NOARGS,
     "_graph_identity()\n--\n\nA number that changes whenever the calling thread's graph is cleared and "
     "differs between threads."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_optim_functions(PyObject* functions) { return PyModule_AddFunctions(functions, optim_defs); }

}  // namespace quarn::binding
