// Binary32 working copies for the kernels of nn_ops.hpp: a view's elements
// gathered row-major (half formats widened once) in any order of its axes,
// and the way back, rounding once to the dtype.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/storage.hpp"
#include "engine/convert.hpp"
#include "engine/copy.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

// The elements of `v` in binary32, row-major over its shape.
inline std::vector<float> f32_of(const View& v) {
  const std::size_t n = numel(v.shape);
  const std::size_t w = dtype_size(v.dtype);
  std::vector<std::ptrdiff_t> bytes(v.strides.size(), 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = v.strides[i] * static_cast<std::ptrdiff_t>(w);
  std::vector<float> out(n);
  if (v.dtype == DType::F32) {
    gather_row_major(v.data, v.shape, bytes.data(), w, out.data());
  } else {
    std::vector<std::uint16_t> raw(n);
    gather_row_major(v.data, v.shape, bytes.data(), w, raw.data());
    widen_to_f32(v.dtype, raw.data(), out.data(), n);
  }
  return out;
}

inline std::vector<float> f32_of(const Storage& s) { return f32_of(view_of(s)); }

// `v` with its axes taken in `order` (a permutation of them).
inline View permuted(const View& v, const std::vector<std::size_t>& order) {
  View p{v.dtype, v.data, {}, {}};
  for (std::size_t axis : order) {
    p.shape.push_back(v.shape[axis]);
    p.strides.push_back(v.strides[axis]);
  }
  return p;
}

// A storage of `dtype` and `shape` whose elements are `values`, laid out
// row-major over the axes taken in `order` (as permuted() read them), each
// rounded once to the dtype; its strides put every element at its place.
inline Storage unpermuted(DType dtype, const Shape& shape, const std::vector<std::size_t>& order,
                          const float* values) {
  Shape moved;
  for (std::size_t axis : order) moved.push_back(shape[axis]);
  Storage out = Storage::allocate_row_major(dtype, moved);
  if (dtype == DType::F32) {
    std::copy(values, values + out.numel(), out.mutable_data_as<float>());
  } else {
    round_from_f32(dtype, values, out.mutable_data(), out.numel());
  }
  Strides strides(shape.size(), 0);
  for (std::size_t k = 0; k < order.size(); ++k) strides[order[k]] = out.strides()[k];
  return out.relabel(shape, std::move(strides));
}

inline Storage rounded_storage(DType dtype, const Shape& shape, const float* values) {
  std::vector<std::size_t> order(shape.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  return unpermuted(dtype, shape, order, values);
}

// The kept axes of a reduction in order, then the reduced ones: reading a
// storage in this order makes each group one contiguous run.
inline std::vector<std::size_t> kept_then_reduced(std::size_t ndim, const Shape& axes) {
  std::vector<bool> reduced(ndim, false);
  for (std::size_t a : axes) reduced[a] = true;
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < ndim; ++i)
    if (!reduced[i]) order.push_back(i);
  for (std::size_t a : axes) order.push_back(a);
  return order;
}

}  // namespace quarn::engine
