// add, sub, mul, div between tensors, and the operations with one number.
#include <cstdint>
#include <string>

#include "engine/convert_bits.hpp"
#include "engine/elementwise/map.hpp"
#include "engine/ops.hpp"

namespace quarn::engine {

using elementwise::BinaryKernel;

namespace {

Result<Storage> arithmetic(BinaryKernel kernel, const Storage& a, const Storage& b) {
  // The dtype checks come before any shape check.
  if (a.dtype() == DType::Bool && b.dtype() == DType::Bool) {
    return type_error(
        "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
  }
  if (a.dtype() != b.dtype()) {
    return value_error("Tensor DType mismatch during binary execution. Cannot operate between " +
                       std::string(dtype_name(a.dtype())) + " and " + std::string(dtype_name(b.dtype())) +
                       ".");
  }
  return elementwise::map_binary(kernel, a.dtype(), a, b);
}

// The number is rounded to the tensor's dtype before it meets any element,
// exactly as if it were a one-element tensor of that dtype.
Result<Storage> with_scalar(BinaryKernel kernel, const char* what, const Storage& a, float s,
                            bool scalar_first = false) {
  union {
    float f32;
    std::uint16_t half;
  } value;
  switch (a.dtype()) {
    case DType::F32:
      value.f32 = s;
      break;
    case DType::F16:
      value.half = round_to_f16(s);
      break;
    case DType::BF16:
      value.half = round_to_bf16(s);
      break;
    case DType::Bool:
      return value_error(std::string("Tensor DType invalid during scalar ") + what +
                         ". Cannot operate between Bool and scalar.");
  }
  return elementwise::map_with_scalar(kernel, a.dtype(), a, &value, scalar_first);
}

}  // namespace

Result<Storage> add(const Storage& a, const Storage& b) { return arithmetic(elementwise::kAdd, a, b); }
Result<Storage> sub(const Storage& a, const Storage& b) { return arithmetic(elementwise::kSub, a, b); }
Result<Storage> mul(const Storage& a, const Storage& b) { return arithmetic(elementwise::kMul, a, b); }
Result<Storage> div(const Storage& a, const Storage& b) { return arithmetic(elementwise::kDiv, a, b); }

Result<Storage> scalar_add(const Storage& a, float s) { return with_scalar(elementwise::kAdd, "add", a, s); }
Result<Storage> scalar_sub(const Storage& a, float s) { return with_scalar(elementwise::kSub, "sub", a, s); }
Result<Storage> scalar_product(const Storage& a, float s) {
  return with_scalar(elementwise::kMul, "product", a, s);
}
Result<Storage> scalar_rdiv(const Storage& a, float s) {
  return with_scalar(elementwise::kDiv, "product", a, s, /*scalar_first=*/true);
}

}  // namespace quarn::engine
