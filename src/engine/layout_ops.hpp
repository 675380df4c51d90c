// New dense storages made of an operand's elements: in another dtype, or
// repeated over a larger shape. The gradient rules of the layout rows of the
// operation table use them too.
#pragma once

#include "core/dtype.hpp"
#include "core/shape.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::engine {

// `a`'s elements in dtype `to`, laid out as `a` is (its shape and strides):
// narrowing rounds once to nearest-even, widening is exact, a bool becomes
// 0 or 1 and a float becomes `x != 0` (NaN is true). `a` itself when it has
// that dtype already.
Storage cast(const Storage& a, DType to);

// `a` read over `target`, row-major. ValueError naming both shapes when a's
// shape does not broadcast to `target` (the target may not drop axes, and
// only extent-1 axes stretch) or when the target's element count overflows.
Result<Storage> broadcast_to(const Storage& a, const Shape& target);

}  // namespace quarn::engine
