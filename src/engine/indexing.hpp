// Indexing and joining: selections of elements by integers, slices and new
// axes (basic indexing), by integer positions (advanced indexing, gathers)
// and the joining of storages along an axis, with the gradients that put g
// back where the elements came from. All of them only move elements, so
// every dtype is taken and every value comes out bit for bit.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/shape.hpp"
#include "core/storage.hpp"

namespace quarn::engine {

// A basic selection, checked by whoever made it: along every operand axis
// the positions start, start + step, ... (step 0 for an axis that an integer
// dropped), and for every result axis the operand axis it runs along, or -1
// for a new axis of extent 1. Positions are counted in the operand's logical
// shape, so one selection reads any layout and writes back into a row-major
// gradient alike.
struct Selection {
  Shape operand;                 // the operand's shape
  Shape start;                   // per operand axis
  Strides step;                  // per operand axis
  Shape shape;                   // the result's shape
  SmallVector<std::ptrdiff_t> source;  // per result axis
};

// The selection of [begin, begin + count) along `axis` of a storage of
// `shape`, every other axis whole.
Selection slice_along(const Shape& shape, std::size_t axis, std::size_t begin, std::size_t count);

// The selected elements: a view sharing the operand's buffer when they form
// a dense block with steps forward (a row block, one row, a block of
// columns of a column-major operand), otherwise a row-major copy.
Storage select(const Storage& a, const Selection& s);
// Zeros of the operand's shape (row-major) with g, of the result's shape,
// written at the selected positions; g's dtype.
Storage select_backward(const Storage& g, const Selection& s);

// Integer positions along `count` adjacent axes from `axis`, each a
// position in the row-major flattening of those axes (below the product of
// their extents: checked by whoever made them), laid out in `shape`.
struct Positions {
  std::size_t axis = 0;
  std::size_t count = 1;
  Shape shape;
  std::vector<std::size_t> flat;
};

// The shape of take(a, p): a's axes before `axis`, p.shape, a's axes after
// the merged ones.
Shape taken_shape(const Shape& a, const Positions& p);
// The elements at the positions: a row-major storage of taken_shape.
Storage take(const Storage& a, const Positions& p);
// Zeros of `operand` (row-major, g's dtype) with every row of g added at the
// position it was taken from. Repeated positions add their rows in the
// order of the positions, in binary32 for every dtype, and each result
// element is rounded once; the work is cut by destination rows, so the
// bits are the same for any number of threads.
Storage take_backward(const Storage& g, const Shape& operand, const Positions& p);

// The storages joined along `axis`, row-major. The caller has checked that
// they share dtype and number of axes, and all extents but `axis`.
Storage concatenate(std::span<const Storage* const> parts, std::size_t axis);

}  // namespace quarn::engine
