// Gradient rules, one function per rule of the operation table. A
// contribution is not summed back to its input's shape: a broadcast input
// receives a gradient of the broadcast shape, and so may any node whose
// result was broadcast further on. Every rule therefore accepts a gradient of
// any shape its result can have been broadcast to (extra leading axes,
// extent-1 axes stretched) and hands on contributions of that kind; summed
// over their extra axes they are the true gradients. The left contribution is
// accumulated first; if it fails, the right one is not attempted. A
// contribution for a constant node (an operand of a two-operand operation
// that does not require a gradient) is never computed: no tensor can read
// it. A one-operand operation is recorded only for an operand that requires
// a gradient, so its input is never constant.
//
// Rounding: the operators' rules take one engine operation per step, each
// rounded to the dtype (the operators' own rule); the maps' gradients are
// computed in binary32 and rounded once (engine::map_gradient); the softmax
// family and the losses compute their whole rule in binary32 and round once.
#include "autograd/rules.hpp"

#include "engine/map_ops.hpp"
#include "engine/conv/conv.hpp"
#include "engine/layout_ops.hpp"
#include "engine/nn_ops.hpp"
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

Result<void> accumulate_input(GradContext& ctx, const Node& n, Result<Storage> contribution) {
  if (!contribution.ok()) return std::move(contribution).error();
  return ctx.accumulate(n.inputs[0], std::move(contribution).value());
}

// Axes that the gradient has in front of the node's own are broadcast axes;
// the node's own axes are counted from the right, as broadcasting aligns them.
std::size_t leading_axes(const Storage& g, const Node& n) {
  return g.ndim() > n.own_shape.size() ? g.ndim() - n.own_shape.size() : 0;
}

// The operations beyond the operators take the gradient at their result's
// own shape: a gradient broadcast past it is summed back first, so their
// contributions have their inputs' shapes.
Result<Storage> at_own_shape(const Node& n, const Storage& g) {
  if (g.shape() == n.own_shape) return g;
  return engine::sum_to(g, n.own_shape);
}

// g at the result's own shape, laid out over the reduced input's shape with
// the reduced axes as extent 1 (the keepdims shape), ready to stretch.
Result<Storage> with_kept_axes(const Node& n, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  Shape kept = n.saved->shape;
  for (std::size_t axis : n.saved->axes) kept[axis] = 1;
  return engine::reshape(engine::row_major(at_own), kept);
}

}  // namespace

namespace rules {

Result<void> none(const Node&, GradContext&, const Storage&) { return {}; }

// ---- Operators ------------------------------------------------------------------

Result<void> sum_both(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_CHECK(pass_scaled(ctx, n.inputs[0], g, 1.0f));
  return pass_scaled(ctx, n.inputs[1], g, 1.0f);
}
Result<void> difference(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_CHECK(pass_scaled(ctx, n.inputs[0], g, 1.0f));
  return pass_scaled(ctx, n.inputs[1], g, -1.0f);
}
Result<void> product(const Node& n, GradContext& ctx, const Storage& g) {
  return accumulate_pair(ctx, n, engine::mul_backward(n.saved->input, g, n.saved->other, needs(ctx, n)));
}
Result<void> quotient(const Node& n, GradContext& ctx, const Storage& g) {
  return accumulate_pair(ctx, n, engine::div_backward(n.saved->input, g, n.saved->other, needs(ctx, n)));
}
Result<void> matmul(const Node& n, GradContext& ctx, const Storage& g) {
  return accumulate_pair(ctx, n, engine::matmul_backward(n.saved->input, g, n.saved->other, needs(ctx, n)));
}

// ---- Tensor and number ------------------------------------------------------------

Result<void> pass_on(const Node& n, GradContext& ctx, const Storage& g) {
  return pass_scaled(ctx, n.inputs[0], g, 1.0f);
}
Result<void> scale(const Node& n, GradContext& ctx, const Storage& g) {
  return pass_scaled(ctx, n.inputs[0], g, n.number);
}
// The same reciprocal as the forward product.
Result<void> scale_by_inverse(const Node& n, GradContext& ctx, const Storage& g) {
  return pass_scaled(ctx, n.inputs[0], g, 1.0f / n.number);
}
Result<void> reciprocal(const Node& n, GradContext& ctx, const Storage& g) {
  return accumulate_input(ctx, n, engine::rdiv_backward(n.saved->input, g, n.number));
}

// ---- Shape operations ---------------------------------------------------------------

// Stretched extent-1 axes of the reshaped shape are summed first (they do not
// survive a reshape), the leading broadcast axes are kept, and a gradient
// that is not row-major is laid out row-major so that it can be relabelled.
Result<void> reshape(const Node& n, GradContext& ctx, const Storage& g) {
  const std::size_t lead = leading_axes(g, n);
  Shape own(g.shape().begin(), g.shape().begin() + lead);
  for (std::size_t e : n.own_shape) own.push_back(e);
  Shape before(g.shape().begin(), g.shape().begin() + lead);
  for (std::size_t e : n.saved->shape) before.push_back(e);
  Storage flat = g;
  if (g.shape() != own) {
    QUARN_TRY(flat, engine::sum_to(g, own));
  }
  return accumulate_input(ctx, n, engine::reshape(engine::row_major(flat), before));
}
Result<void> transpose(const Node& n, GradContext& ctx, const Storage& g) {
  const std::size_t lead = leading_axes(g, n);
  return ctx.accumulate(n.inputs[0], engine::transpose(g, n.axis0 + lead, n.axis1 + lead));
}

// ---- Element-wise maps ----------------------------------------------------------------

Result<void> relu(const Node& n, GradContext& ctx, const Storage& g) {
  return accumulate_input(ctx, n, engine::relu_backward(n.saved->input, g));
}
// The table's gradient functor at the value the map saves, for g summed back
// to the result's shape first: the functor then runs once per element, and
// an infinite slope meets the summed gradient instead of each broadcast
// term (inf * w0 + inf * -w1 would be NaN).
Result<void> map_gradient(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const Storage* saved = &at_own;
  switch (info(n.op).saves) {
    case Saves::Input: saved = &n.saved->input; break;
    case Saves::Result: saved = &n.saved->result; break;
    default: break;
  }
  return accumulate_input(ctx, n, engine::map_gradient(n.op, *saved, at_own));
}

// ---- Reductions -------------------------------------------------------------------------

// g (times 1/n for the mean, rounded once) laid back over the input's shape,
// each input element receiving its output's value.
Result<void> spread(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage kept, with_kept_axes(n, g));
  if (n.op == Op::mean) {
    std::size_t count = 1;
    for (std::size_t axis : n.saved->axes) count *= n.saved->shape[axis];
    QUARN_TRY(kept, engine::scalar_product(kept, 1.0f / static_cast<float>(count)));
  }
  return ctx.accumulate(n.inputs[0], engine::stretched_to(kept, n.saved->shape));
}

// g at the element each group's maximum (minimum) came from, the first such
// in row-major order (as argmax picks it), +0 elsewhere: exact.
Result<void> select(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const engine::ReduceOp op = n.op == Op::max ? engine::ReduceOp::kMax : engine::ReduceOp::kMin;
  return accumulate_input(
      ctx, n, engine::reduce_select_backward(op, n.saved->input, at_own, n.saved->axes, n.saved->keepdims));
}

// g * softmax(x) over the reduced axes, as g * e^(x - logsumexp(x)): the
// reduction is taken again (kept axes), then one engine operation per step,
// each rounded to the dtype.
Result<void> softmax_of(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage kept, with_kept_axes(n, g));
  const Storage& x = n.saved->input;
  QUARN_TRY(Storage lse, engine::reduce(engine::ReduceOp::kLogSumExp, x, n.saved->axes, true));
  QUARN_TRY(Storage shifted, engine::sub(x, lse));
  QUARN_TRY(Storage weights, engine::exp(shifted));
  return accumulate_input(ctx, n, engine::mul(weights, kept));
}

// ---- Softmax family and losses ------------------------------------------------------------

Result<void> log_softmax(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0], engine::log_softmax_backward(n.saved->input, at_own, n.axis0));
}
Result<void> softmax(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0], engine::softmax_backward(n.saved->result, at_own, n.axis0));
}
Result<void> class_loss(const Node& n, GradContext& ctx, const Storage& g);
Result<void> point_loss(const Node& n, GradContext& ctx, const Storage& g);

Result<void> cross_entropy(const Node& n, GradContext& ctx, const Storage& g) {
  if (n.axis0 != 0) return class_loss(n, ctx, g);  // weights, smoothing, probabilities or a reduction
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0], engine::cross_entropy_backward(n.saved->input, n.saved->targets, at_own));
}
Result<void> mse_loss(const Node& n, GradContext& ctx, const Storage& g) {
  if (n.axis1 != 0) return point_loss(n, ctx, g);  // reduction "sum" or "none"
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return accumulate_pair(ctx, n, engine::mse_loss_backward(n.saved->input, n.saved->other, at_own));
}

// ---- Statistics, more losses, normalisation and padding ------------------------------
// Each computes its whole gradient in binary32 from binary32 copies of its
// operands and rounds once to the dtype (engine/nn_ops.hpp).

// g times the product of the other elements of each group (zeros included:
// never the result divided by the element).
Result<void> product_of_others(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return accumulate_input(ctx, n, engine::group_gradient(engine::GroupGradient::kProd, n.saved->input, at_own,
                                                         n.saved->axes, 0.0));
}

// var: g 2 (x - mean) / (n - ddof); std: that over 2 std. ddof is the node's number.
Result<void> spread_of_values(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const auto kind = n.op == Op::std ? engine::GroupGradient::kStd : engine::GroupGradient::kVar;
  return accumulate_input(ctx, n, engine::group_gradient(kind, n.saved->input, at_own, n.saved->axes, n.number));
}

// The class loss's description, as the front end recorded it: axis0's bits
// say 1 the general form, 2 a weight, 4 probability targets (the second
// operand); axis1 is the reduction, the number the label smoothing.
engine::ClassLoss class_spec(const Node& n) {
  engine::ClassLoss spec;
  spec.from_logits = n.op != Op::nll_loss;
  if ((n.axis0 & 4) != 0) {
    spec.probabilities = &n.saved->other;
  } else {
    spec.labels = &n.saved->labels;
  }
  if ((n.axis0 & 2) != 0) spec.weight = &n.saved->weight;
  spec.ignore_index = n.saved->ignore_index;
  spec.smoothing = n.number;
  spec.reduction = static_cast<engine::Reduction>(n.axis1);
  return spec;
}

Result<void> class_loss(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const engine::ClassLoss spec = class_spec(n);
  const bool with_targets = spec.probabilities != nullptr && ctx.wants(n.inputs[1]);
  auto [scores, targets] = engine::class_loss_backward(n.saved->input, spec, at_own, with_targets);
  if (ctx.wants(n.inputs[0])) QUARN_CHECK(ctx.accumulate(n.inputs[0], std::move(scores)));
  if (with_targets) return ctx.accumulate(n.inputs[1], std::move(targets));
  return {};
}

engine::PointLoss point_kind(Op op) {
  switch (op) {
    case Op::l1_loss: return engine::PointLoss::kAbsolute;
    case Op::smooth_l1_loss: return engine::PointLoss::kSmoothL1;
    case Op::huber_loss: return engine::PointLoss::kHuber;
    case Op::binary_cross_entropy: return engine::PointLoss::kBce;
    case Op::binary_cross_entropy_with_logits: return engine::PointLoss::kBceLogits;
    default: return engine::PointLoss::kSquared;
  }
}

// axis0's bits: 2 a weight, 4 a pos_weight; axis1 the reduction, the number
// beta or delta.
Result<void> point_loss(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  engine::PointSpec spec;
  spec.kind = point_kind(n.op);
  spec.param = n.number;
  if ((n.axis0 & 2) != 0) spec.weight = &n.saved->weight;
  if ((n.axis0 & 4) != 0) spec.pos_weight = &n.saved->pos_weight;
  spec.reduction = static_cast<engine::Reduction>(n.axis1);
  return accumulate_pair(ctx, n,
                         engine::point_loss_backward(n.saved->input, n.saved->other, spec, at_own, needs(ctx, n)));
}

// axis0 is the normalised element count, axis1's bits say 1 a weight
// (second operand), 2 a bias (the last operand); the weight's values are
// the saved `other`.
Result<void> layer_norm(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const bool has_weight = (n.axis1 & 1) != 0, has_bias = (n.axis1 & 2) != 0;
  const std::size_t bias_at = has_weight ? 2 : 1;
  const bool want_weight = has_weight && ctx.wants(n.inputs[1]);
  const bool want_bias = has_bias && ctx.wants(n.inputs[bias_at]);
  engine::LayerNormGrads grads =
      engine::layer_norm_backward(n.saved->input, n.axis0, has_weight ? &n.saved->other : nullptr, n.saved->stats,
                                  at_own, ctx.wants(n.inputs[0]), want_weight, want_bias);
  if (ctx.wants(n.inputs[0])) QUARN_CHECK(ctx.accumulate(n.inputs[0], std::move(grads.x)));
  if (want_weight) {
    QUARN_TRY(Storage w, engine::reshape(grads.weight, ctx.own_shape(n.inputs[1])));
    QUARN_CHECK(ctx.accumulate(n.inputs[1], std::move(w)));
  }
  if (want_bias) {
    QUARN_TRY(Storage b, engine::reshape(grads.bias, ctx.own_shape(n.inputs[bias_at])));
    QUARN_CHECK(ctx.accumulate(n.inputs[bias_at], std::move(b)));
  }
  return {};
}

// Every element of g back to the element it was copied from; axis0 the mode.
Result<void> pad(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0],
                        engine::pad_backward(n.saved->shape, at_own.dtype(), n.saved->before, n.saved->after,
                                             static_cast<engine::PadMode>(n.axis0), at_own));
}

}  // namespace rules

namespace {

constexpr Rule kRules[] = {
    rules::none,  // leaf
    rules::none,  // constant
#define QUARN_RULE_ENTRY(name, family, order, dtypes, compute, saves, rule, ...) rules::rule,
    QUARN_OPERATIONS(QUARN_RULE_ENTRY)
#undef QUARN_RULE_ENTRY
};
static_assert(std::size(kRules) == kOpCount);

}  // namespace

Result<void> apply_rule(const Node& n, GradContext& ctx, const Storage& g) {
  return kRules[static_cast<std::size_t>(n.op)](n, ctx, g);
}

}  // namespace quarn::autograd

// ---- Maps with numbers, two-tensor maps and where -------------------------------------

namespace quarn::autograd::rules {

// The row's gradient functor with the node's two numbers, at the saved
// input (the result, for number ** tensor), for g summed back to the
// result's shape first, as map_gradient does.
Result<void> param_map_gradient(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const Storage& saved = info(n.op).saves == Saves::Result ? n.saved->result : n.saved->input;
  return accumulate_input(ctx, n, engine::param_map_gradient(n.op, saved, at_own, n.number, n.number2));
}

// Both contributions of the broadcast shape of a and b, from one kernel
// each (engine/map_ops.hpp), for g summed back to the result's shape first:
// an infinite slope then meets the summed gradient, as in map_gradient.
Result<void> pairwise(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return accumulate_pair(ctx, n,
                         engine::pairwise_backward(n.op, n.saved->input, n.saved->other, at_own, needs(ctx, n)));
}

// g where the condition (kept as the saved input) holds to a, elsewhere to b.
Result<void> select_where(const Node& n, GradContext& ctx, const Storage& g) {
  return accumulate_pair(ctx, n, engine::where_backward(n.saved->input, g, needs(ctx, n)));
}

}  // namespace quarn::autograd::rules

// ---- Indexing and joining -----------------------------------------------------------------
// Each takes g at its result's own shape; the contribution has the operand's
// shape and g's dtype.

namespace quarn::autograd::rules {

// g written into zeros at the positions the selection read.
Result<void> place_back(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0], engine::select_backward(at_own, *n.saved->selection));
}

// Every row of g added into zeros at the position it was taken from;
// repeated positions sum in the order of the positions (engine::take_backward).
Result<void> add_back(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0], engine::take_backward(at_own, n.saved->shape, *n.saved->positions));
}

// The two blocks of g along the joined axis (axis0), the first axis1 long:
// views where g's layout allows.
Result<void> split_back(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const std::size_t axis = n.axis0, first = n.axis1;
  const Shape& own = n.own_shape;
  if (ctx.wants(n.inputs[0]))
    QUARN_CHECK(ctx.accumulate(n.inputs[0], engine::select(at_own, engine::slice_along(own, axis, 0, first))));
  if (ctx.wants(n.inputs[1]))
    return ctx.accumulate(n.inputs[1], engine::select(at_own, engine::slice_along(own, axis, first, own[axis] - first)));
  return {};
}

}  // namespace quarn::autograd::rules

// ---- Convolutions and pooling ----------------------------------------------------------------
// Computed as the forward passes are (engine/conv/conv.hpp): in binary32,
// rounded once to the dtype.

namespace quarn::autograd::rules {

namespace {

// A 1-D convolution's operand or gradient seen as 2-D with a height of 1,
// as its forward pass saw it.
Storage height_one(const Storage& s) {
  const Shape& at = s.shape();
  return engine::reshape(engine::row_major(s), Shape{at[0], at[1], 1, at[2]}).value();
}

Storage without_height(const Storage& s) {
  if (s.numel() == 0 && s.ndim() == 0) return s;  // a contribution not asked for
  return engine::reshape(s, Shape{s.shape()[0], s.shape()[1], s.shape()[3]}).value();
}

}  // namespace

Result<void> convolution(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  const Storage& x = n.saved->input;
  const Storage& w = n.saved->other;
  const engine::Window& win = n.saved->window;
  std::pair<Storage, Storage> grads;
  if (n.op == Op::conv_transpose2d) {
    grads = engine::convolution_transpose_backward(x, w, at_own, win, needs(ctx, n));
  } else if (n.op == Op::conv1d) {
    grads = engine::convolution_backward(height_one(x), height_one(w), height_one(at_own), win, needs(ctx, n));
    grads = {without_height(grads.first), without_height(grads.second)};
  } else {
    grads = engine::convolution_backward(x, w, at_own, win, needs(ctx, n));
  }
  return accumulate_pair(ctx, n, std::move(grads));
}

// The result is the convolution's plus the bias: g passes on unchanged, and
// the bias gathers it over every axis but the channels'.
Result<void> channel_bias(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  if (ctx.wants(n.inputs[0])) QUARN_CHECK(ctx.accumulate(n.inputs[0], at_own));
  if (!ctx.wants(n.inputs[1])) return {};
  return ctx.accumulate(n.inputs[1], engine::channel_sum(at_own));
}

Result<void> pooling(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  if (n.op == Op::max_pool2d)
    return ctx.accumulate(n.inputs[0], engine::max_pool_backward(n.saved->input, at_own, n.saved->window));
  return ctx.accumulate(n.inputs[0], engine::avg_pool_backward(n.saved->shape, at_own, n.saved->window));
}

}  // namespace quarn::autograd::rules

// ---- Layout operations ------------------------------------------------------------------

namespace quarn::autograd::rules {

// g summed back to the result's shape, then converted to the operand's dtype
// (kept in axis0), rounded once to nearest-even when that narrows. Summing
// first rounds the sum of a broadcast gradient once, instead of rounding
// every term of it to the narrower dtype.
Result<void> cast_back(const Node& n, GradContext& ctx, const Storage& g) {
  QUARN_TRY(Storage at_own, at_own_shape(n, g));
  return ctx.accumulate(n.inputs[0], engine::cast(at_own, static_cast<DType>(n.axis0)));
}

// The elements only moved: g is the operand's gradient as it stands. For
// broadcast_to it is one at the broadcast shape, which the contract above
// lets any node receive.
Result<void> pass_through(const Node& n, GradContext& ctx, const Storage& g) {
  return ctx.accumulate(n.inputs[0], g);
}

}  // namespace quarn::autograd::rules
