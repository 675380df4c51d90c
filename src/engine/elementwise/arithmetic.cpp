// add, sub, mul, div between tensors, and the operations with one number.
#include <string>

#include "engine/dtype_rules.hpp"
#include "engine/elementwise/map.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

using elementwise::BinaryKernel;

namespace {

Result<Storage> arithmetic(BinaryKernel kernel, const Storage& a, const Storage& b) {
  if (auto error = arithmetic_dtype_error(a.dtype(), b.dtype())) return *error;
  return elementwise::map_binary(kernel, a.dtype(), a, b);
}

Result<Storage> with_scalar(BinaryKernel kernel, const char* what, const Storage& a, float s,
                            bool scalar_first = false) {
  if (a.dtype() == DType::Bool)
    return value_error(std::string("Tensor DType invalid during scalar ") + what +
                       ". Cannot operate between Bool and scalar.");
  const elementwise::ScalarValue value = elementwise::scalar_in(a.dtype(), s);
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
