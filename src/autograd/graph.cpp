#include "autograd/graph.hpp"

#include "runtime/fault.hpp"

namespace quarn::autograd {

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

std::size_t Graph::add_leaf() {
  WriteAccess w(*this);
  return w.append(Node::leaf());
}

std::size_t Graph::operand_id(const Tensor& t) {
  if (t.node_id) return *t.node_id;
  return append(Node::constant());
}

std::size_t Graph::record(const Tensor& a, Node node) {
  WriteAccess w(*this);
  node.inputs[0] = operand_id(a);
  return w.append(std::move(node));
}

std::size_t Graph::record(const Tensor& a, const Tensor& b, Node node) {
  WriteAccess w(*this);
  node.inputs[0] = operand_id(a);
  node.inputs[1] = operand_id(b);
  return w.append(std::move(node));
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
}

Graph& thread_graph() {
  thread_local Graph graph;
  return graph;
}

}  // namespace quarn::autograd
