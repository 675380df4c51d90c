#include "autograd/engine.hpp"

#include "autograd/context.hpp"
#include "autograd/graph.hpp"
#include "autograd/rules.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/fault.hpp"

namespace quarn::autograd {

namespace {

constexpr char kStaleRoot[] =
    "backward() called on a tensor whose graph no longer exists: it was recorded before the last "
    "clear_graph() or on another thread. Make the tensors again after clear_graph() and compute the "
    "result from them.";

}  // namespace

Result<void> backward(const Tensor& t) {
  if (!t.requires_grad) return value_error("backward() called on tensor that does not require grad");
  if (!t.node_id) return value_error("backward() called on a constant tensor with no node_id");
  const Graph& graph = thread_graph();
  if (!graph.is_current(t)) {
    if (*t.node_id >= graph.size()) fault_index_out_of_bounds(graph.size(), *t.node_id);
    fault(kStaleRoot);
  }
  return run_backward(*t.node_id, engine::ones_like(t.data));
}

Result<void> run_backward(std::size_t root, Storage seed) {
  WriteAccess store(thread_graph());
  if (root >= store.size()) fault_index_out_of_bounds(store.size(), root);
  GradContext ctx(store.nodes());
  ctx.set(root, std::move(seed));
  // Only the ids that received a gradient are visited, largest first: a
  // node's inputs have smaller ids, so every contribution to a node is in
  // before its own rule runs.
  for (std::optional<std::size_t> i = ctx.next_below(root + 1); i; i = ctx.next_below(*i)) {
    std::optional<Storage> g = ctx.take(*i);
    if (!g) continue;
    if (*i >= store.size()) fault_index_out_of_bounds(store.size(), *i);
    QUARN_CHECK(apply_rule(store.node(*i), ctx, *g));
    ctx.set(*i, std::move(*g));
  }
  // Nothing is written before here, and nothing below can fail, so a failed
  // pass leaves the stored gradients untouched.
  for (auto& slot : ctx.slots())
    if (slot.grad) store.set_grad(slot.id, std::move(*slot.grad));
  return {};
}

}  // namespace quarn::autograd
