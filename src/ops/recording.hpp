// The recording path of tensor_ops.cpp for front ends in other files of this
// layer: the same `run` (the table's order decides when the node is
// recorded) and the same capture of what a rule reads.
#pragma once

#include <functional>

#include "autograd/node.hpp"
#include "core/operation.hpp"
#include "core/tensor.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// `node` is the operation's node with what its rule reads; `b` is null for a
// one-operand operation.
Result<Tensor> run_recorded(const Tensor& a, const Tensor* b, autograd::Node node,
                            const std::function<Result<Storage>()>& compute);

// A node of `op` holding what the table says its rule reads, captured only
// when the node will be recorded.
autograd::Node node_reading(Op op, const Tensor& a, const Tensor* b = nullptr);

}  // namespace quarn::ops
