// The gradient rule of every node kind.
#pragma once

#include "autograd/context.hpp"
#include "autograd/node.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::autograd {

// Adds the contributions of `node`'s inputs, for the gradient `grad` that
// reached it, into `ctx`.
Result<void> apply_rule(const Node& node, GradContext& ctx, const Storage& grad);

}  // namespace quarn::autograd
