// One node of the computation graph: the operation that made it and what its
// gradient rule reads, captured when the operation is recorded. Operand
// values are held through shared storage handles, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/operation.hpp"
#include "core/shape.hpp"
#include "core/storage.hpp"
#include "engine/conv/window.hpp"
#include "engine/indexing.hpp"

namespace quarn::autograd {

// The values a rule reads besides ids and numbers, by name. Kept out of line
// so that the common node stays small: the graph appends one per recorded
// operation.
struct Saved {
  Storage input;   // the first operand's values
  Storage other;   // the second operand's values
  Storage result;  // the operation's result, once it exists
  Shape shape;     // reshape and reductions: the operand's shape before
  Shape axes;      // reductions: the reduced axes, ascending
  bool keepdims = false;
  std::vector<std::size_t> targets;  // cross-entropy: one class per row
  // getitem: what was selected; take: the positions. Held by pointer so
  // that every other rule's Saved stays small.
  std::shared_ptr<const engine::Selection> selection;
  std::shared_ptr<const engine::Positions> positions;
  engine::Window window;             // convolutions and pooling
  // The losses of nn_ops: index targets (ignore_index may stand among them),
  // class or element weights, pos_weight, and the number arguments.
  std::vector<std::int64_t> labels;
  Storage weight;
  Storage pos_weight;
  std::int64_t ignore_index = -100;
  // layer_norm: each row's mean and 1/std; pad: the pads before and after
  // each axis.
  std::vector<float> stats;
  std::vector<std::size_t> before, after;
};

struct Node {
  Op op = Op::leaf;
  float number = 0.0f;             // the number of a scalar operation
  float number2 = 0.0f;            // a map's second number (softplus's threshold, clip's max)
  // Filled in by Graph::record; the third only for layer_norm's bias.
  std::size_t inputs[3] = {0, 0, 0};
  std::size_t axis0 = 0, axis1 = 0;  // transpose's axes; the axis of a row operation
  // The shape of the tensor this node stands for. A gradient that reaches the
  // node may be larger (a broadcast of it); summed over the extra axes it is
  // the true gradient. Set once the operation's result exists.
  Shape own_shape;
  std::unique_ptr<Saved> saved;

  bool is_constant() const { return op == Op::constant; }
  bool keeps_result() const { return info(op).saves == Saves::Result; }

  static Node leaf(const Shape& shape) {
    Node n;
    n.own_shape = shape;
    return n;
  }
  static Node constant(const Shape& shape) {
    Node n = of(Op::constant);
    n.own_shape = shape;
    return n;
  }
  static Node of(Op op, float number = 0.0f) {
    Node n;
    n.op = op;
    n.number = number;
    return n;
  }
  // A node of `op` with the operand values its row of the table says the
  // rule reads (the result is added by Graph::complete). `b` may be null for
  // a one-operand operation.
  static Node saving(Op op, const Storage& a, const Storage* b = nullptr) {
    Node n = of(op);
    n.saved = std::make_unique<Saved>();
    const Saves saves = info(op).saves;
    if (saves == Saves::Input || saves == Saves::Operands) n.saved->input = a;
    if (saves == Saves::Operands && b != nullptr) n.saved->other = *b;
    return n;
  }
};

}  // namespace quarn::autograd
