// Copying between a strided layout and a dense row-major one. The binding
// uses it at the NumPy border for arrays and storages that are neither
// row-major nor column-major.
#pragma once

#include <cstddef>

#include "core/shape.hpp"

namespace quarn::engine {

// Reads the elements of `src` (byte strides of either sign) in row-major
// order of `shape` and writes them densely to `dst`.
void gather_row_major(const void* src, const Shape& shape, const std::ptrdiff_t* byte_strides,
                      std::size_t itemsize, void* dst);

}  // namespace quarn::engine
