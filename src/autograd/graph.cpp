#include "autograd/graph.hpp"

#include <atomic>

#include "runtime/fault.hpp"

namespace quarn::autograd {

namespace {

// One counter for the whole process: identities never repeat, not across
// clearings and not across threads, so a stale record can never match.
std::uint64_t next_identity() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

constexpr char kStaleOperand[] =
    "Tensor belongs to a computation graph that no longer exists: it was recorded before the last "
    "clear_graph() or on another thread. Make it again after clear_graph(), for example "
    "Tensor(t.to_numpy(), requires_grad=True), and use the new tensor.";

}  // namespace

Graph::Graph() : identity_(next_identity()) {}

WriteAccess::WriteAccess(Graph& g) : g_(g) {
  if (g.use_ != 0) fault("internal error: the graph store is already in use on this thread");
  g.use_ = -1;
}

ReadAccess::ReadAccess(const Graph& g) : g_(g) {
  if (g.use_ < 0) fault("internal error: the graph store is already in use on this thread");
  ++g.use_;
}

std::size_t WriteAccess::append(Node node) { return g_.append(std::move(node)); }

std::size_t Graph::append(Node node) {
  std::size_t id = nodes_.size();
  // Grow both lists before touching either, so that a failed allocation
  // leaves them the same length; growth is geometric, as push_back's would be.
  if (id == nodes_.capacity()) nodes_.reserve(id < 16 ? 32 : 2 * id);
  if (id == grads_.capacity()) grads_.reserve(id < 16 ? 32 : 2 * id);
  nodes_.push_back(std::move(node));
  grads_.emplace_back();
  return id;
}

void WriteAccess::set_grad(std::size_t id, Storage grad) {
  if (id >= g_.grads_.size()) g_.grads_.resize(id + 1);
  g_.grads_[id] = std::move(grad);
}

Tensor Graph::add_leaf(Storage data) {
  WriteAccess w(*this);
  std::size_t id = w.append(Node::leaf(data.shape()));
  return Tensor{id, std::move(data), true, identity_};
}

// A tensor that requires a gradient always has a node; only its graph can be
// the wrong one. A tensor that does not require one becomes a constant node.
Result<void> Graph::check_current(const Tensor& t) const {
  if (t.requires_grad && !is_current(t)) return runtime_error(kStaleOperand);
  return {};
}

std::size_t Graph::operand_id(const Tensor& t) {
  if (t.node_id) return *t.node_id;
  return append(Node::constant(t.data.shape()));
}

Result<std::size_t> Graph::record(const Tensor& a, Node node) {
  QUARN_CHECK(check_current(a));
  WriteAccess w(*this);
  node.inputs[0] = operand_id(a);
  return w.append(std::move(node));
}

Result<std::size_t> Graph::record(const Tensor& a, const Tensor& b, Node node) {
  QUARN_CHECK(check_current(a));
  QUARN_CHECK(check_current(b));
  WriteAccess w(*this);
  node.inputs[0] = operand_id(a);
  node.inputs[1] = operand_id(b);
  return w.append(std::move(node));
}

Result<std::size_t> Graph::record(const Tensor& a, const Tensor& b, const Tensor& c, Node node) {
  QUARN_CHECK(check_current(a));
  QUARN_CHECK(check_current(b));
  QUARN_CHECK(check_current(c));
  WriteAccess w(*this);
  node.inputs[0] = operand_id(a);
  node.inputs[1] = operand_id(b);
  node.inputs[2] = operand_id(c);
  return w.append(std::move(node));
}

void Graph::complete(std::size_t id, const Storage& result) {
  WriteAccess w(*this);
  Node& node = nodes_[id];
  node.own_shape = result.shape();
  if (node.keeps_result()) {
    if (!node.saved) node.saved = std::make_unique<Saved>();
    node.saved->result = result;
  }
}

std::optional<Storage> Graph::get_grad(const Tensor& t) const {
  if (!is_current(t)) return std::nullopt;
  return get_grad(*t.node_id);
}

std::optional<Storage> Graph::get_grad(std::size_t id) const {
  ReadAccess r(*this);
  if (id >= grads_.size()) return std::nullopt;
  return grads_[id];
}

void Graph::clear() {
  WriteAccess w(*this);
  // Destroy in index order, as the nodes were made; the lists keep their
  // capacity so a training loop that clears every step stops allocating.
  for (auto& n : nodes_) n = Node{};
  nodes_.clear();
  for (auto& g : grads_) g.reset();
  grads_.clear();
  identity_ = next_identity();
}

Graph& thread_graph() {
  thread_local Graph graph;
  return graph;
}

}  // namespace quarn::autograd
