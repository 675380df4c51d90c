// The per-thread graph store: every recorded node and the last gradient a
// backward pass stored for it. Ids are positions, handed out in the order
// operations happen, so a node's inputs always have smaller ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "autograd/node.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::autograd {

class Graph {
 public:
  Graph();

  // A new leaf node for a tensor of `shape`, as a record of this graph.
  Tensor add_leaf(Storage data);
  // Appends a constant node for each operand without a node_id (left first),
  // then `node` with its input ids filled in; returns the node's id. An
  // operand that requires a gradient but belongs to another graph (cleared,
  // or another thread's) is refused before anything is appended.
  Result<std::size_t> record(const Tensor& a, Node node);
  Result<std::size_t> record(const Tensor& a, const Tensor& b, Node node);
  Result<std::size_t> record(const Tensor& a, const Tensor& b, const Tensor& c, Node node);
  // RuntimeError for an operand that requires a gradient but belongs to
  // another graph (cleared, or another thread's); `record` makes the same
  // check, and front ends that refuse before computing make it first.
  Result<void> check_current(const Tensor& t) const;
  // Once a recorded operation has its result: the shape its node stands for,
  // and the result itself for a rule that reads it.
  void complete(std::size_t id, const Storage& result);

  // The stored gradient of `t`'s node; absent for a tensor of another graph.
  std::optional<Storage> get_grad(const Tensor& t) const;
  std::optional<Storage> get_grad(std::size_t id) const;
  void clear();

  std::size_t size() const { return nodes_.size(); }
  // Changes at every clear() and differs between threads and stores, so a
  // record can tell whether its node_id still names its own node here.
  std::uint64_t identity() const { return identity_; }
  bool is_current(const Tensor& t) const { return t.node_id && t.graph == identity_; }

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
  std::uint64_t identity_;
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
  std::span<const Node> nodes() const { return g_.nodes_; }
  void set_grad(std::size_t id, Storage grad);
  std::size_t append(Node node);

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
