// Means: binary32 sums divided by the count, rounded once to the dtype; the
// sums themselves are those of engine::reduce.
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
  return reduce(ReduceOp::kMean, a, axes, keepdims);
}

}  // namespace quarn::engine
