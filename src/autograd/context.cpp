#include "autograd/context.hpp"

#include "engine/storage_ops.hpp"

namespace quarn::autograd {

namespace {

// Summing a contribution back only pays off when it is actually larger than
// the node; one already of the node's shape is passed on as it is.
Result<Storage> to_own_shape(Storage g, const Shape& own) {
  if (g.shape() == own) return g;
  return engine::sum_to(g, own);
}

}  // namespace

void GradContext::set(std::size_t id, Storage g) {
  grow_to(id);
  slots_[id] = std::move(g);
}

std::optional<Storage> GradContext::take(std::size_t id) {
  if (id >= slots_.size()) return std::nullopt;
  std::optional<Storage> out;
  out.swap(slots_[id]);
  return out;
}

Result<void> GradContext::accumulate(std::size_t id, Storage g) {
  grow_to(id);
  auto& slot = slots_[id];
  if (!slot) {
    slot = std::move(g);
    return {};
  }
  if (slot->shape() == g.shape() || id >= nodes_.size()) {
    QUARN_TRY(Storage sum, engine::add(*slot, g));
    slot = std::move(sum);
    return {};
  }
  // Each contribution is the true one once summed over the axes by which it
  // exceeds the node; adding two different broadcasts directly would stretch
  // the smaller one and count it again along every axis it lacks.
  const Shape& own = nodes_[id].own_shape;
  QUARN_TRY(Storage current, to_own_shape(*slot, own));
  QUARN_TRY(Storage incoming, to_own_shape(std::move(g), own));
  QUARN_TRY(Storage sum, engine::add(current, incoming));
  slot = std::move(sum);
  return {};
}

}  // namespace quarn::autograd
