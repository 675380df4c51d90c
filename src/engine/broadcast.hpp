// Broadcasting internals shared by the element-wise drivers: the expanded
// strides alone, without building a View around them.
#pragma once

#include "core/shape.hpp"
#include "core/storage.hpp"
#include "runtime/error.hpp"

namespace quarn::engine {

// The strides that read `s` over `target` (0 on stretched and missing axes),
// or "Broadcast failed for <which>: ..." when the target's element count
// overflows a signed machine word or `s` does not stretch to it.
Result<Strides> expanded_strides(const Storage& s, const Shape& target, const char* which);

}  // namespace quarn::engine
