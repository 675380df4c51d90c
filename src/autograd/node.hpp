// One node of the computation graph: its kind and what its gradient rule
// needs, captured when the operation is recorded. Operand values are held
// through shared storage handles, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/shape.hpp"
#include "core/storage.hpp"

namespace quarn::autograd {

enum class NodeKind : std::uint8_t {
  kLeaf,
  kConstant,
  kScalarAdd,
  kScalarSub,
  kScalarProduct,
  kScalarDiv,   // t / s: the divisor is kept
  kScalarRdiv,  // s / t: the number and the operand's values are kept
  kAdd,
  kSub,
  kMul,
  kDiv,
  kMatmul,
  kReshape,
  kTranspose,
  kRelu,
};

// What a rule reads besides ids and numbers. Kept out of line so that the
// common node stays small: the graph appends one per recorded operation.
struct Captured {
  Shape shape;       // reshape: the operand's shape before
  Storage lhs, rhs;  // operand values that the rule reads
};

struct Node {
  NodeKind kind = NodeKind::kLeaf;
  float scalar = 0.0f;             // the number of a scalar operation
  std::size_t inputs[2] = {0, 0};  // filled in by Graph::record
  std::size_t dim0 = 0, dim1 = 0;  // transpose axes
  // The shape of the tensor this node stands for. A gradient that reaches the
  // node may be larger (a broadcast of it); summed over the extra axes it is
  // the true gradient. Set once the operation's result exists.
  Shape own_shape;
  std::unique_ptr<Captured> captured;

  const Storage& lhs() const { return captured->lhs; }
  const Storage& rhs() const { return captured->rhs; }
  const Shape& shape_before() const { return captured->shape; }
  bool is_constant() const { return kind == NodeKind::kConstant; }

  static Node leaf(const Shape& shape) {
    Node n;
    n.own_shape = shape;
    return n;
  }
  static Node constant(const Shape& shape) {
    Node n = of(NodeKind::kConstant);
    n.own_shape = shape;
    return n;
  }
  static Node of(NodeKind kind, float s = 0.0f) {
    Node n;
    n.kind = kind;
    n.scalar = s;
    return n;
  }
  static Node capturing(NodeKind kind, const Storage& a, const Storage& b) {
    Node n = of(kind);
    n.captured.reset(new Captured{{}, a, b});
    return n;
  }
  static Node capturing(NodeKind kind, const Storage& input, float s = 0.0f) {
    Node n = of(kind, s);
    n.captured.reset(new Captured{{}, input, {}});
    return n;
  }
  static Node reshape(Shape before) {
    Node n = of(NodeKind::kReshape);
    n.captured.reset(new Captured{std::move(before), {}, {}});
    return n;
  }
  static Node transpose(std::size_t d0, std::size_t d1) {
    Node n = of(NodeKind::kTranspose);
    n.dim0 = d0;
    n.dim1 = d1;
    return n;
  }
};

}  // namespace quarn::autograd
