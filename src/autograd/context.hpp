// The gradient slots of one backward pass.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "autograd/node.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::autograd {

// Holds a slot only for the ids a pass has reached, so that a pass costs what
// it reaches and not what the graph holds: a loss of three nodes recorded after
// a hundred thousand others walks three.
class GradContext {
 public:
  struct Slot {
    std::size_t id;
    std::optional<Storage> grad;
  };

  // `nodes` is the graph the pass walks; the context reads each node's own
  // shape and kind from it.
  explicit GradContext(std::span<const Node> nodes) : nodes_(nodes) {}

  void set(std::size_t id, Storage g);
  // Adds `g` into slot `id`. Contributions of one shape are added as they
  // are; contributions of different shapes (broadcasts of the node's shape by
  // different amounts) are each summed back to the node's own shape first.
  // A failed addition leaves the slot as it was.
  Result<void> accumulate(std::size_t id, Storage g);
  std::optional<Storage> take(std::size_t id);

  // The largest id below `bound` that a slot was made for, forgetting every
  // id at or above `bound` on the way; none once nothing below is pending.
  // Bounds only ever fall during a pass (each node hands gradients to smaller
  // ids), so an id passed over here is never wanted again.
  std::optional<std::size_t> next_below(std::size_t bound);

  // False for a constant node: no tensor can ever read its gradient, so a
  // rule need not compute the contribution.
  bool wants(std::size_t id) const { return id >= nodes_.size() || !nodes_[id].is_constant(); }
  const Shape& own_shape(std::size_t id) const { return nodes_[id].own_shape; }

  // Every slot made in this pass, filled or not, in the order they were made.
  std::span<Slot> slots() { return slots_; }

 private:
  std::optional<Storage>* find(std::size_t id);
  // The slot of `id`, made empty (and its id made pending) if it has none.
  std::optional<Storage>& slot_for(std::size_t id);
  std::size_t bucket(std::size_t id) const;
  void rehash(std::size_t buckets);

  std::span<const Node> nodes_;
  std::vector<Slot> slots_;
  // Open addressing over slots_: each bucket holds a slot's position plus
  // one, 0 for a free bucket; a power of two long and at most half full.
  std::vector<std::size_t> buckets_;
  // Ids of slots_ not yet walked, as a max-heap: the walk goes from the
  // largest id down, so every contribution to a node is in before its rule.
  std::vector<std::size_t> pending_;
};

}  // namespace quarn::autograd
