#include "ops/elementwise_ops.hpp"

#include <memory>
#include <utility>

#include "engine/map_ops.hpp"
#include "ops/recording.hpp"

namespace quarn::ops {

Result<Tensor> param_map(Op op, const Tensor& a, float first, float second) {
  if (auto error = unsupported_dtype(op, a.data.dtype())) return *error;
  autograd::Node node = node_reading(op, a);
  node.number = first;
  node.number2 = second;
  return run_recorded(a, nullptr, std::move(node),
                      [&] { return engine::param_map(op, a.data, first, second); });
}

Result<Tensor> pairwise(Op op, const Tensor& a, const Tensor& b) {
  return run_recorded(a, &b, node_reading(op, a, &b), [&] { return engine::pairwise(op, a.data, b.data); });
}

// The condition is kept as the node's saved input; a and b are its operands.
Result<Tensor> where(const Tensor& cond, const Tensor& a, const Tensor& b) {
  autograd::Node node = autograd::Node::of(Op::where);
  if (a.requires_grad || b.requires_grad) {
    node.saved = std::make_unique<autograd::Saved>();
    node.saved->input = cond.data;
  }
  return run_recorded(a, &b, std::move(node), [&] { return engine::where(cond.data, a.data, b.data); });
}

}  // namespace quarn::ops
