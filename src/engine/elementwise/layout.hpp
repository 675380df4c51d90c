// Where the elements of a new element-wise result go in memory.
#pragma once

#include "core/shape.hpp"
#include "core/storage.hpp"

namespace quarn::engine::elementwise {

// How an expanded operand view lies in memory, with its vote for the order of
// a two-operand result.
enum class ViewOrder {
  kBothOrders,       // no axes, or row-major contiguous with at most one axis longer than 1
  kRowMajor,         // row-major contiguous, two or more axes longer than 1
  kColumnMajor,      // column-major contiguous and not row-major contiguous
  kLeansColumnMajor, // otherwise: first axis longer than 1 has stride 1
  kLeansRowMajor,    // otherwise: last axis longer than 1 has stride 1
  kNone,
};

ViewOrder classify_view(const Shape& shape, const Strides& strides);
int order_score(ViewOrder order);

// Strides of the result of a two-operand operation over `shape`, whose
// operands are read with the (expanded) strides `a` and `b`: row-major
// unless both are column-major contiguous or their scores lean column-major;
// see the table in layout.cpp.
Strides binary_result_strides(const Shape& shape, const Strides& a, const Strides& b);

// The operand's own strides when its elements fill one dense block (the
// result then mirrors it element for element), else row-major. `same_layout`
// tells the caller it may run over the buffer flat.
Strides map_result_strides(const Storage& a, bool& same_layout);

}  // namespace quarn::engine::elementwise
