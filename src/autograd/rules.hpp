// The gradient rules: one small function per rule named in the operation
// table (core/operations.def), and the table from operation to rule.
#pragma once

#include "autograd/context.hpp"
#include "autograd/node.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::autograd {

// Adds the contributions of a node's inputs, for the gradient g that reached
// it, into the context.
using Rule = Result<void> (*)(const Node& node, GradContext& ctx, const Storage& g);

namespace rules {
#define QUARN_DECLARE_RULE(name, family, order, dtypes, compute, saves, rule, ...) \
  Result<void> rule(const Node&, GradContext&, const Storage&);
QUARN_OPERATIONS(QUARN_DECLARE_RULE)
#undef QUARN_DECLARE_RULE
}  // namespace rules

// The rule of the node's operation (leaves and constants have none).
Result<void> apply_rule(const Node& node, GradContext& ctx, const Storage& g);

}  // namespace quarn::autograd
