// Front ends of indexing and joining (the table's Item, Index and Join
// families): every refusal (IndexError for a position or axis out of
// range, ValueError for shapes, TypeError for dtypes, RuntimeError for a
// stale operand) comes before anything is recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/tensor.hpp"
#include "ops/tensor_ops.hpp"
#include "runtime/error.hpp"

namespace quarn::ops {

// One entry of a basic index: an integer (negative ones count from the
// end), a slice (start and stop as Python's slice unpacking leaves them:
// clamped to a signed word, absent ones at the end the step runs from or
// towards), a new axis, or the ellipsis.
struct KeyItem {
  enum class Kind : std::uint8_t { Integer, Slice, NewAxis, Ellipsis };
  Kind kind = Kind::Integer;
  std::ptrdiff_t index = 0;
  std::ptrdiff_t start = 0, stop = 0, step = 1;
};

// a[key] with at most one ellipsis; axes the key leaves out are taken whole.
Result<Tensor> getitem(const Tensor& a, const std::vector<KeyItem>& key);

// The elements of `a` at `indices` (laid out in `shape`), positions in the
// row-major flattening of `axes` (adjacent, ascending), or of every axis
// when `axes` is absent. Negative positions count from the end.
Result<Tensor> take(const Tensor& a, const std::vector<std::int64_t>& indices, const Shape& shape,
                    const AxisList& axes);

// The tensors joined along `axis`.
Result<Tensor> concatenate(std::span<const Tensor* const> parts, std::ptrdiff_t axis);

}  // namespace quarn::ops
