// Storage: a dtype-tagged, n-dimensional, immutable array. Every storage the
// system makes is dense: its elements are one contiguous run of its buffer,
// the element at index 0 first, strides zero or positive. The run starts at
// the buffer's beginning, or at a byte offset into it for a view of a block
// of another storage (a row block `t[a:b]`, one row `t[i]`). Storages may
// share one buffer (reshape, transpose and such views only relabel the same
// elements), which is safe because nothing ever writes into a buffer once
// its storage is published. Read elements only through data(): it points at
// the run, past any offset.
#pragma once

#include <cstddef>
#include <utility>

#include "core/dtype.hpp"
#include "core/shape.hpp"
#include "runtime/buffer.hpp"

namespace quarn {

class Storage {
 public:
  Storage() = default;

  // A fresh, uninitialised buffer for `shape` laid out with `strides` (which
  // must describe a dense block). Throws std::bad_alloc when the byte size
  // overflows or the memory cannot be had.
  static Storage allocate(DType dtype, Shape shape, Strides strides);
  static Storage allocate_row_major(DType dtype, Shape shape);

  // The same elements under another shape and strides; shares the buffer.
  Storage relabel(Shape shape, Strides strides) const;
  // The `shape`/`strides` block that starts `element_offset` elements into
  // this storage's run; shares the buffer. The caller has checked that the
  // block is dense and lies within the run.
  Storage view(std::size_t element_offset, Shape shape, Strides strides) const;

  DType dtype() const { return dtype_; }
  const Shape& shape() const { return shape_; }
  const Strides& strides() const { return strides_; }
  std::size_t ndim() const { return shape_.size(); }
  std::size_t numel() const { return numel_; }
  std::size_t itemsize() const { return dtype_size(dtype_); }
  std::size_t nbytes() const { return numel_ * itemsize(); }

  const void* data() const {
    return buffer_ ? static_cast<const std::byte*>(buffer_.get()->data()) + offset_ : nullptr;
  }
  template <class T>
  const T* data_as() const {
    return static_cast<const T*>(data());
  }
  // Only for the code that fills a storage it has just allocated, before
  // anybody else can see it. Not available through a const reference, so
  // code that was handed a storage to read cannot write into it.
  void* mutable_data() { return buffer_ ? static_cast<std::byte*>(buffer_.get()->data()) + offset_ : nullptr; }
  template <class T>
  T* mutable_data_as() {
    return static_cast<T*>(mutable_data());
  }

  bool is_row_major() const { return is_row_major_contiguous(shape_, strides_); }
  bool is_column_major() const { return is_column_major_contiguous(shape_, strides_); }

 private:
  DType dtype_ = DType::F32;
  Shape shape_;
  Strides strides_;
  std::size_t numel_ = 0;
  std::size_t offset_ = 0;  // bytes from the buffer's start to the element at index 0
  BufferRef buffer_;
};

}  // namespace quarn
