#include "autograd/engine.hpp"

#include "autograd/graph.hpp"
#include "engine/ops.hpp"
#include "runtime/fault.hpp"

namespace quarn::autograd {

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
  QUARN_TRY(Storage sum, engine::add(*slot, g));
  slot = std::move(sum);
  return {};
}

Result<void> run_backward(std::size_t root, Storage seed) {
  WriteAccess store(thread_graph());
  GradContext ctx(store.size());
  ctx.set(root, std::move(seed));
  for (std::size_t i = root + 1; i-- > 0;) {
    std::optional<Storage> g = ctx.take(i);
    if (!g) continue;
    if (i >= store.size()) fault_index_out_of_bounds(store.size(), i);
    QUARN_CHECK(apply_rule(store.node(i), ctx, *g));
    ctx.set(i, std::move(*g));
  }
  // Nothing is written before here, and nothing below can fail, so a failed
  // pass leaves the stored gradients untouched.
  for (std::size_t i = 0; i < ctx.size(); ++i)
    if (auto& slot = ctx.slot(i)) store.set_grad(i, std::move(*slot));
  return {};
}

}  // namespace quarn::autograd
