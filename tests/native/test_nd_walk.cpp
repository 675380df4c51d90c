// The engine's n-dimensional walk and its planner, against a reference that
// computes every position's offsets from its multi-index.
//
// 1. walk_nd visits every position once, last axis fastest, with the right
//    offsets: no axes, extents of 0 and 1, negative and zero steps, and more
//    axes than a SmallVector keeps inline.
// 2. A planned walk (extent-1 axes dropped, axes reordered and merged) pairs
//    every element of a dense result with the same source element as the
//    plain walk over the shape, for sources with odd byte strides of either
//    sign; and a source laid out like the result merges to a single axis.
#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "engine/nd_walk.hpp"

using namespace quarn;
using namespace quarn::engine;

namespace {

using quarn_test::check;
using Pairs = std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>>;

// Offsets of both operands at every position, row-major, from the index.
Pairs reference(const Shape& shape, const std::vector<std::ptrdiff_t> (&step)[2]) {
  Pairs out;
  const std::size_t count = numel(shape);
  for (std::size_t flat = 0; flat < count; ++flat) {
    std::ptrdiff_t off[2] = {0, 0};
    std::size_t rest = flat;
    for (std::size_t d = shape.size(); d-- > 0;) {
      const auto i = static_cast<std::ptrdiff_t>(rest % shape[d]);
      rest /= shape[d];
      for (int k = 0; k < 2; ++k) off[k] += i * step[k][d];
    }
    out.emplace_back(off[0], off[1]);
  }
  return out;
}

std::string describe(const Shape& shape) {
  std::string s = "[";
  for (std::size_t e : shape) s += std::to_string(e) + ",";
  return s + "]";
}

void test_walk_visits_every_position_in_order() {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t nd = rng() % 10;
    Shape shape;
    std::vector<std::ptrdiff_t> step[2];
    for (std::size_t d = 0; d < nd; ++d) {
      shape.push_back(rng() % 16 == 0 ? 0 : 1 + rng() % 3);
      for (auto& s : step) s.push_back(static_cast<std::ptrdiff_t>(rng() % 15) - 7);
    }
    Pairs got;
    walk_nd<2>(
        nd, [&](std::size_t d) { return shape[d]; }, [&](std::size_t k, std::size_t d) { return step[k][d]; },
        [&](const WalkOffsets<2>& off) { got.emplace_back(off[0], off[1]); });
    check(got == reference(shape, step), "walk over " + describe(shape));
  }
}

void test_planned_walk_pairs_the_same_elements() {
  std::mt19937 rng(7);
  constexpr std::ptrdiff_t kItem = 4;
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t nd = rng() % 7;
    Shape shape;
    for (std::size_t d = 0; d < nd; ++d) shape.push_back(rng() % 20 == 0 ? 0 : 1 + rng() % 4);
    // The result dense in a random axis order; the source either laid out
    // the same way (a dense copy) or with random odd byte strides.
    std::vector<std::size_t> order(nd);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<std::ptrdiff_t> step[2];
    step[0].assign(nd, 0);
    step[1].assign(nd, 0);
    std::ptrdiff_t dense = kItem;
    for (std::size_t i = nd; i-- > 0;) {
      step[0][order[i]] = dense;
      dense *= static_cast<std::ptrdiff_t>(shape[order[i]]);
    }
    const bool same_layout = trial % 4 == 0;
    for (std::size_t d = 0; d < nd; ++d)
      step[1][d] = same_layout ? step[0][d] : static_cast<std::ptrdiff_t>(rng() % 41) - 20;

    WalkPlan<2> plan;
    const bool any = make_walk_plan<2>(shape, [&](std::size_t k, std::size_t ax) { return step[k][ax]; }, plan);
    Pairs want = reference(shape, step);
    check(any == !want.empty(), "plan reports elements for " + describe(shape));
    if (!any) continue;
    const std::size_t pd = plan.extent.size();
    Pairs got;
    walk_plan(plan, pd, [&](const WalkOffsets<2>& off) { got.emplace_back(off[0], off[1]); });
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    check(got == want, "planned walk over " + describe(shape));
    const bool one_element = want.size() == 1;
    if (same_layout) check(pd == (one_element ? 0u : 1u), "a dense copy merges to one axis: " + describe(shape));
    // The result is written in memory order: its innermost step is one item.
    if (pd > 0) check(plan.step[0][pd - 1] == kItem, "result contiguous inside: " + describe(shape));
  }
}

}  // namespace

int main() {
  test_walk_visits_every_position_in_order();
  test_planned_walk_pairs_the_same_elements();
  return quarn_test::report();
}
