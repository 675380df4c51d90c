// Python's operators on Tensor. A slot answers NotImplemented when it does
// not serve its operands, so Python can try the other side or raise its own
// TypeError; an error of the operation itself is raised, not passed on.
// Classifying an operand discards its conversion error, but not an interrupt
// or MemoryError raised meanwhile: those are passed on as they are.
#include "binding/args.hpp"
#include "binding/tensor_object.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::binding {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

// The second operand as a tensor or a binary32 number (Python's float
// conversion, narrowed); anything else is unsupported. `reflected_op` serves
// a number on the left, where the operator has such a form; `user_reflected`
// serves it only for the quarn package's tensors (quarn_core.Tensor keeps
// refusing a number on the left of `-`).
PyObject* number_slot(PyObject* l, PyObject* r, TensorOp tensor_op, ScalarOp scalar_op, ScalarOp reflected_op,
                      ScalarOp user_reflected = nullptr) {
  return guarded([&]() -> PyObject* {
    if (is_tensor(l)) {
      if (is_tensor(r)) return wrap_result(tensor_op(record_of(l), record_of(r)), result_type(l, r));
      float s = 0.0f;
      if (arg_float(r, nullptr, &s, false)) return wrap_result(scalar_op(record_of(l), s), result_type(l));
      if (PyErr_Occurred()) return nullptr;
    }
    if (reflected_op == nullptr && user_reflected != nullptr && is_tensor(r) && result_type(r) != tensor_type())
      reflected_op = user_reflected;
    if (reflected_op != nullptr && is_tensor(r) && !is_tensor(l)) {
      float s = 0.0f;
      if (arg_float(l, nullptr, &s, false)) return wrap_result(reflected_op(record_of(r), s), result_type(r));
      if (PyErr_Occurred()) return nullptr;
    }
    Py_RETURN_NOTIMPLEMENTED;
  });
}

PyObject* tensor_only_slot(PyObject* l, PyObject* r, TensorOp op) {
  return guarded([&]() -> PyObject* {
    if (!is_tensor(l) || !is_tensor(r)) Py_RETURN_NOTIMPLEMENTED;
    return wrap_result(op(record_of(l), record_of(r)), result_type(l, r));
  });
}

// number - t as -t + number: the negation is exact, so the sum rounds once,
// exactly as the difference would.
Result<Tensor> reflected_sub(const Tensor& t, float s) {
  QUARN_TRY(Tensor negated, ops::map(Op::neg, t));
  return ops::scalar_add(negated, s);
}

template <engine::LogicOp Op>
Result<Tensor> logical_op(const Tensor& a, const Tensor& b) {
  return ops::logical(Op, a, b);
}

}  // namespace

PyObject* tensor_add(PyObject* l, PyObject* r) {
  return number_slot(l, r, ops::add, ops::scalar_add, ops::scalar_add);
}
PyObject* tensor_sub(PyObject* l, PyObject* r) {
  return number_slot(l, r, ops::sub, ops::scalar_sub, nullptr, reflected_sub);
}
PyObject* tensor_mul(PyObject* l, PyObject* r) {
  return number_slot(l, r, ops::mul, ops::scalar_mul, ops::scalar_mul);
}
// A number on the left of `/` is the element-wise quotient number / element.
PyObject* tensor_truediv(PyObject* l, PyObject* r) {
  return number_slot(l, r, ops::div, ops::scalar_div, ops::scalar_rdiv);
}
PyObject* tensor_matmul(PyObject* l, PyObject* r) { return tensor_only_slot(l, r, ops::matmul); }
PyObject* tensor_and(PyObject* l, PyObject* r) {
  return tensor_only_slot(l, r, logical_op<engine::LogicOp::kAnd>);
}
PyObject* tensor_or(PyObject* l, PyObject* r) {
  return tensor_only_slot(l, r, logical_op<engine::LogicOp::kOr>);
}
PyObject* tensor_xor(PyObject* l, PyObject* r) {
  return tensor_only_slot(l, r, logical_op<engine::LogicOp::kXor>);
}

PyObject* tensor_invert(PyObject* self) {
  return guarded([&] { return wrap_result(ops::logical_not(record_of(self)), result_type(self)); });
}

PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    // != is the element-wise negation of ==: the same operands, rules and
    // messages, and NaN unequal to everything. Taking the truth value of ==
    // instead would answer False for every tensor result, since a tensor is
    // always true.
    const bool negate = op == Py_NE;
    engine::CompareOp cmp;
    switch (op) {
      case Py_EQ: case Py_NE: cmp = engine::CompareOp::kEq; break;
      case Py_GE: cmp = engine::CompareOp::kGe; break;
      case Py_GT: cmp = engine::CompareOp::kGt; break;
      case Py_LE: cmp = engine::CompareOp::kLe; break;
      case Py_LT: cmp = engine::CompareOp::kLt; break;
      default: fault("invalid compareop");
    }
    if (!is_tensor(self)) Py_RETURN_NOTIMPLEMENTED;
    PyTypeObject* type = result_type(self, other);
    auto answer = [negate, type](Result<Tensor> r) -> PyObject* {
      if (negate && r.ok()) return wrap_result(ops::logical_not(r.value()), type);
      return wrap_result(std::move(r), type);
    };
    if (is_tensor(other)) return answer(ops::compare(cmp, record_of(self), record_of(other)));
    float s = 0.0f;
    if (!arg_float(other, nullptr, &s, false)) {
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NOTIMPLEMENTED;
    }
    return answer(ops::compare_scalar(cmp, record_of(self), s));
  });
}

}  // namespace quarn::binding
