// The graph store and the backward pass, below Python: graph identities that
// make stale and foreign records recognisable, refusals that append nothing,
// constant nodes, node shapes, and contributions of different broadcast
// shapes summed back to a node's own shape.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "ops/tensor_ops.hpp"

namespace {

using quarn::DType;
using quarn::Shape;
using quarn::Storage;
using quarn::Tensor;
namespace ops = quarn::ops;
namespace autograd = quarn::autograd;

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
  ++checks;
  if (!ok) {
    ++failures;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

Storage filled(Shape shape, float start) {
  Storage s = Storage::allocate_row_major(DType::F32, std::move(shape));
  float* p = s.mutable_data_as<float>();
  for (std::size_t i = 0; i < s.numel(); ++i) p[i] = start + static_cast<float>(i);
  return s;
}

std::vector<float> values(const Storage& s) {
  Storage r = quarn::engine::row_major(s);
  return std::vector<float>(r.data_as<float>(), r.data_as<float>() + r.numel());
}

void test_identities() {
  auto& graph = autograd::thread_graph();
  graph.clear();
  Tensor x = ops::make_leaf(filled({2}, 1.0f), true);
  check(graph.is_current(x) && *x.node_id == 0, "a leaf of this graph is current");
  const auto before = graph.identity();
  graph.clear();
  check(graph.identity() != before && !graph.is_current(x), "clear() makes every earlier record stale");
  Tensor y = ops::make_leaf(filled({2}, 1.0f), true);
  check(*y.node_id == *x.node_id && !graph.is_current(x), "a reused index does not make the old record current");

  std::uint64_t other = 0;
  bool foreign_current = true;
  std::thread([&] {
    other = autograd::thread_graph().identity();
    foreign_current = autograd::thread_graph().is_current(y);
  }).join();
  check(other != graph.identity() && !foreign_current, "another thread's graph has another identity");
}

void test_stale_operand_appends_nothing() {
  auto& graph = autograd::thread_graph();
  graph.clear();
  Tensor stale = ops::make_leaf(filled({2}, 1.0f), true);
  graph.clear();
  Tensor fresh = ops::make_leaf(filled({2}, 1.0f), true);
  Tensor constant = ops::make_leaf(filled({2}, 1.0f), false);
  const std::size_t size = graph.size();
  for (auto result : {ops::add(fresh, stale), ops::mul(constant, stale), ops::scalar_mul(stale, 2.0f),
                      ops::relu(stale), ops::transpose(stale, 0, 0)}) {
    check(!result.ok() && result.error().kind == quarn::ErrorKind::kRuntimeError, "a stale operand is refused");
  }
  check(graph.size() == size, "a refused operation appends no node");
  auto sum = ops::add(constant, fresh);
  check(sum.ok() && graph.size() == size + 2 && !constant.node_id, "an operand without a node gets a constant node");
}

void test_broadcast_contributions_are_summed_back() {
  // x [1, 3] reaches the add as itself, broadcast to [2, 3], and through a
  // product at its own shape: the contributions [2, 3] and [1, 3] are summed
  // back to [1, 3] before they meet.
  auto& graph = autograd::thread_graph();
  graph.clear();
  Tensor x = ops::make_leaf(filled({1, 3}, 1.0f), true);
  Tensor a = ops::make_leaf(filled({2, 3}, 0.0f), false);
  Tensor wide = ops::add(x, a).value();                  // [2, 3]
  Tensor scaled = ops::scalar_mul(x, 3.0f).value();      // [1, 3]
  Tensor col = ops::reshape(wide, Shape{2, 1, 3}).value();
  Tensor row = ops::reshape(scaled, Shape{1, 1, 3}).value();
  Tensor y = ops::add(col, row).value();                 // [2, 1, 3]
  check(autograd::backward(y).ok(), "backward runs");
  auto g = graph.get_grad(x);
  check(g && g->shape() == Shape{1, 3} && values(*g) == std::vector<float>{8.0f, 8.0f, 8.0f},
        "x's gradient is the sum of both paths at its own shape");
}

}  // namespace

int main() {
  test_identities();
  test_stale_operand_appends_nothing();
  test_broadcast_contributions_are_summed_back();
  std::printf("%d checks, %d failed\n", checks, failures);
  return failures == 0 ? 0 : 1;
}
