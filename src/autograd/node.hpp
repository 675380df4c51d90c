// One node of the computation graph: its kind and what its gradient rule
// needs, captured when the operation is recorded. Operand values are held
// through shared storage handles, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

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
  // Operations beyond the operators: element maps, reductions, softmax and
  // losses.
  kExp,       // keeps its result
  kLog,       // keeps its input
  kTanh,      // keeps its result
  kSigmoid,   // keeps its result
  kSum,       // keeps the input's shape, the axes, keepdims
  kMean,      // likewise
  kLogSoftmax,  // keeps its input; dim0 is the axis
  kSoftmax,     // keeps its result; dim0 is the axis
  kCrossEntropy,  // keeps the logits and the targets
  kMseLoss,       // keeps both operands
};

// What a rule reads besides ids and numbers. Kept out of line so that the
// common node stays small: the graph appends one per recorded operation.
struct Captured {
  Shape shape;       // reshape, sum, mean: the operand's shape before
  Storage lhs, rhs;  // operand values (or the result) that the rule reads
  Shape axes;        // sum, mean: the reduced axes
  bool keepdims = false;
  std::vector<std::size_t> targets;  // cross-entropy: one class per row
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
  // The rule reads the operation's result, which is kept once it exists.
  bool keeps_result = false;

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
  static Node keeping_result(NodeKind kind, std::size_t axis = 0) {
    Node n = of(kind);
    n.keeps_result = true;
    n.dim0 = axis;
    n.captured.reset(new Captured{});
    return n;
  }
  static Node reduction(NodeKind kind, Shape before, Shape axes, bool keepdims) {
    Node n = of(kind);
    n.captured.reset(new Captured{std::move(before), {}, {}, std::move(axes), keepdims, {}});
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
