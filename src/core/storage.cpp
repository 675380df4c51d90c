#include "core/storage.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace quarn {

Storage Storage::allocate(DType dtype, Shape shape, Strides strides) {
  // An empty array needs no memory however large its other extents are.
  std::optional<std::size_t> count = 0;
  if (std::find(shape.begin(), shape.end(), std::size_t{0}) == shape.end()) count = checked_numel(shape);
  if (!count) throw std::bad_alloc();
  std::size_t size = dtype_size(dtype);
  if (*count > std::numeric_limits<std::size_t>::max() / size) throw std::bad_alloc();
  Storage s;
  s.dtype_ = dtype;
  s.shape_ = std::move(shape);
  s.strides_ = std::move(strides);
  s.numel_ = *count;
  s.buffer_ = BufferRef::allocate(*count * size);
  return s;
}

Storage Storage::allocate_row_major(DType dtype, Shape shape) {
  Strides strides = row_major_strides(shape);
  return allocate(dtype, std::move(shape), std::move(strides));
}

Storage Storage::relabel(Shape shape, Strides strides) const {
  Storage s;
  s.dtype_ = dtype_;
  s.shape_ = std::move(shape);
  s.strides_ = std::move(strides);
  s.numel_ = numel_;
  s.offset_ = offset_;
  s.buffer_ = buffer_;
  return s;
}

Storage Storage::view(std::size_t element_offset, Shape shape, Strides strides) const {
  Storage s;
  s.dtype_ = dtype_;
  s.numel_ = quarn::numel(shape);
  s.shape_ = std::move(shape);
  s.strides_ = std::move(strides);
  s.offset_ = offset_ + element_offset * itemsize();
  s.buffer_ = buffer_;
  return s;
}

}  // namespace quarn
