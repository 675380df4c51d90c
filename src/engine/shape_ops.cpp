// Reshape and transpose relabel the operand's elements; storages never change
// once made, so the result shares the operand's buffer instead of copying it,
// and both run in time independent of the element count.
#include <cstring>

#include "engine/storage_ops.hpp"
#include "runtime/fault.hpp"

namespace quarn::engine {

namespace {
constexpr char kIncompatibleShape[] =
    "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes";
constexpr char kIncompatibleLayout[] =
    "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout";
}  // namespace

Result<Storage> reshape(const Storage& a, const Shape& shape) {
  auto count = checked_numel(shape);
  if (!count || *count != a.numel()) return value_error(kIncompatibleShape);
  if (!a.is_row_major()) return value_error(kIncompatibleLayout);
  return a.relabel(shape, row_major_strides(shape));
}

Storage transpose(const Storage& a, std::size_t dim0, std::size_t dim1) {
  std::size_t n = a.ndim();
  if (dim0 >= n) fault_index_out_of_bounds(n, dim0);
  if (dim1 >= n) fault_index_out_of_bounds(n, dim1);
  Shape shape = a.shape();
  Strides strides = a.strides();
  std::swap(shape[dim0], shape[dim1]);
  std::swap(strides[dim0], strides[dim1]);
  return a.relabel(std::move(shape), std::move(strides));
}

namespace {
Storage filled(const Storage& like, bool one) {
  Storage out = Storage::allocate_row_major(like.dtype(), like.shape());
  std::size_t n = out.numel();
  if (!one) {
    std::memset(out.mutable_data(), 0, out.nbytes());
    return out;
  }
  switch (out.dtype()) {
    case DType::F32: {
      float* p = out.mutable_data_as<float>();
      for (std::size_t i = 0; i < n; ++i) p[i] = 1.0f;
      break;
    }
    case DType::F16:
    case DType::BF16: {
      const std::uint16_t bits = out.dtype() == DType::F16 ? 0x3C00 : 0x3F80;
      std::uint16_t* p = out.mutable_data_as<std::uint16_t>();
      for (std::size_t i = 0; i < n; ++i) p[i] = bits;
      break;
    }
    case DType::Bool:
      std::memset(out.mutable_data(), 1, n);
      break;
  }
  return out;
}
}  // namespace

Storage zeros_like(const Storage& a) { return filled(a, false); }
Storage ones_like(const Storage& a) { return filled(a, true); }

}  // namespace quarn::engine
