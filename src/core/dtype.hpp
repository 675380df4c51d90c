#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn {

// The ordinal is part of the contract: F16, BF16, F32, Bool.
enum class DType : std::uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

constexpr std::size_t dtype_size(DType d) {
  switch (d) {
    case DType::F16:
    case DType::BF16:
      return 2;
    case DType::F32:
      return 4;
    case DType::Bool:
      return 1;
  }
  return 0;
}

// The name used in error messages.
constexpr std::string_view dtype_name(DType d) {
  switch (d) {
    case DType::F16:
      return "F16";
    case DType::BF16:
      return "BF16";
    case DType::F32:
      return "F32";
    case DType::Bool:
      return "Bool";
  }
  return "?";
}

// The name reported by Tensor.dtype.
constexpr std::string_view dtype_short_name(DType d) {
  switch (d) {
    case DType::F16:
      return "f16";
    case DType::BF16:
      return "bf16";
    case DType::F32:
      return "f32";
    case DType::Bool:
      return "bool";
  }
  return "?";
}

constexpr bool is_numeric(DType d) { return d != DType::Bool; }

}  // namespace quarn
