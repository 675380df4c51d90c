// Gradient rules, one per node kind. A contribution is never summed back to
// its input's shape: a broadcast input receives a gradient of the broadcast
// shape. The left contribution is accumulated first; if it fails, the right
// one is not attempted.
#include "autograd/engine.hpp"
#include "engine/ops.hpp"

namespace quarn::autograd {

namespace {

Result<void> pass_scaled(GradContext& ctx, std::size_t id, const Storage& g, float factor) {
  QUARN_TRY(Storage c, engine::scalar_product(g, factor));
  return ctx.accumulate(id, std::move(c));
}

Result<void> both(GradContext& ctx, const Node& n, Result<std::pair<Storage, Storage>> contributions) {
  if (!contributions.ok()) return std::move(contributions).error();
  auto& [left, right] = contributions.value();
  QUARN_CHECK(ctx.accumulate(n.inputs[0], std::move(left)));
  return ctx.accumulate(n.inputs[1], std::move(right));
}

}  // namespace

Result<void> apply_rule(const Node& n, GradContext& ctx, const Storage& g) {
  switch (n.kind) {
    case NodeKind::kLeaf:
    case NodeKind::kConstant:
      return {};
    case NodeKind::kScalarAdd:
    case NodeKind::kScalarSub:
      return pass_scaled(ctx, n.inputs[0], g, 1.0f);
    case NodeKind::kScalarProduct:
      return pass_scaled(ctx, n.inputs[0], g, n.scalar);
    case NodeKind::kScalarDiv:
      // The same reciprocal as the forward product.
      return pass_scaled(ctx, n.inputs[0], g, 1.0f / n.scalar);
    case NodeKind::kAdd:
      QUARN_CHECK(pass_scaled(ctx, n.inputs[0], g, 1.0f));
      return pass_scaled(ctx, n.inputs[1], g, 1.0f);
    case NodeKind::kSub:
      QUARN_CHECK(pass_scaled(ctx, n.inputs[0], g, 1.0f));
      return pass_scaled(ctx, n.inputs[1], g, -1.0f);
    case NodeKind::kReshape: {
      QUARN_TRY(Storage c, engine::reshape(g, n.shape()));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kTranspose:
      return ctx.accumulate(n.inputs[0], engine::transpose(g, n.dim0, n.dim1));
    case NodeKind::kMul:
      return both(ctx, n, engine::mul_backward(n.lhs(), g, n.rhs()));
    case NodeKind::kDiv:
      return both(ctx, n, engine::div_backward(n.lhs(), g, n.rhs()));
    case NodeKind::kMatmul:
      return both(ctx, n, engine::matmul_backward(n.lhs(), g, n.rhs()));
    case NodeKind::kRelu: {
      QUARN_TRY(Storage c, engine::relu_backward(n.lhs(), g));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kScalarRdiv: {
      QUARN_TRY(Storage c, engine::rdiv_backward(n.lhs(), g, n.scalar));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
  }
  return {};
}

}  // namespace quarn::autograd
