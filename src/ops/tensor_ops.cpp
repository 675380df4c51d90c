#include "ops/tensor_ops.hpp"

#include <string>
#include <utility>

#include "autograd/graph.hpp"
#include "engine/dtype_rules.hpp"

namespace quarn::ops {

namespace {

using autograd::Node;
using autograd::NodeKind;
using autograd::thread_graph;

Tensor untracked(Storage s) { return Tensor{std::nullopt, std::move(s), false}; }

Result<Tensor> untracked(Result<Storage>&& r) {
  if (!r.ok()) return std::move(r).error();
  return untracked(std::move(r).value());
}

// Records first, computes second; `compute` returns Result<Storage>. The
// node learns its shape once the result exists: a failed computation leaves
// a node that no tensor names, so it never needs one.
template <class Compute>
Result<Tensor> unary(const Tensor& a, Node node, Compute&& compute) {
  if (!a.requires_grad) return untracked(compute());
  auto& graph = thread_graph();
  QUARN_TRY(std::size_t id, graph.record(a, std::move(node)));
  QUARN_TRY(Storage out, compute());
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

template <class Compute>
Result<Tensor> binary(const Tensor& a, const Tensor& b, Node node, Compute&& compute) {
  if (!(a.requires_grad || b.requires_grad)) return untracked(compute());
  auto& graph = thread_graph();
  QUARN_TRY(std::size_t id, graph.record(a, b, std::move(node)));
  QUARN_TRY(Storage out, compute());
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

// Captured operand storages only matter when the node is actually recorded.
Node node_keeping_operands(NodeKind kind, const Tensor& a, const Tensor& b) {
  if (!(a.requires_grad || b.requires_grad)) return Node::of(kind);
  return Node::capturing(kind, a.data, b.data);
}

Node node_keeping_operands(NodeKind kind, const Tensor& a, float s = 0.0f) {
  if (!a.requires_grad) return Node::of(kind, s);
  return Node::capturing(kind, a.data, s);
}

}  // namespace

Result<Tensor> add(const Tensor& a, const Tensor& b) {
  return binary(a, b, Node::of(NodeKind::kAdd), [&] { return engine::add(a.data, b.data); });
}
Result<Tensor> sub(const Tensor& a, const Tensor& b) {
  return binary(a, b, Node::of(NodeKind::kSub), [&] { return engine::sub(a.data, b.data); });
}
Result<Tensor> mul(const Tensor& a, const Tensor& b) {
  return binary(a, b, node_keeping_operands(NodeKind::kMul, a, b), [&] { return engine::mul(a.data, b.data); });
}
Result<Tensor> div(const Tensor& a, const Tensor& b) {
  return binary(a, b, node_keeping_operands(NodeKind::kDiv, a, b), [&] { return engine::div(a.data, b.data); });
}
Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
  return binary(a, b, node_keeping_operands(NodeKind::kMatmul, a, b),
                [&] { return engine::matmul(a.data, b.data); });
}

Result<Tensor> scalar_add(const Tensor& a, float s) {
  return unary(a, Node::of(NodeKind::kScalarAdd, s),
               [&] { return engine::scalar_add(a.data, s); });
}
Result<Tensor> scalar_sub(const Tensor& a, float s) {
  return unary(a, Node::of(NodeKind::kScalarSub, s),
               [&] { return engine::scalar_sub(a.data, s); });
}
Result<Tensor> scalar_mul(const Tensor& a, float s) {
  return unary(a, Node::of(NodeKind::kScalarProduct, s),
               [&] { return engine::scalar_product(a.data, s); });
}
// Division by a number is a product with its binary32 reciprocal, so it can
// differ from a true quotient in the last place; the gradient rule forms the
// same reciprocal.
Result<Tensor> scalar_div(const Tensor& a, float s) {
  float r = 1.0f / s;
  return unary(a, Node::of(NodeKind::kScalarDiv, s),
               [&] { return engine::scalar_product(a.data, r); });
}
Result<Tensor> scalar_rdiv(const Tensor& a, float s) {
  return unary(a, node_keeping_operands(NodeKind::kScalarRdiv, a, s), [&] { return engine::scalar_rdiv(a.data, s); });
}

Result<Tensor> reshape(const Tensor& a, const Shape& shape) {
  Node node = a.requires_grad ? Node::reshape(a.data.shape()) : Node::of(NodeKind::kReshape);
  return unary(a, std::move(node), [&] { return engine::reshape(a.data, shape); });
}

Result<Tensor> transpose(const Tensor& a, std::size_t dim0, std::size_t dim1) {
  return unary(a, Node::transpose(dim0, dim1),
               [&]() -> Result<Storage> { return engine::transpose(a.data, dim0, dim1); });
}

Result<Tensor> relu(const Tensor& a) {
  return unary(a, node_keeping_operands(NodeKind::kRelu, a), [&] { return engine::relu(a.data); });
}

// ---- Beyond the operators ----------------------------------------------------------

namespace {

std::optional<Error> unsupported_bool(const Tensor& a, const char* operation) {
  if (a.data.dtype() != DType::Bool) return std::nullopt;
  return type_error(std::string("Tensor Dtype not supported for this operation: ") + operation);
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

template <class Compute>
Result<Tensor> element_map(const Tensor& a, const char* name, Node node, Compute&& compute) {
  if (auto error = unsupported_bool(a, name)) return *error;
  return unary(a, std::move(node), std::forward<Compute>(compute));
}

Result<Tensor> reduction(NodeKind kind, const char* name, const Tensor& a, const AxisList& axes, bool keepdims) {
  if (auto error = unsupported_bool(a, name)) return *error;
  QUARN_TRY(Shape normalized, normalized_axes(axes, a.data.ndim()));
  Node node = a.requires_grad ? Node::reduction(kind, a.data.shape(), normalized, keepdims) : Node::of(kind);
  return unary(a, std::move(node), [&]() -> Result<Storage> {
    if (kind == NodeKind::kSum) return engine::sum(a.data, normalized, keepdims);
    return engine::mean(a.data, normalized, keepdims);
  });
}

}  // namespace

Result<Tensor> exp(const Tensor& a) {
  return element_map(a, "exp", Node::keeping_result(NodeKind::kExp), [&] { return engine::exp(a.data); });
}
Result<Tensor> log(const Tensor& a) {
  return element_map(a, "log", node_keeping_operands(NodeKind::kLog, a), [&] { return engine::log(a.data); });
}
Result<Tensor> tanh(const Tensor& a) {
  return element_map(a, "tanh", Node::keeping_result(NodeKind::kTanh), [&] { return engine::tanh(a.data); });
}
Result<Tensor> sigmoid(const Tensor& a) {
  return element_map(a, "sigmoid", Node::keeping_result(NodeKind::kSigmoid),
                     [&] { return engine::sigmoid(a.data); });
}

Result<Tensor> sum(const Tensor& a, const AxisList& axes, bool keepdims) {
  return reduction(NodeKind::kSum, "sum", a, axes, keepdims);
}
Result<Tensor> mean(const Tensor& a, const AxisList& axes, bool keepdims) {
  return reduction(NodeKind::kMean, "mean", a, axes, keepdims);
}

Result<Tensor> log_softmax(const Tensor& a, std::ptrdiff_t axis) {
  if (auto error = unsupported_bool(a, "log_softmax")) return *error;
  QUARN_TRY(std::size_t ax, normalized_axis(axis, a.data.ndim()));
  Node node = node_keeping_operands(NodeKind::kLogSoftmax, a);
  node.dim0 = ax;
  return unary(a, std::move(node), [&]() -> Result<Storage> { return engine::log_softmax(a.data, ax); });
}

Result<Tensor> softmax(const Tensor& a, std::ptrdiff_t axis) {
  if (auto error = unsupported_bool(a, "softmax")) return *error;
  QUARN_TRY(std::size_t ax, normalized_axis(axis, a.data.ndim()));
  return unary(a, Node::keeping_result(NodeKind::kSoftmax, ax),
               [&]() -> Result<Storage> { return engine::softmax(a.data, ax); });
}

Result<Tensor> cross_entropy(const Tensor& logits, const std::vector<std::int64_t>& targets) {
  if (auto error = unsupported_bool(logits, "cross_entropy")) return *error;
  const Shape& shape = logits.data.shape();
  if (shape.size() != 2)
    return value_error("cross_entropy expects logits of shape [N, C], got " + format_shape(shape));
  if (targets.size() != shape[0])
    return value_error("Expected input batch_size (" + std::to_string(shape[0]) + ") to match target batch_size (" +
                       std::to_string(targets.size()) + ").");
  std::vector<std::size_t> classes(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (targets[i] < 0 || static_cast<std::uint64_t>(targets[i]) >= shape[1])
      return index_error("Target " + std::to_string(targets[i]) + " is out of bounds.");
    classes[i] = static_cast<std::size_t>(targets[i]);
  }
  Node node = node_keeping_operands(NodeKind::kCrossEntropy, logits);
  if (logits.requires_grad) node.captured->targets = classes;
  return unary(logits, std::move(node),
               [&]() -> Result<Storage> { return engine::cross_entropy(logits.data, classes); });
}

Result<Tensor> mse_loss(const Tensor& pred, const Tensor& target) {
  if (auto error = engine::arithmetic_dtype_error(pred.data.dtype(), target.data.dtype())) return *error;
  return binary(pred, target, node_keeping_operands(NodeKind::kMseLoss, pred, target),
                [&] { return engine::mse_loss(pred.data, target.data); });
}

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
