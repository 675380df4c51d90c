#include "ops/index_ops.hpp"

#include <memory>
#include <string>
#include <utility>

#include "autograd/graph.hpp"
#include "engine/indexing.hpp"

namespace quarn::ops {

namespace {

using autograd::Node;
using autograd::thread_graph;

// Every operation here is Checked: stale operands are refused, then the
// result is computed, and only then is the node recorded, so nothing that
// fails leaves anything in the graph. The caller has refused everything
// else. `b` is null for one operand.
template <class Compute>
Result<Tensor> run_checked(const Tensor& a, const Tensor* b, Node node, Compute&& compute) {
  const bool tracked = a.requires_grad || (b != nullptr && b->requires_grad);
  if (!tracked) return Tensor{std::nullopt, compute(), false};
  auto& graph = thread_graph();
  QUARN_CHECK(graph.check_current(a));
  if (b != nullptr) QUARN_CHECK(graph.check_current(*b));
  Storage out = compute();
  QUARN_TRY(std::size_t id, b == nullptr ? graph.record(a, std::move(node)) : graph.record(a, *b, std::move(node)));
  graph.complete(id, out);
  return Tensor{id, std::move(out), true, graph.identity()};
}

std::string python_dtype(DType d) {
  switch (d) {
    case DType::F32: return "float32";
    case DType::F16: return "float16";
    case DType::BF16: return "bfloat16";
    case DType::Bool: return "bool";
  }
  return "?";
}

Result<std::size_t> axis_in(std::ptrdiff_t axis, std::size_t ndim) {
  const auto n = static_cast<std::ptrdiff_t>(ndim);
  if (axis < -n || axis >= n)
    return index_error("axis " + std::to_string(axis) + " is out of bounds for tensor of dimension " +
                       std::to_string(ndim));
  return static_cast<std::size_t>(axis < 0 ? axis + n : axis);
}

// Python's rules for a slice over `n` positions: the first position and
// how many there are (step is never 0 and never the most negative word).
std::pair<std::ptrdiff_t, std::size_t> resolve(const KeyItem& s, std::size_t extent) {
  const auto n = static_cast<std::ptrdiff_t>(extent);
  const std::ptrdiff_t lower = s.step < 0 ? -1 : 0, upper = s.step < 0 ? n - 1 : n;
  auto clamp = [&](std::ptrdiff_t v) {
    if (v < 0) return v + n < lower ? lower : v + n;  // v + n cannot overflow: v < 0 <= n
    return v > upper ? upper : v;
  };
  const std::ptrdiff_t start = clamp(s.start), stop = clamp(s.stop);
  if (s.step > 0) return {start, stop > start ? static_cast<std::size_t>((stop - start - 1) / s.step + 1) : 0};
  return {start, start > stop ? static_cast<std::size_t>((start - stop - 1) / -s.step + 1) : 0};
}

Result<engine::Selection> selection_of(const Shape& shape, const std::vector<KeyItem>& key) {
  std::size_t used = 0, ellipses = 0;
  for (const KeyItem& k : key) {
    if (k.kind == KeyItem::Kind::Ellipsis) ++ellipses;
    if (k.kind == KeyItem::Kind::Integer || k.kind == KeyItem::Kind::Slice) ++used;
  }
  if (ellipses > 1) return index_error("an index can only have a single ellipsis ('...')");
  if (used > shape.size())
    return index_error("too many indices for tensor: tensor is " + std::to_string(shape.size()) +
                       "-dimensional, but " + std::to_string(used) + " were indexed");
  engine::Selection s;
  s.operand = shape;
  std::size_t axis = 0;
  auto whole = [&](std::size_t upto) {
    for (; axis < upto; ++axis) {
      s.start.push_back(0);
      s.step.push_back(1);
      s.source.push_back(static_cast<std::ptrdiff_t>(axis));
      s.shape.push_back(shape[axis]);
    }
  };
  for (const KeyItem& k : key) {
    switch (k.kind) {
      case KeyItem::Kind::Ellipsis:
        whole(axis + shape.size() - used);
        break;
      case KeyItem::Kind::NewAxis:
        s.source.push_back(-1);
        s.shape.push_back(1);
        break;
      case KeyItem::Kind::Integer: {
        const auto n = static_cast<std::ptrdiff_t>(shape[axis]);
        if (k.index < -n || k.index >= n)
          return index_error("index " + std::to_string(k.index) + " is out of bounds for axis " +
                             std::to_string(axis) + " with size " + std::to_string(n));
        s.start.push_back(static_cast<std::size_t>(k.index < 0 ? k.index + n : k.index));
        s.step.push_back(0);
        ++axis;
        break;
      }
      case KeyItem::Kind::Slice: {
        auto [start, count] = resolve(k, shape[axis]);
        s.start.push_back(count == 0 ? 0 : static_cast<std::size_t>(start));
        s.step.push_back(k.step);
        s.source.push_back(static_cast<std::ptrdiff_t>(axis));
        s.shape.push_back(count);
        ++axis;
        break;
      }
    }
  }
  whole(shape.size());
  return s;
}

}  // namespace

Result<Tensor> getitem(const Tensor& a, const std::vector<KeyItem>& key) {
  QUARN_TRY(engine::Selection s, selection_of(a.data.shape(), key));
  auto shared = std::make_shared<const engine::Selection>(std::move(s));
  Node node = Node::of(Op::getitem);
  if (a.requires_grad) {
    node.saved = std::make_unique<autograd::Saved>();
    node.saved->selection = shared;
  }
  return run_checked(a, nullptr, std::move(node), [&] { return engine::select(a.data, *shared); });
}

Result<Tensor> take(const Tensor& a, const std::vector<std::int64_t>& indices, const Shape& shape,
                    const AxisList& axes) {
  const Shape& from = a.data.shape();
  auto p = std::make_shared<engine::Positions>();
  p->shape = shape;
  if (axes) {
    if (axes->empty()) return value_error("take needs at least one axis");
    QUARN_TRY(p->axis, axis_in((*axes)[0], from.size()));
    p->count = axes->size();
    for (std::size_t i = 1; i < axes->size(); ++i) {
      QUARN_TRY(std::size_t ax, axis_in((*axes)[i], from.size()));
      if (ax != p->axis + i) return value_error("the axes of take must be adjacent and ascending");
    }
  } else {
    p->axis = 0;
    p->count = from.size();
  }
  std::size_t extent = 1;
  for (std::size_t i = p->axis; i < p->axis + p->count; ++i) extent *= from[i];
  const auto n = static_cast<std::int64_t>(extent);
  p->flat.resize(indices.size());
  for (std::size_t j = 0; j < indices.size(); ++j) {
    const std::int64_t i = indices[j];
    if (i < -n || i >= n) {
      std::string where = p->count == 1 ? "axis " + std::to_string(p->axis) : std::string("the flattened axes");
      return index_error("index " + std::to_string(i) + " is out of bounds for " + where + " with size " +
                         std::to_string(extent));
    }
    p->flat[j] = static_cast<std::size_t>(i < 0 ? i + n : i);
  }
  Node node = Node::of(Op::take);
  if (a.requires_grad) {
    node.saved = std::make_unique<autograd::Saved>();
    node.saved->shape = from;
    node.saved->positions = p;
  }
  return run_checked(a, nullptr, std::move(node), [&] { return engine::take(a.data, *p); });
}

Result<Tensor> concatenate(std::span<const Tensor* const> parts, std::ptrdiff_t axis) {
  if (parts.empty()) return value_error("need at least one tensor to concatenate");
  const Storage& first = parts[0]->data;
  if (first.ndim() == 0) return value_error("zero-dimensional tensors cannot be concatenated");
  QUARN_TRY(std::size_t ax, axis_in(axis, first.ndim()));
  bool tracked = false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Storage& s = parts[i]->data;
    if (s.dtype() != first.dtype())
      return type_error("concatenate needs tensors of one dtype, got " + python_dtype(first.dtype()) + " and " +
                        python_dtype(s.dtype()) + " (tensor at index " + std::to_string(i) + ")");
    if (s.ndim() != first.ndim())
      return value_error("all the input tensors must have the same number of dimensions, but the tensor at index 0 has " +
                         std::to_string(first.ndim()) + " dimension(s) and the tensor at index " + std::to_string(i) +
                         " has " + std::to_string(s.ndim()) + " dimension(s)");
    for (std::size_t d = 0; d < s.ndim(); ++d)
      if (d != ax && s.shape()[d] != first.shape()[d])
        return value_error("all the input tensor dimensions except for the concatenation axis must match exactly, "
                           "but along dimension " + std::to_string(d) + ", the tensor at index 0 has size " +
                           std::to_string(first.shape()[d]) + " and the tensor at index " + std::to_string(i) +
                           " has size " + std::to_string(s.shape()[d]));
    tracked = tracked || parts[i]->requires_grad;
  }
  std::vector<const Storage*> storages;
  for (const Tensor* t : parts) storages.push_back(&t->data);
  if (!tracked) return Tensor{std::nullopt, engine::concatenate(storages, ax), false};
  auto& graph = thread_graph();
  for (const Tensor* t : parts) QUARN_CHECK(graph.check_current(*t));
  // A node has at most two inputs: the parts are joined pairwise in a
  // balanced tree, each element copied once per level.
  auto join = [&](auto& self, std::size_t lo, std::size_t hi) -> Result<Tensor> {
    if (hi - lo == 1) return *parts[lo];
    const std::size_t mid = lo + (hi - lo) / 2;
    QUARN_TRY(Tensor left, self(self, lo, mid));
    QUARN_TRY(Tensor right, self(self, mid, hi));
    Node node = Node::of(Op::concatenate);
    node.axis0 = ax;
    node.axis1 = left.data.shape()[ax];
    const Storage* pair[2] = {&left.data, &right.data};
    return run_checked(left, &right, std::move(node), [&] { return engine::concatenate(pair, ax); });
  };
  return join(join, 0, parts.size());
}

}  // namespace quarn::ops
