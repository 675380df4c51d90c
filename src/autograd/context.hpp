// The gradient slots of one backward pass.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::autograd {

class GradContext {
 public:
  explicit GradContext(std::size_t n) : slots_(n) {}

  void set(std::size_t id, Storage g);
  // Adds `g` into slot `id` (with broadcasting); a failed addition leaves the
  // slot as it was.
  Result<void> accumulate(std::size_t id, Storage g);
  std::optional<Storage> take(std::size_t id);

  std::size_t size() const { return slots_.size(); }
  std::optional<Storage>& slot(std::size_t id) { return slots_[id]; }

 private:
  void grow_to(std::size_t id) {
    if (id >= slots_.size()) slots_.resize(id + 1);
  }
  std::vector<std::optional<Storage>> slots_;
};

}  // namespace quarn::autograd
