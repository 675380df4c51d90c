// Shapes, strides and the layout tests that every layer shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "runtime/small_vector.hpp"

namespace quarn {

using Shape = SmallVector<std::size_t>;
using Strides = SmallVector<std::ptrdiff_t>;

// Product of the extents, or nullopt when the product of the non-zero extents
// does not fit in a signed machine word (an empty shape with huge extents
// still counts as overflowing: callers that print "Broadcast failed" rely on
// that).
std::optional<std::size_t> checked_numel(const Shape& shape);

// Unchecked product, for shapes of storages that already exist.
std::size_t numel(const Shape& shape);

// The strides that read an array of `shape` and `strides` over the larger
// `target`, broadcasting: trailing axes aligned, stride 0 along stretched
// extent-1 axes and along leading axes the array lacks. nullopt when the
// shape does not stretch to the target. Every broadcast view is made here.
std::optional<Strides> stretch_strides(const Shape& shape, const Strides& strides, const Shape& target);

// Row-major strides; all zero for a shape with an extent 0.
Strides row_major_strides(const Shape& shape);
// Column-major strides; all zero for a shape with an extent 0.
Strides column_major_strides(const Shape& shape);

// Contiguity as the layout rules define it: extent-1 axes are skipped, a shape
// with an extent 0 is contiguous whatever its strides, no axes is contiguous.
bool is_row_major_contiguous(const Shape& shape, const Strides& strides);
bool is_column_major_contiguous(const Shape& shape, const Strides& strides);

// True when the elements fill one dense block of memory in some order of the
// axes (strides of either sign), so that an element map can run over the
// block in memory order and keep the operand's strides.
bool is_dense_block(const Shape& shape, const Strides& strides);

// "[2, 3]"; "[]" for no axes.
std::string format_shape(const Shape& shape);

}  // namespace quarn
