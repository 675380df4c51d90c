// Means: binary32 sums divided by the count, rounded once to the dtype.
#include "engine/convert.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

Storage widened_f32(const Storage& s) {
  if (s.dtype() == DType::F32) return s;
  // The storage is one dense block, so it is widened in its own memory order
  // and the copy keeps its strides.
  Storage wide = Storage::allocate(DType::F32, s.shape(), s.strides());
  widen_to_f32(s.dtype(), s.data(), wide.mutable_data_as<float>(), s.numel());
  return wide;
}

Result<Storage> mean(const Storage& a, const Shape& axes, bool keepdims) {
  if (a.dtype() == DType::Bool) return type_error("Tensor Dtype not supported for this operation: mean");
  QUARN_TRY(Storage total, sum(widened_f32(a), axes, keepdims));
  std::size_t count = 1;
  for (std::size_t axis : axes) count *= a.shape()[axis];
  float* p = total.mutable_data_as<float>();
  for (std::size_t i = 0; i < total.numel(); ++i) p[i] /= static_cast<float>(count);
  if (a.dtype() == DType::F32) return total;
  Storage out = Storage::allocate_row_major(a.dtype(), total.shape());
  round_from_f32(a.dtype(), total.data_as<float>(), out.mutable_data(), total.numel());
  return out;
}

}  // namespace quarn::engine
