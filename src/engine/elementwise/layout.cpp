#include "engine/elementwise/layout.hpp"

namespace quarn::engine::elementwise {

namespace {
std::size_t axes_longer_than_one(const Shape& shape) {
  std::size_t count = 0;
  for (std::size_t e : shape) count += e > 1;
  return count;
}
}  // namespace

ViewOrder classify_view(const Shape& shape, const Strides& strides) {
  const std::size_t nd = shape.size();
  const bool row = is_row_major_contiguous(shape, strides);
  if (nd == 0 || (row && axes_longer_than_one(shape) <= 1)) return ViewOrder::kBothOrders;
  if (row) return ViewOrder::kRowMajor;
  if (nd >= 2) {
    if (is_column_major_contiguous(shape, strides)) return ViewOrder::kColumnMajor;
    if (shape[0] > 1 && strides[0] == 1) return ViewOrder::kLeansColumnMajor;
    if (shape[nd - 1] > 1 && strides[nd - 1] == 1) return ViewOrder::kLeansRowMajor;
  }
  return ViewOrder::kNone;
}

int order_score(ViewOrder order) {
  switch (order) {
    case ViewOrder::kRowMajor:
      return 2;
    case ViewOrder::kLeansRowMajor:
      return 1;
    case ViewOrder::kLeansColumnMajor:
      return -1;
    case ViewOrder::kColumnMajor:
      return -2;
    case ViewOrder::kBothOrders:
    case ViewOrder::kNone:
      break;
  }
  return 0;
}

// | both views row-major contiguous               | row-major    |
// | both column-major contiguous, or scores < 0   | column-major |
// | anything else                                 | row-major    |
// A view of the class "both orders" counts as contiguous either way.
Strides binary_result_strides(const Shape& shape, const Strides& a, const Strides& b) {
  const ViewOrder oa = classify_view(shape, a);
  const ViewOrder ob = classify_view(shape, b);
  auto row = [&](const Strides& s, ViewOrder o) {
    return o == ViewOrder::kBothOrders || is_row_major_contiguous(shape, s);
  };
  auto column = [&](const Strides& s, ViewOrder o) {
    return o == ViewOrder::kBothOrders || is_column_major_contiguous(shape, s);
  };
  if (row(a, oa) && row(b, ob)) return row_major_strides(shape);
  if ((column(a, oa) && column(b, ob)) || order_score(oa) + order_score(ob) < 0)
    return column_major_strides(shape);
  return row_major_strides(shape);
}

Strides map_result_strides(const Storage& a, bool& same_layout) {
  same_layout = is_dense_block(a.shape(), a.strides());
  return same_layout ? a.strides() : row_major_strides(a.shape());
}

}  // namespace quarn::engine::elementwise
