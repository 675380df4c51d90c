// One node of the computation graph: its kind and what its gradient rule
// needs, captured when the operation is recorded. Operand values are held
// through shared storage handles, never copied.
#pragma once

#include <cstddef>
#include <cstdint>

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

struct Node {
  NodeKind kind = NodeKind::kLeaf;
  std::size_t inputs[2] = {0, 0};  // filled in by Graph::record
  float scalar = 0.0f;             // the number of a scalar operation
  std::size_t dim0 = 0, dim1 = 0;  // transpose axes
  Shape shape;                     // reshape: the operand's shape before
  Storage lhs, rhs;                // operand values that the rule reads

  static Node leaf() { return Node{}; }
  static Node constant() {
    Node n;
    n.kind = NodeKind::kConstant;
    return n;
  }
  static Node with_scalar(NodeKind kind, float s) {
    Node n;
    n.kind = kind;
    n.scalar = s;
    return n;
  }
  static Node binary(NodeKind kind) {
    Node n;
    n.kind = kind;
    return n;
  }
  static Node binary_keeping(NodeKind kind, const Storage& a, const Storage& b) {
    Node n;
    n.kind = kind;
    n.lhs = a;
    n.rhs = b;
    return n;
  }
  static Node reshape(Shape before) {
    Node n;
    n.kind = NodeKind::kReshape;
    n.shape = std::move(before);
    return n;
  }
  static Node transpose(std::size_t d0, std::size_t d1) {
    Node n;
    n.kind = NodeKind::kTranspose;
    n.dim0 = d0;
    n.dim1 = d1;
    return n;
  }
  static Node unary_keeping(NodeKind kind, const Storage& input, float s = 0.0f) {
    Node n;
    n.kind = kind;
    n.lhs = input;
    n.scalar = s;
    return n;
  }
};

}  // namespace quarn::autograd
