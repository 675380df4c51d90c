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

class GradContext {
 public:
  // `nodes` is the graph the pass walks; the context reads each node's own
  // shape and kind from it.
  explicit GradContext(std::span<const Node> nodes) : nodes_(nodes), slots_(nodes.size()) {}

  void set(std::size_t id, Storage g);
  // Adds `g` into slot `id`. Contributions of one shape are added as they
  // are; contributions of different shapes (broadcasts of the node's shape by
  // different amounts) are each summed back to the node's own shape first.
  // A failed addition leaves the slot as it was.
  Result<void> accumulate(std::size_t id, Storage g);
  std::optional<Storage> take(std::size_t id);

  // False for a constant node: no tensor can ever read its gradient, so a
  // rule need not compute the contribution.
  bool wants(std::size_t id) const { return id >= nodes_.size() || !nodes_[id].is_constant(); }
  const Shape& own_shape(std::size_t id) const { return nodes_[id].own_shape; }

  std::size_t size() const { return slots_.size(); }
  std::optional<Storage>& slot(std::size_t id) { return slots_[id]; }

 private:
  void grow_to(std::size_t id) {
    if (id >= slots_.size()) slots_.resize(id + 1);
  }
  std::span<const Node> nodes_;
  std::vector<std::optional<Storage>> slots_;
};

}  // namespace quarn::autograd
