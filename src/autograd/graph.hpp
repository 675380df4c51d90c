// The per-thread graph store: every recorded node and the last gradient a
// backward pass stored for it. Ids are positions, handed out in the order
// operations happen, so a node's inputs always have smaller ids.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "autograd/node.hpp"
#include "core/tensor.hpp"

namespace quarn::autograd {

class Graph {
 public:
  std::size_t add_leaf();
  // Appends a constant node for each operand without a node_id (left first),
  // then `node` with its input ids filled in; returns the node's id.
  std::size_t record(const Tensor& a, Node node);
  std::size_t record(const Tensor& a, const Tensor& b, Node node);

  std::optional<Storage> get_grad(std::size_t id) const;
  void clear();

  std::size_t size() const { return nodes_.size(); }

 private:
  friend class WriteAccess;
  friend class ReadAccess;
  std::size_t append(Node node);
  std::size_t operand_id(const Tensor& t);

  std::vector<Node> nodes_;
  std::vector<std::optional<Storage>> grads_;
  // 0 free, > 0 readers, -1 one writer. Not atomic: the store belongs to one
  // thread, and this only catches re-entry on that thread.
  mutable long use_ = 0;
};

// The calling thread's store, created empty on first use and destroyed with
// the thread.
Graph& thread_graph();

// Exclusive use of a store for a whole backward pass. Taking a store that is
// already in use on this thread is a fault.
class WriteAccess {
 public:
  explicit WriteAccess(Graph& g);
  ~WriteAccess() { g_.use_ = 0; }
  WriteAccess(const WriteAccess&) = delete;
  WriteAccess& operator=(const WriteAccess&) = delete;

  std::size_t size() const { return g_.nodes_.size(); }
  const Node& node(std::size_t id) const { return g_.nodes_[id]; }
  void set_grad(std::size_t id, Storage grad);
  std::size_t append(Node node);
  Graph& graph() { return g_; }

 private:
  Graph& g_;
};

class ReadAccess {
 public:
  explicit ReadAccess(const Graph& g);
  ~ReadAccess() { --g_.use_; }
  ReadAccess(const ReadAccess&) = delete;
  ReadAccess& operator=(const ReadAccess&) = delete;

 private:
  const Graph& g_;
};

}  // namespace quarn::autograd
