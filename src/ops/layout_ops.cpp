#include "ops/layout_ops.hpp"

#include <optional>
#include <utility>

#include "engine/layout_ops.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::ops {

using autograd::Node;

Result<Tensor> cast(const Tensor& a, DType to) {
  const DType from = a.data.dtype();
  if (from == to) return a;
  // A bool is a mask, not a quantity: nothing flows into it or out of it.
  if (from == DType::Bool || to == DType::Bool) return Tensor{std::nullopt, engine::cast(a.data, to), false};
  Node node = Node::of(Op::cast);
  node.axis0 = static_cast<std::size_t>(from);  // the gradient goes back to this dtype
  return run_one(a, std::move(node), [&]() -> Result<Storage> { return engine::cast(a.data, to); });
}

Result<Tensor> contiguous(const Tensor& a) {
  if (a.data.is_row_major()) return a;
  return run_one(a, Node::of(Op::contiguous), [&]() -> Result<Storage> { return engine::row_major(a.data); });
}

Result<Tensor> broadcast_to(const Tensor& a, const Shape& shape) {
  if (a.data.shape() == shape) return a;
  // Refused before anything is recorded, as the Checked order asks.
  QUARN_TRY(Storage out, engine::broadcast_to(a.data, shape));
  return run_one(a, Node::of(Op::broadcast_to), [&]() -> Result<Storage> { return std::move(out); });
}

}  // namespace quarn::ops
