// Gradient rules, one per node kind. A contribution is not summed back to its
// input's shape: a broadcast input receives a gradient of the broadcast
// shape, and so may any node whose result was broadcast further on. Every
// rule therefore accepts a gradient of any shape its result can have been
// broadcast to (extra leading axes, extent-1 axes stretched) and hands on
// contributions of that kind; summed over their extra axes they are the true
// gradients. The left contribution is accumulated first; if it fails, the
// right one is not attempted. A contribution for a constant node (an operand
// of a two-operand operation that does not require a gradient) is never
// computed: no tensor can read it. A one-operand operation is recorded only
// for an operand that requires a gradient, so its input is never constant.
#include "autograd/rules.hpp"

#include "engine/storage_ops.hpp"

namespace quarn::autograd {

namespace {

Result<void> pass_scaled(GradContext& ctx, std::size_t id, const Storage& g, float factor) {
  if (!ctx.wants(id)) return {};
  QUARN_TRY(Storage c, engine::scalar_product(g, factor));
  return ctx.accumulate(id, std::move(c));
}

engine::Needs needs(const GradContext& ctx, const Node& n) {
  return {ctx.wants(n.inputs[0]), ctx.wants(n.inputs[1])};
}

Result<void> accumulate_pair(GradContext& ctx, const Node& n, Result<std::pair<Storage, Storage>> contributions) {
  if (!contributions.ok()) return std::move(contributions).error();
  auto& [left, right] = contributions.value();
  if (ctx.wants(n.inputs[0])) QUARN_CHECK(ctx.accumulate(n.inputs[0], std::move(left)));
  if (ctx.wants(n.inputs[1])) return ctx.accumulate(n.inputs[1], std::move(right));
  return {};
}

// Axes that the gradient has in front of the node's own are broadcast axes;
// the node's own axes are counted from the right, as broadcasting aligns them.
std::size_t leading_axes(const Storage& g, const Node& n) {
  return g.ndim() > n.own_shape.size() ? g.ndim() - n.own_shape.size() : 0;
}

// The reshape rule: stretched extent-1 axes of the reshaped shape are summed
// first (they do not survive a reshape), the leading broadcast axes are kept,
// and a gradient that is not row-major is laid out row-major so that it can
// be relabelled at all.
Result<Storage> reshape_back(const Node& n, const Storage& g) {
  const std::size_t lead = leading_axes(g, n);
  Shape own(g.shape().begin(), g.shape().begin() + lead);
  for (std::size_t e : n.own_shape) own.push_back(e);
  Shape before(g.shape().begin(), g.shape().begin() + lead);
  for (std::size_t e : n.shape_before()) before.push_back(e);
  if (g.shape() != own) {
    QUARN_TRY(Storage summed, engine::sum_to(g, own));
    return engine::reshape(engine::row_major(summed), before);
  }
  return engine::reshape(engine::row_major(g), before);
}

// The operations beyond the operators take the gradient at their result's
// own shape: a gradient broadcast past it is summed back first, so their
// contributions have their inputs' shapes.
Result<Storage> at_own_shape(const Node& n, const Storage& g) {
  if (g.shape() == n.own_shape) return g;
  return engine::sum_to(g, n.own_shape);
}

// 1 - y, rounded once: (y - 1) rounds to the same magnitude, and the
// product by -1 is exact.
Result<Storage> one_minus(const Storage& y) {
  QUARN_TRY(Storage d, engine::scalar_sub(y, 1.0f));
  return engine::scalar_product(d, -1.0f);
}

// The sum and mean rules: g (times 1/n for the mean, rounded once) laid back
// over the input's shape, each input element receiving its output's value.
Result<Storage> spread_back(const Node& n, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const Captured& c = *n.captured;
  Storage scaled = std::move(at_own);
  if (n.kind == NodeKind::kMean) {
    std::size_t count = 1;
    for (std::size_t axis : c.axes) count *= c.shape[axis];
    QUARN_TRY(scaled, engine::scalar_product(scaled, 1.0f / static_cast<float>(count)));
  }
  Shape kept = c.shape;
  for (std::size_t axis : c.axes) kept[axis] = 1;
  QUARN_TRY(Storage reshaped, engine::reshape(engine::row_major(scaled), kept));
  return engine::stretched_to(reshaped, c.shape);
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
      QUARN_TRY(Storage c, reshape_back(n, g));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kTranspose: {
      const std::size_t lead = leading_axes(g, n);
      return ctx.accumulate(n.inputs[0], engine::transpose(g, n.dim0 + lead, n.dim1 + lead));
    }
    case NodeKind::kMul:
      return accumulate_pair(ctx, n, engine::mul_backward(n.lhs(), g, n.rhs(), needs(ctx, n)));
    case NodeKind::kDiv:
      return accumulate_pair(ctx, n, engine::div_backward(n.lhs(), g, n.rhs(), needs(ctx, n)));
    case NodeKind::kMatmul:
      return accumulate_pair(ctx, n, engine::matmul_backward(n.lhs(), g, n.rhs(), needs(ctx, n)));
    case NodeKind::kRelu: {
      QUARN_TRY(Storage c, engine::relu_backward(n.lhs(), g));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    // Element maps, per step in the dtype: exp: g * y; log: g / x;
    // tanh: g * (1 - y * y); sigmoid: g * (y * (1 - y)).
    case NodeKind::kExp: {
      QUARN_TRY(Storage c, engine::mul(g, n.lhs()));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kLog: {
      QUARN_TRY(Storage c, engine::div(g, n.lhs()));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kTanh: {
      QUARN_TRY(Storage square, engine::mul(n.lhs(), n.lhs()));
      QUARN_TRY(Storage slope, one_minus(square));
      QUARN_TRY(Storage c, engine::mul(g, slope));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kSigmoid: {
      QUARN_TRY(Storage rest, one_minus(n.lhs()));
      QUARN_TRY(Storage slope, engine::mul(n.lhs(), rest));
      QUARN_TRY(Storage c, engine::mul(g, slope));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    case NodeKind::kSum:
    case NodeKind::kMean: {
      QUARN_TRY(Storage c, spread_back(n, g));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
    // Softmax family and losses: the whole rule in binary32, rounded once.
    case NodeKind::kLogSoftmax: {
      QUARN_TRY(Storage at_own, at_own_shape(n, g));
      return ctx.accumulate(n.inputs[0], engine::log_softmax_backward(n.lhs(), at_own, n.dim0));
    }
    case NodeKind::kSoftmax: {
      QUARN_TRY(Storage at_own, at_own_shape(n, g));
      return ctx.accumulate(n.inputs[0], engine::softmax_backward(n.lhs(), at_own, n.dim0));
    }
    case NodeKind::kCrossEntropy: {
      QUARN_TRY(Storage at_own, at_own_shape(n, g));
      return ctx.accumulate(n.inputs[0], engine::cross_entropy_backward(n.lhs(), n.captured->targets, at_own));
    }
    case NodeKind::kMseLoss: {
      QUARN_TRY(Storage at_own, at_own_shape(n, g));
      return accumulate_pair(ctx, n, engine::mse_loss_backward(n.lhs(), n.rhs(), at_own));
    }
    case NodeKind::kScalarRdiv: {
      QUARN_TRY(Storage c, engine::rdiv_backward(n.lhs(), g, n.scalar));
      return ctx.accumulate(n.inputs[0], std::move(c));
    }
  }
  return {};
}

}  // namespace quarn::autograd
