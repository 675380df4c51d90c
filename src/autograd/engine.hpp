// The backward pass over the calling thread's graph.
#pragma once

#include <cstddef>

#include "core/storage.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::autograd {

// backward() of a tensor: checks that it has a node in this thread's current
// graph, seeds ones of its shape and runs the pass from its node. A tensor of
// a cleared or foreign graph is a fault, and the store stays untouched.
Result<void> backward(const Tensor& t);

// Walks the ids that the root reaches, from the root down, hands each one's
// gradient to its node's rule, and stores every gradient of the pass in the
// graph store; nodes the pass never reached keep what they had. A failed pass
// leaves the store's gradients as they were.
Result<void> run_backward(std::size_t root, Storage seed);

}  // namespace quarn::autograd
