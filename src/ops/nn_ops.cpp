#include "ops/nn_ops.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "autograd/graph.hpp"
#include "engine/dtype_rules.hpp"

namespace quarn::ops {

namespace {

using autograd::Node;
using autograd::thread_graph;

// The Checked order for one to three operands: stale operands are refused,
// the result computed (it may still fill `node`), and only then recorded.
// An operation that is never recorded (any, all) records nothing whatever
// its operands require.
template <class Compute>
Result<Tensor> run_checked(std::initializer_list<const Tensor*> operands, Node& node, Compute&& compute) {
  bool tracked = info(node.op).order != Order::Never;
  bool any_grad = false;
  for (const Tensor* t : operands) any_grad = any_grad || t->requires_grad;
  if (!tracked || !any_grad) {
    QUARN_TRY(Storage out, compute());
    return Tensor{std::nullopt, std::move(out), false};
  }
  auto& graph = thread_graph();
  for (const Tensor* t : operands) QUARN_CHECK(graph.check_current(*t));
  QUARN_TRY(Storage out, compute());
  const Tensor* const* at = operands.begin();
  Result<std::size_t> recorded = operands.size() == 1   ? graph.record(*at[0], std::move(node))
                                 : operands.size() == 2 ? graph.record(*at[0], *at[1], std::move(node))
                                                        : graph.record(*at[0], *at[1], *at[2], std::move(node));
  if (!recorded.ok()) return std::move(recorded).error();
  const std::size_t id = recorded.value();
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

Node saving_node(Op op) {
  Node n = Node::of(op);
  n.saved = std::make_unique<autograd::Saved>();
  return n;
}

std::optional<Error> refused_dtype(Op op, const Tensor& a) { return unsupported_dtype(op, a.data.dtype()); }

Result<Shape> normalized_axes(const AxisList& axes, std::size_t ndim) {
  Shape out;
  std::vector<bool> seen(ndim, !axes);
  if (axes) {
    const auto n = static_cast<std::ptrdiff_t>(ndim);
    for (std::ptrdiff_t axis : *axes) {
      if (axis < -n || axis >= n)
        return index_error("axis " + std::to_string(axis) + " is out of bounds for tensor of dimension " +
                           std::to_string(ndim));
      const auto a = static_cast<std::size_t>(axis < 0 ? axis + n : axis);
      if (seen[a]) return value_error("duplicate value in 'axis'");
      seen[a] = true;
    }
  }
  for (std::size_t i = 0; i < ndim; ++i)
    if (seen[i]) out.push_back(i);
  return out;
}

std::string name_of(Op op) { return std::string(info(op).name); }

// The dtype as Python users name it.
std::string python_name(DType d) {
  switch (d) {
    case DType::F32: return "float32";
    case DType::F16: return "float16";
    case DType::BF16: return "bfloat16";
    case DType::Bool: return "bool";
  }
  return "?";
}

// Weights are constants to these losses: a weight that asks for a gradient
// is refused rather than silently left without one.
std::optional<Error> refused_weight(Op op, const Tensor* w, const char* parameter, const Tensor& like) {
  if (w == nullptr) return std::nullopt;
  if (w->data.dtype() != like.data.dtype())
    return type_error(name_of(op) + " expects " + parameter + " of the input's dtype (" +
                      python_name(like.data.dtype()) + "), got " + python_name(w->data.dtype()));
  if (w->requires_grad)
    return runtime_error(name_of(op) + " does not compute a gradient for '" + parameter +
                         "': pass a tensor that does not require grad");
  return std::nullopt;
}

}  // namespace

Result<Tensor> statistic(Op op, const Tensor& a, const AxisList& axes, bool keepdims, double ddof) {
  const bool logic = op == Op::any || op == Op::all;
  if (!logic)
    if (auto error = refused_dtype(op, a)) return *error;
  QUARN_TRY(Shape normalized, normalized_axes(axes, a.data.ndim()));
  Node node = logic ? Node::of(op) : Node::saving(op, a.data);
  node.number = static_cast<float>(ddof);
  if (!logic && a.requires_grad) node.saved->axes = normalized;
  return run_checked({&a}, node, [&]() -> Result<Storage> {
    if (logic) return engine::any_all(a.data, normalized, keepdims, op == Op::all);
    if (op == Op::std) return engine::standard_deviation(a.data, normalized, keepdims, ddof);
    return engine::reduce(engine::ReduceOp::kVar, a.data, normalized, keepdims, ddof);
  });
}

Result<Tensor> class_loss(Op op, const Tensor& scores, const ClassLossArgs& args) {
  if (auto error = refused_dtype(op, scores)) return *error;
  const Shape& shape = scores.data.shape();
  if (shape.size() != 2)
    return value_error(name_of(op) + (op == Op::nll_loss ? " expects log-probabilities" : " expects logits") +
                       " of shape [N, C], got " + format_shape(shape));
  if (args.probabilities != nullptr) {
    if (auto error = refused_dtype(op, *args.probabilities)) return *error;
    if (args.probabilities->data.shape() != shape)
      return value_error(name_of(op) + " expects class probabilities of the logits' shape " + format_shape(shape) +
                         ", got " + format_shape(args.probabilities->data.shape()));
    if (args.probabilities->data.dtype() != scores.data.dtype())
      return type_error(name_of(op) + " expects class probabilities of the logits' dtype");
  } else {
    if (args.labels.size() != shape[0])
      return value_error("Expected input batch_size (" + std::to_string(shape[0]) + ") to match target batch_size (" +
                         std::to_string(args.labels.size()) + ").");
    for (std::int64_t t : args.labels)
      if (t != args.ignore_index && (t < 0 || static_cast<std::uint64_t>(t) >= shape[1]))
        return index_error("Target " + std::to_string(t) + " is out of bounds for " + std::to_string(shape[1]) +
                           " classes.");
  }
  if (auto error = refused_weight(op, args.weight, "weight", scores)) return *error;
  if (args.weight != nullptr && args.weight->data.shape() != Shape{shape[1]})
    return runtime_error("weight tensor should be defined either for all " + std::to_string(shape[1]) +
                         " classes or no classes but got weight tensor of shape: " +
                         format_shape(args.weight->data.shape()));
  if (!(args.smoothing >= 0.0f && args.smoothing <= 1.0f))
    return runtime_error("label_smoothing must be between 0.0 and 1.0. Got: " + std::to_string(args.smoothing));

  engine::ClassLoss spec;
  spec.from_logits = op != Op::nll_loss;
  if (args.probabilities != nullptr) {
    spec.probabilities = &args.probabilities->data;
  } else {
    spec.labels = &args.labels;
  }
  if (args.weight != nullptr) spec.weight = &args.weight->data;
  spec.ignore_index = args.ignore_index;
  spec.smoothing = args.smoothing;
  spec.reduction = args.reduction;

  Node node = saving_node(op);
  node.axis0 = 1 | (args.weight != nullptr ? 2 : 0) | (args.probabilities != nullptr ? 4 : 0);
  node.axis1 = static_cast<std::size_t>(args.reduction);
  node.number = args.smoothing;
  const bool tracked = scores.requires_grad || (args.probabilities != nullptr && args.probabilities->requires_grad);
  if (tracked) {
    node.saved->input = scores.data;
    if (args.probabilities != nullptr) node.saved->other = args.probabilities->data;
    node.saved->labels = args.labels;
    if (args.weight != nullptr) node.saved->weight = args.weight->data;
    node.saved->ignore_index = args.ignore_index;
  }
  auto compute = [&]() -> Result<Storage> { return engine::class_loss(scores.data, spec); };
  if (args.probabilities != nullptr) return run_checked({&scores, args.probabilities}, node, compute);
  return run_checked({&scores}, node, compute);
}

Result<Tensor> point_loss(Op op, const Tensor& pred, const Tensor& target, const Tensor* weight,
                          const Tensor* pos_weight, float param, engine::Reduction reduction) {
  if (auto error = refused_dtype(op, pred)) return *error;
  if (auto error = engine::arithmetic_dtype_error(pred.data.dtype(), target.data.dtype())) return *error;
  if (pred.data.shape() != target.data.shape())
    return value_error(name_of(op) + " expects input and target of the same shape, got " +
                       format_shape(pred.data.shape()) + " and " + format_shape(target.data.shape()) +
                       "; broadcast one of them explicitly");
  if (auto error = refused_weight(op, weight, "weight", pred)) return *error;
  if (auto error = refused_weight(op, pos_weight, "pos_weight", pred)) return *error;
  if (op == Op::smooth_l1_loss && !(param >= 0.0f))
    return runtime_error("smooth_l1_loss does not support negative values for beta.");
  if (op == Op::huber_loss && !(param > 0.0f))
    return runtime_error("huber_loss does not support non-positive values for delta.");

  engine::PointSpec spec;
  switch (op) {
    case Op::l1_loss: spec.kind = engine::PointLoss::kAbsolute; break;
    case Op::smooth_l1_loss: spec.kind = engine::PointLoss::kSmoothL1; break;
    case Op::huber_loss: spec.kind = engine::PointLoss::kHuber; break;
    case Op::binary_cross_entropy: spec.kind = engine::PointLoss::kBce; break;
    case Op::binary_cross_entropy_with_logits: spec.kind = engine::PointLoss::kBceLogits; break;
    default: spec.kind = engine::PointLoss::kSquared; break;
  }
  spec.param = param;
  if (weight != nullptr) spec.weight = &weight->data;
  if (pos_weight != nullptr) spec.pos_weight = &pos_weight->data;
  spec.reduction = reduction;

  Node node = Node::saving(op, pred.data, &target.data);
  node.axis0 = (weight != nullptr ? 2 : 0) | (pos_weight != nullptr ? 4 : 0);
  node.axis1 = static_cast<std::size_t>(reduction);
  node.number = param;
  if (weight != nullptr) node.saved->weight = weight->data;
  if (pos_weight != nullptr) node.saved->pos_weight = pos_weight->data;
  return run_checked({&pred, &target}, node, [&] { return engine::point_loss(pred.data, target.data, spec); });
}

Result<Tensor> layer_norm(const Tensor& x, const Shape& normalized_shape, const Tensor* weight, const Tensor* bias,
                          float eps) {
  if (auto error = refused_dtype(Op::layer_norm, x)) return *error;
  const Shape& shape = x.data.shape();
  const std::size_t k = normalized_shape.size();
  bool fits = k <= shape.size();
  for (std::size_t i = 0; fits && i < k; ++i) fits = shape[shape.size() - k + i] == normalized_shape[i];
  if (!fits)
    return runtime_error("Given normalized_shape=" + format_shape(normalized_shape) + ", expected input with shape [*" +
                         (k == 0 ? std::string() : ", " + format_shape(normalized_shape).substr(1)) +
                         ", but got input of size" + format_shape(shape));
  for (const auto& [p, name] : {std::pair{weight, "weight"}, std::pair{bias, "bias"}}) {
    if (p == nullptr) continue;
    if (p->data.shape() != normalized_shape)
      return runtime_error(std::string("Expected ") + name + " to be of same shape as normalized_shape, but got " +
                           name + " of shape " + format_shape(p->data.shape()) + " and normalized_shape = " +
                           format_shape(normalized_shape));
    if (p->data.dtype() != x.data.dtype())
      return type_error(std::string("layer_norm expects ") + name + " of the input's dtype (" +
                        python_name(x.data.dtype()) + "), got " + python_name(p->data.dtype()));
  }
  std::size_t count = 1;
  for (std::size_t e : normalized_shape) count *= e;

  Node node = saving_node(Op::layer_norm);
  node.axis0 = count;
  node.axis1 = (weight != nullptr ? 1 : 0) | (bias != nullptr ? 2 : 0);
  node.number = eps;
  node.saved->input = x.data;
  if (weight != nullptr) node.saved->other = weight->data;
  auto compute = [&]() -> Result<Storage> {
    return engine::layer_norm(x.data, count, weight == nullptr ? nullptr : &weight->data,
                              bias == nullptr ? nullptr : &bias->data, eps, &node.saved->stats);
  };
  if (weight != nullptr && bias != nullptr) return run_checked({&x, weight, bias}, node, compute);
  if (weight != nullptr) return run_checked({&x, weight}, node, compute);
  if (bias != nullptr) return run_checked({&x, bias}, node, compute);
  return run_checked({&x}, node, compute);
}

Result<Tensor> pad(const Tensor& x, const std::vector<std::int64_t>& pads, engine::PadMode mode, float value) {
  if (auto error = refused_dtype(Op::pad, x)) return *error;
  const Shape& shape = x.data.shape();
  if (pads.size() % 2 != 0) return value_error("Padding length must be divisible by 2");
  if (pads.size() > 2 * shape.size())
    return value_error("Padding length should be less than or equal to two times the input dimension but got "
                       "padding length " + std::to_string(pads.size()) + " and input of dimension " +
                       std::to_string(shape.size()));
  std::vector<std::size_t> before(shape.size(), 0), after(shape.size(), 0);
  for (std::size_t k = 0; k < pads.size() / 2; ++k) {
    const std::size_t axis = shape.size() - 1 - k;
    const std::int64_t lo = pads[2 * k], hi = pads[2 * k + 1];
    if (lo < 0 || hi < 0) return value_error("pad takes no negative padding, got " + std::to_string(lo < 0 ? lo : hi));
    // A pad beyond any real tensor: the count of the padded shape must fit.
    if (lo > (std::int64_t{1} << 40) || hi > (std::int64_t{1} << 40))
      return value_error("padding " + std::to_string(lo > hi ? lo : hi) + " is too large");
    before[axis] = static_cast<std::size_t>(lo);
    after[axis] = static_cast<std::size_t>(hi);
    const auto extent = static_cast<std::int64_t>(shape[axis]);
    if (mode == engine::PadMode::kReflect && (lo >= extent || hi >= extent))
      return runtime_error("Padding size should be less than the corresponding input dimension, but got: padding (" +
                           std::to_string(lo) + ", " + std::to_string(hi) + ") at dimension " +
                           std::to_string(axis) + " of input " + format_shape(shape));
    if (mode == engine::PadMode::kReplicate && extent == 0 && (lo > 0 || hi > 0))
      return runtime_error("padding of an empty axis (" + std::to_string(axis) + ") needs mode 'constant'");
  }
  Node node = saving_node(Op::pad);
  node.axis0 = static_cast<std::size_t>(mode);
  node.number = value;
  node.saved->shape = shape;
  node.saved->before = before;
  node.saved->after = after;
  return run_checked({&x}, node, [&]() -> Result<Storage> { return engine::pad(x.data, before, after, mode, value); });
}

}  // namespace quarn::ops
