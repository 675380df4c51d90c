// Python's operators on Tensor. A slot answers NotImplemented when it does
// not serve its operands, so Python can try the other side or raise its own
// TypeError; an error of the operation itself is raised, not passed on.
// Classifying an operand discards its conversion error, but not an interrupt
// or MemoryError raised meanwhile: those are passed on as they are.
#include <optional>

#include "binding/args.hpp"
#include "binding/interop.hpp"
#include "binding/tensor_object.hpp"
#include "ops/layout_ops.hpp"
#include "ops/tensor_ops.hpp"

namespace quarn::binding {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

bool is_core(PyTypeObject* type) { return type == tensor_type(); }

// quarn.Tensor's arithmetic promotes a bool operand to the other operand's
// float dtype (a number counts as float32), as NumPy and PyTorch do, so that
// `t * (t != 0)` masks; quarn_core.Tensor keeps refusing the mix. The cast of
// a bool is never recorded: a mask takes no gradient.
bool one_bool(const Tensor& a, const Tensor& b) {
  return (a.data.dtype() == DType::Bool) != (b.data.dtype() == DType::Bool);
}

[[gnu::noinline]] Result<Tensor> with_bool_promoted(TensorOp op, const Tensor& a, const Tensor& b) {
  if (a.data.dtype() == DType::Bool) {
    QUARN_TRY(Tensor mask, ops::cast(a, b.data.dtype()));
    return op(mask, b);
  }
  QUARN_TRY(Tensor mask, ops::cast(b, a.data.dtype()));
  return op(a, mask);
}

Result<Tensor> scalar_promoted(ScalarOp op, const Tensor& a, float s) {
  if (a.data.dtype() != DType::Bool) return op(a, s);
  QUARN_TRY(Tensor mask, ops::cast(a, DType::F32));
  return op(mask, s);
}

// Two tensors through `op`, promoting a lone bool for the user's type when
// `promote` says the operation is arithmetic. The dtype test comes first and
// the promotion is out of line: two tensors of one dtype, the path nearly
// every call takes, pay one comparison for it.
[[gnu::always_inline]] inline PyObject* tensor_pair(PyObject* l, PyObject* r, TensorOp op, bool promote) {
  const Tensor& a = record_of(l);
  const Tensor& b = record_of(r);
  if (promote && one_bool(a, b) && !is_core(result_type(l, r)))
    return wrap_result(with_bool_promoted(op, a, b), result_type(l, r));
  return wrap_result(op(a, b), result_type(l, r));
}

// The operand beside a quarn.Tensor that is neither a tensor nor a number:
// a NumPy array, list or tuple is converted like a constant, to the tensor's
// dtype (a bool tensor meets a non-bool array as float32, which the
// promotion above then applies to). nullopt, with no exception set, for
// anything else; an error of the conversion itself is raised.
std::optional<PyObject*> array_operand(PyObject* tensor, PyObject* other, PyObject* l, TensorOp op, bool promote) {
  if (PyFloat_Check(other) || PyLong_Check(other)) return std::nullopt;  // numbers take the scalar path
  if (!is_array_like(other)) {
    if (PyErr_Occurred()) return nullptr;
    return std::nullopt;
  }
  Result<Tensor> constant = constant_from(other, record_of(tensor).data.dtype());
  if (!constant.ok()) return raise(constant.error());
  PyRef wrapped = PyRef::steal(wrap(std::move(constant).value(), tensor_type()));
  if (!wrapped) return nullptr;
  const bool left = l == tensor;
  PyObject* a = left ? tensor : wrapped.get();
  PyObject* b = left ? wrapped.get() : tensor;
  const Tensor& ta = record_of(a);
  const Tensor& tb = record_of(b);
  PyTypeObject* type = result_type(tensor);
  if (promote && one_bool(ta, tb)) return wrap_result(with_bool_promoted(op, ta, tb), type);
  return wrap_result(op(ta, tb), type);
}

// The second operand as a tensor or a binary32 number (Python's float
// conversion, narrowed); anything else is unsupported. `reflected_op` serves
// a number on the left, where the operator has such a form; `user_reflected`
// serves it only for the quarn package's tensors (quarn_core.Tensor keeps
// refusing a number on the left of `-`). The quarn package's tensors also
// take arrays (array_operand) and promote bools.
PyObject* number_slot(PyObject* l, PyObject* r, TensorOp tensor_op, ScalarOp scalar_op, ScalarOp reflected_op,
                      ScalarOp user_reflected = nullptr) {
  return guarded([&]() -> PyObject* {
    if (is_tensor(l)) {
      if (is_tensor(r)) return tensor_pair(l, r, tensor_op, true);
      PyTypeObject* type = result_type(l);
      if (!is_core(type))
        if (std::optional<PyObject*> done = array_operand(l, r, l, tensor_op, true)) return *done;
      float s = 0.0f;
      if (arg_float(r, nullptr, &s, false)) {
        if (!is_core(type)) return wrap_result(scalar_promoted(scalar_op, record_of(l), s), type);
        return wrap_result(scalar_op(record_of(l), s), type);
      }
      if (PyErr_Occurred()) return nullptr;
    }
    if (reflected_op == nullptr && user_reflected != nullptr && is_tensor(r) && result_type(r) != tensor_type())
      reflected_op = user_reflected;
    if (is_tensor(r) && !is_tensor(l) && !is_core(result_type(r)))
      if (std::optional<PyObject*> done = array_operand(r, l, l, tensor_op, true)) return *done;
    if (reflected_op != nullptr && is_tensor(r) && !is_tensor(l)) {
      float s = 0.0f;
      if (arg_float(l, nullptr, &s, false)) {
        PyTypeObject* type = result_type(r);
        if (!is_core(type)) return wrap_result(scalar_promoted(reflected_op, record_of(r), s), type);
        return wrap_result(reflected_op(record_of(r), s), type);
      }
      if (PyErr_Occurred()) return nullptr;
    }
    Py_RETURN_NOTIMPLEMENTED;
  });
}

PyObject* tensor_only_slot(PyObject* l, PyObject* r, TensorOp op, bool promote = false) {
  return guarded([&]() -> PyObject* {
    const bool lt = is_tensor(l), rt = is_tensor(r);
    if (lt && rt) return tensor_pair(l, r, op, promote);
    PyObject* tensor = lt ? l : rt ? r : nullptr;
    if (tensor != nullptr && !is_core(result_type(tensor)))
      if (std::optional<PyObject*> done = array_operand(tensor, lt ? r : l, l, op, promote)) return *done;
    Py_RETURN_NOTIMPLEMENTED;
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
PyObject* tensor_matmul(PyObject* l, PyObject* r) { return tensor_only_slot(l, r, ops::matmul, true); }
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
    if (!is_core(type) && !PyFloat_Check(other) && !PyLong_Check(other)) {
      if (is_array_like(other)) {
        Result<Tensor> constant = constant_from(other, record_of(self).data.dtype());
        if (!constant.ok()) return raise(constant.error());
        return answer(ops::compare(cmp, record_of(self), constant.value()));
      }
      if (PyErr_Occurred()) return nullptr;
    }
    float s = 0.0f;
    if (!arg_float(other, nullptr, &s, false)) {
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NOTIMPLEMENTED;
    }
    return answer(ops::compare_scalar(cmp, record_of(self), s));
  });
}

}  // namespace quarn::binding
