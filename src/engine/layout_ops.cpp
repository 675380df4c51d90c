#include "engine/layout_ops.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/convert.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/blocking.hpp"

namespace quarn::engine {

namespace {

// Every storage is one dense block (core/storage.hpp), so an element-wise
// conversion runs over the buffer in memory order and the result keeps the
// operand's strides: no gather, and a transposed operand stays transposed.
void bools_from(DType from, const void* src, std::uint8_t* dst, std::size_t n) {
  switch (from) {
    case DType::F32: {
      const float* p = static_cast<const float*>(src);
      for (std::size_t i = 0; i < n; ++i) dst[i] = p[i] != 0.0f;  // NaN compares unequal: true
      return;
    }
    case DType::F16:
    case DType::BF16: {
      // Zero is the only pattern with every bit but the sign clear; NaN has
      // exponent bits set, so it is true like every other non-zero.
      const auto* p = static_cast<const std::uint16_t*>(src);
      for (std::size_t i = 0; i < n; ++i) dst[i] = (p[i] & 0x7FFFu) != 0;
      return;
    }
    case DType::Bool:
      std::memcpy(dst, src, n);
      return;
  }
}

void floats_from_bools(DType to, const std::uint8_t* src, void* dst, std::size_t n) {
  switch (to) {
    case DType::F32: {
      float* p = static_cast<float*>(dst);
      for (std::size_t i = 0; i < n; ++i) p[i] = src[i] ? 1.0f : 0.0f;
      return;
    }
    case DType::F16:
    case DType::BF16: {
      const std::uint16_t one = to == DType::F16 ? 0x3C00 : 0x3F80;
      auto* p = static_cast<std::uint16_t*>(dst);
      for (std::size_t i = 0; i < n; ++i) p[i] = src[i] ? one : 0;
      return;
    }
    case DType::Bool:
      std::memcpy(dst, src, n);
      return;
  }
}

}  // namespace

Storage cast(const Storage& a, DType to) {
  const DType from = a.dtype();
  if (from == to) return a;
  Storage out = Storage::allocate(to, a.shape(), a.strides());
  const std::size_t n = a.numel();
  if (n == 0) return out;
  if (to == DType::Bool) {
    LongWork guard(n);
    bools_from(from, a.data(), out.mutable_data_as<std::uint8_t>(), n);
  } else if (from == DType::Bool) {
    LongWork guard(n);
    floats_from_bools(to, a.data_as<std::uint8_t>(), out.mutable_data(), n);
  } else if (from == DType::F32) {
    round_from_f32(to, a.data_as<float>(), out.mutable_data(), n);
  } else if (to == DType::F32) {
    widen_to_f32(from, a.data(), out.mutable_data_as<float>(), n);
  } else {
    // float16 <-> bfloat16: widening is exact, so the one rounding is the
    // narrowing's.
    std::vector<float> wide(n);
    widen_to_f32(from, a.data(), wide.data(), n);
    round_from_f32(to, wide.data(), out.mutable_data(), n);
  }
  return out;
}

Result<Storage> broadcast_to(const Storage& a, const Shape& target) {
  if (target.size() < a.ndim() || !stretch_strides(a.shape(), a.strides(), target) || !checked_numel(target))
    return value_error("cannot broadcast a tensor of shape " + format_shape(a.shape()) + " to shape " +
                       format_shape(target));
  return stretched_to(a, target);
}

}  // namespace quarn::engine
