// The dtype rule that arithmetic and matrix products share, checked before
// any shape: two Bool operands are refused as Bool, any other pair of
// different dtypes as a mismatch naming the left operand's dtype first.
#pragma once

#include <optional>
#include <string>

#include "core/dtype.hpp"
#include "runtime/error.hpp"

namespace quarn::engine {

inline std::optional<Error> arithmetic_dtype_error(DType a, DType b) {
  if (a == DType::Bool && b == DType::Bool)
    return type_error("Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
  if (a != b)
    return value_error("Tensor DType mismatch during binary execution. Cannot operate between " +
                       std::string(dtype_name(a)) + " and " + std::string(dtype_name(b)) + ".");
  return std::nullopt;
}

}  // namespace quarn::engine
