// The backward pass's own bookkeeping: the pending ids come out largest
// first and once each, ids a pass can no longer use are dropped, slots found
// again after the table has grown; and a pass that fails half way stores
// nothing.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "autograd/context.hpp"
#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "check.hpp"
#include "ops/tensor_ops.hpp"

namespace {

using quarn::DType;
using quarn::Shape;
using quarn::Storage;
using quarn::Tensor;
using quarn_test::check;
namespace autograd = quarn::autograd;
namespace ops = quarn::ops;

Storage filled(Shape shape, float value) {
  Storage s = Storage::allocate_row_major(DType::F32, std::move(shape));
  float* p = s.mutable_data_as<float>();
  for (std::size_t i = 0; i < s.numel(); ++i) p[i] = value;
  return s;
}

float first(const Storage& s) { return quarn_test::element_value(s.dtype(), static_cast<const char*>(s.data())); }

void test_pending_ids_come_out_largest_first() {
  struct Case {
    std::string name;
    std::vector<std::size_t> ids;   // accumulated in this order, repeats included
    std::size_t bound;              // the first bound asked for
    std::vector<std::size_t> walk;  // what next_below hands out
  };
  std::vector<std::size_t> many, many_down;
  for (std::size_t i = 0; i < 300; ++i) many.push_back((i * 7919) % 1000 * 1000003);
  for (std::size_t i = 300; i-- > 0;) many_down.push_back(i * 1000003);
  // Each id of `many` once: 7919 is prime to 1000, so the first 300 multiples
  // are 300 different residues.
  std::vector<std::size_t> many_walk;
  for (std::size_t r = 1000; r-- > 0;)
    for (std::size_t i = 0; i < 300; ++i)
      if ((i * 7919) % 1000 == r) many_walk.push_back(r * 1000003);
  const Case cases[] = {
      {"empty", {}, 10, {}},
      {"repeats once", {3, 1, 3, 2, 1}, 10, {3, 2, 1}},
      {"at or above the bound dropped", {9, 4, 12, 7}, 9, {7, 4}},
      {"ids far apart", {5, std::size_t{1} << 40, 0, 123456789}, std::size_t{1} << 41,
       {std::size_t{1} << 40, 123456789, 5, 0}},
      {"hundreds of ids, table grown", many, std::size_t{1} << 62, many_walk},
      {"descending", many_down, std::size_t{1} << 62, many_down},
  };
  for (const Case& c : cases) {
    autograd::GradContext ctx({});
    for (std::size_t id : c.ids) check(ctx.accumulate(id, filled({1}, 1.0f)).ok(), c.name + ": accumulate");
    std::vector<std::size_t> walk;
    for (auto i = ctx.next_below(c.bound); i; i = ctx.next_below(*i)) walk.push_back(*i);
    check(walk == c.walk, c.name + ": ids walked");
    // Every slot is found again with all its contributions added.
    for (std::size_t id : c.ids) {
      std::size_t count = 0;
      for (std::size_t other : c.ids) count += other == id;
      std::optional<Storage> g = ctx.take(id);
      check(g && first(*g) == static_cast<float>(count), c.name + ": the sum for id " + std::to_string(id));
      if (g) ctx.set(id, std::move(*g));
    }
    std::vector<std::size_t> distinct = c.ids;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    check(ctx.slots().size() == distinct.size(), c.name + ": one slot per id");
  }
}

void test_failed_pass_stores_nothing() {
  // y = x + x * c. A seed of the wrong shape passes the addition's rule (it
  // hands any broadcast on) and fails at the product's, after x's slot has
  // already received a contribution.
  auto& graph = autograd::thread_graph();
  graph.clear();
  Tensor x = ops::make_leaf(filled({2}, 3.0f), true);
  Tensor c = ops::make_leaf(filled({2}, 5.0f), false);
  Tensor p = ops::mul(x, c).value();
  Tensor y = ops::add(x, p).value();
  check(autograd::backward(y).ok(), "first pass runs");
  const std::optional<Storage> x_before = graph.get_grad(x), p_before = graph.get_grad(p);
  check(x_before && first(*x_before) == 6.0f, "first pass: dx = 1 + c");

  auto failed = autograd::run_backward(*y.node_id, filled({3}, 1.0f));
  check(!failed.ok(), "a seed of the wrong shape fails the pass");
  const std::optional<Storage> x_after = graph.get_grad(x), p_after = graph.get_grad(p);
  check(x_after && x_after->shape() == Shape{2} && first(*x_after) == 6.0f, "x keeps its gradient");
  check(p_after && p_before && p_after->shape() == p_before->shape(), "the product keeps its gradient");
  graph.clear();
}

}  // namespace

int main() {
  test_pending_ids_come_out_largest_first();
  test_failed_pass_stores_nothing();
  return quarn_test::report();
}
