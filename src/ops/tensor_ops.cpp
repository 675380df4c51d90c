#include "ops/tensor_ops.hpp"

#include <functional>
#include <string>
#include <utility>

#include "autograd/graph.hpp"
#include "engine/dtype_rules.hpp"
#include "ops/recording.hpp"
#include "ops/layout_ops.hpp"
#include "runtime/fault.hpp"

namespace quarn::ops {

namespace {

using autograd::Node;
using autograd::thread_graph;

Tensor untracked(Storage s) { return Tensor{std::nullopt, std::move(s), false}; }

Result<Tensor> untracked(Result<Storage>&& r) {
  if (!r.ok()) return std::move(r).error();
  return untracked(std::move(r).value());
}

// The one path from a front end to the graph. `node` is the operation's node
// with what its rule reads; `b` is null for a one-operand operation;
// `compute` returns Result<Storage>.
//  - Recorded: the node is recorded first and learns its shape once the
//    result exists; a failed computation leaves a node that no tensor names.
//  - Checked: the caller has refused bad arguments; stale operands are
//    refused here, then the result is computed, and only then recorded, so
//    nothing that fails leaves anything in the graph.
//  - Never: nothing is recorded.
template <class Compute>
Result<Tensor> run(const Tensor& a, const Tensor* b, Node node, Compute&& compute) {
  const Order order = info(node.op).order;
  const bool tracked = order != Order::Never && (a.requires_grad || (b != nullptr && b->requires_grad));
  if (!tracked) return untracked(compute());
  auto& graph = thread_graph();
  auto record = [&]() { return b == nullptr ? graph.record(a, std::move(node)) : graph.record(a, *b, std::move(node)); };
  if (order == Order::Recorded) {
    QUARN_TRY(std::size_t id, record());
    QUARN_TRY(Storage out, compute());
    graph.complete(id, out);
    return Tensor{id, std::move(out), true, graph.identity()};
  }
  QUARN_CHECK(graph.check_current(a));
  if (b != nullptr) QUARN_CHECK(graph.check_current(*b));
  QUARN_TRY(Storage out, compute());
  QUARN_TRY(std::size_t id, record());
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

// What the table says the rule of `op` reads, captured only when the node
// will be recorded.
Node node_for(Op op, const Tensor& a, const Tensor* b = nullptr) {
  const bool tracked = a.requires_grad || (b != nullptr && b->requires_grad);
  if (!tracked || info(op).saves == Saves::Nothing) return Node::of(op);
  return Node::saving(op, a.data, b == nullptr ? nullptr : &b->data);
}

template <class Compute>
Result<Tensor> binary(Op op, const Tensor& a, const Tensor& b, Compute&& compute) {
  return run(a, &b, node_for(op, a, &b), std::forward<Compute>(compute));
}

template <class Compute>
Result<Tensor> with_number(Op op, const Tensor& a, float s, Compute&& compute) {
  Node node = node_for(op, a);
  node.number = s;
  return run(a, nullptr, std::move(node), std::forward<Compute>(compute));
}

std::optional<Error> refused_dtype(Op op, const Tensor& a) {
  if (info(op).order != Order::Checked) return std::nullopt;  // the engine checks, after recording
  return unsupported_dtype(op, a.data.dtype());
}

Result<std::size_t> normalized_axis(std::ptrdiff_t axis, std::size_t ndim) {
  const auto n = static_cast<std::ptrdiff_t>(ndim);
  if (axis < -n || axis >= n)
    return index_error("axis " + std::to_string(axis) + " is out of bounds for tensor of dimension " +
                       std::to_string(ndim));
  return static_cast<std::size_t>(axis < 0 ? axis + n : axis);
}

// Ascending, without repeats; every axis when none are given.
Result<Shape> normalized_axes(const AxisList& axes, std::size_t ndim) {
  Shape out;
  if (!axes) {
    for (std::size_t i = 0; i < ndim; ++i) out.push_back(i);
    return out;
  }
  std::vector<bool> seen(ndim, false);
  for (std::ptrdiff_t axis : *axes) {
    QUARN_TRY(std::size_t a, normalized_axis(axis, ndim));
    if (seen[a]) return value_error("duplicate value in 'axis'");
    seen[a] = true;
  }
  for (std::size_t i = 0; i < ndim; ++i)
    if (seen[i]) out.push_back(i);
  return out;
}

Result<Storage> reduction_of(Op op, const Storage& a, const Shape& axes, bool keepdims) {
  switch (op) {
#define QUARN_REDUCTION_CASE(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc) \
  case Op::name:                                                                                    \
    return engine::reduce(engine::ReduceOp::kernel, a, axes, keepdims);
    QUARN_REDUCTIONS(QUARN_REDUCTION_CASE)
#undef QUARN_REDUCTION_CASE
    default:
      fault("internal error: " + std::string(info(op).name) + " is not a reduction");
  }
}

Result<Storage> row_operation_of(Op op, const Storage& a, std::size_t axis) {
  switch (op) {
    case Op::log_softmax:
      return engine::log_softmax(a, axis);
    case Op::softmax:
      return engine::softmax(a, axis);
    default:
      fault("internal error: " + std::string(info(op).name) + " is not a row operation");
  }
}

}  // namespace

// ---- Operators ----------------------------------------------------------------------

Result<Tensor> add(const Tensor& a, const Tensor& b) {
  return binary(Op::add, a, b, [&] { return engine::add(a.data, b.data); });
}
Result<Tensor> sub(const Tensor& a, const Tensor& b) {
  return binary(Op::sub, a, b, [&] { return engine::sub(a.data, b.data); });
}
Result<Tensor> mul(const Tensor& a, const Tensor& b) {
  return binary(Op::mul, a, b, [&] { return engine::mul(a.data, b.data); });
}
Result<Tensor> div(const Tensor& a, const Tensor& b) {
  return binary(Op::div, a, b, [&] { return engine::div(a.data, b.data); });
}
Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
  return binary(Op::matmul, a, b, [&] { return engine::matmul(a.data, b.data); });
}

Result<Tensor> scalar_add(const Tensor& a, float s) {
  return with_number(Op::scalar_add, a, s, [&] { return engine::scalar_add(a.data, s); });
}
Result<Tensor> scalar_sub(const Tensor& a, float s) {
  return with_number(Op::scalar_sub, a, s, [&] { return engine::scalar_sub(a.data, s); });
}
Result<Tensor> scalar_mul(const Tensor& a, float s) {
  return with_number(Op::scalar_mul, a, s, [&] { return engine::scalar_product(a.data, s); });
}
// Division by a number is a product with its binary32 reciprocal, so it can
// differ from a true quotient in the last place; the gradient rule forms the
// same reciprocal.
Result<Tensor> scalar_div(const Tensor& a, float s) {
  const float r = 1.0f / s;
  return with_number(Op::scalar_div, a, s, [&] { return engine::scalar_product(a.data, r); });
}
Result<Tensor> scalar_rdiv(const Tensor& a, float s) {
  return with_number(Op::scalar_rdiv, a, s, [&] { return engine::scalar_rdiv(a.data, s); });
}

// ---- Shape operations -------------------------------------------------------------------

Result<Tensor> reshape(const Tensor& a, const Shape& shape) {
  Node node = Node::of(Op::reshape);
  if (a.requires_grad) {
    node.saved = std::make_unique<autograd::Saved>();
    node.saved->shape = a.data.shape();
  }
  return run(a, nullptr, std::move(node), [&] { return engine::reshape(a.data, shape); });
}

Result<Tensor> transpose(const Tensor& a, std::size_t dim0, std::size_t dim1) {
  Node node = Node::of(Op::transpose);
  node.axis0 = dim0;
  node.axis1 = dim1;
  return run(a, nullptr, std::move(node), [&]() -> Result<Storage> { return engine::transpose(a.data, dim0, dim1); });
}

// ---- The table's families -----------------------------------------------------------------

Result<Tensor> map(Op op, const Tensor& a) {
  if (auto error = refused_dtype(op, a)) return *error;
  return run(a, nullptr, node_for(op, a), [&] { return engine::map(op, a.data); });
}

Result<Tensor> reduce(Op op, const Tensor& a, const AxisList& axes, bool keepdims) {
  if (auto error = refused_dtype(op, a)) return *error;
  QUARN_TRY(Shape normalized, normalized_axes(axes, a.data.ndim()));
  Node node = node_for(op, a);
  if (a.requires_grad) {
    if (!node.saved) node.saved = std::make_unique<autograd::Saved>();
    node.saved->shape = a.data.shape();
    node.saved->axes = normalized;
    node.saved->keepdims = keepdims;
  }
  return run(a, nullptr, std::move(node), [&] { return reduction_of(op, a.data, normalized, keepdims); });
}

Result<Tensor> along_axis(Op op, const Tensor& a, std::ptrdiff_t axis) {
  if (auto error = refused_dtype(op, a)) return *error;
  QUARN_TRY(std::size_t ax, normalized_axis(axis, a.data.ndim()));
  Node node = node_for(op, a);
  node.axis0 = ax;
  return run(a, nullptr, std::move(node), [&] { return row_operation_of(op, a.data, ax); });
}

Result<Tensor> cross_entropy(const Tensor& logits, const std::vector<std::int64_t>& targets) {
  if (auto error = refused_dtype(Op::cross_entropy, logits)) return *error;
  const Shape& shape = logits.data.shape();
  if (shape.size() != 2)
    return value_error("cross_entropy expects logits of shape [N, C], got " + format_shape(shape));
  if (targets.size() != shape[0])
    return value_error("Expected input batch_size (" + std::to_string(shape[0]) + ") to match target batch_size (" +
                       std::to_string(targets.size()) + ").");
  std::vector<std::size_t> classes(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (targets[i] < 0 || static_cast<std::uint64_t>(targets[i]) >= shape[1])
      return index_error("Target " + std::to_string(targets[i]) + " is out of bounds for " + std::to_string(shape[1]) +
                         " classes.");
    classes[i] = static_cast<std::size_t>(targets[i]);
  }
  Node node = node_for(Op::cross_entropy, logits);
  if (logits.requires_grad) node.saved->targets = classes;
  return run(logits, nullptr, std::move(node),
             [&]() -> Result<Storage> { return engine::cross_entropy(logits.data, classes); });
}

// The shapes must be equal: broadcasting [N] against [N, 1] would silently
// average N * N differences, a mistake no user means.
Result<Tensor> mse_loss(const Tensor& pred, const Tensor& target) {
  if (auto error = engine::arithmetic_dtype_error(pred.data.dtype(), target.data.dtype())) return *error;
  if (pred.data.shape() != target.data.shape())
    return value_error("mse_loss expects pred and target of the same shape, got " + format_shape(pred.data.shape()) +
                       " and " + format_shape(target.data.shape()) + "; broadcast one of them explicitly");
  return binary(Op::mse_loss, pred, target, [&] { return engine::mse_loss(pred.data, target.data); });
}

// ---- Never recorded ---------------------------------------------------------------------------

Result<Tensor> compare(engine::CompareOp op, const Tensor& a, const Tensor& b) {
  return untracked(engine::compare(op, a.data, b.data));
}
Result<Tensor> compare_scalar(engine::CompareOp op, const Tensor& a, float s) {
  return untracked(engine::compare_scalar(op, a.data, s));
}
Result<Tensor> logical(engine::LogicOp op, const Tensor& a, const Tensor& b) {
  return untracked(engine::logical(op, a.data, b.data));
}
Result<Tensor> logical_not(const Tensor& a) {
  if (a.data.dtype() != DType::Bool)
    return runtime_error("Logical NOT is only supported for Bool data type.");
  return untracked(engine::logical_not(a.data));
}
Tensor zeros_like(const Tensor& a) { return untracked(engine::zeros_like(a.data)); }
Tensor ones_like(const Tensor& a) { return untracked(engine::ones_like(a.data)); }

Tensor make_leaf(Storage data, bool requires_grad) {
  if (requires_grad) return thread_graph().add_leaf(std::move(data));
  return untracked(std::move(data));
}

}  // namespace quarn::ops

// ---- For the front ends of other files (recording.hpp) ---------------------------------

namespace quarn::ops {

Result<Tensor> run_recorded(const Tensor& a, const Tensor* b, autograd::Node node,
                            const std::function<Result<Storage>()>& compute) {
  return run(a, b, std::move(node), compute);
}

autograd::Node node_reading(Op op, const Tensor& a, const Tensor* b) { return node_for(op, a, b); }

}  // namespace quarn::ops

namespace quarn::ops {

// The shared `run` for the one-operand front ends written in other files of
// this layer.
Result<Tensor> run_one(const Tensor& a, autograd::Node node, const std::function<Result<Storage>()>& compute) {
  return run(a, nullptr, std::move(node), compute);
}

}  // namespace quarn::ops
