#include "ops/ops.hpp"

#include "autograd/graph.hpp"

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
  graph.set_own_shape(id, out.shape());
  return Tensor{id, std::move(out), true, graph.identity()};
}

template <class Compute>
Result<Tensor> binary(const Tensor& a, const Tensor& b, Node node, Compute&& compute) {
  if (!(a.requires_grad || b.requires_grad)) return untracked(compute());
  auto& graph = thread_graph();
  QUARN_TRY(std::size_t id, graph.record(a, b, std::move(node)));
  QUARN_TRY(Storage out, compute());
  graph.set_own_shape(id, out.shape());
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
