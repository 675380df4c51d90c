// Element maps on binary32 values.
#include "engine/elementwise/map.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

Result<Storage> exp(const Storage& a) {
  if (a.dtype() == DType::Bool) return type_error("Tensor Dtype not supported for this operation: exp");
  return elementwise::map_unary(elementwise::kExp, a.dtype(), a);
}

Result<Storage> log(const Storage& a) {
  if (a.dtype() == DType::Bool) return type_error("Tensor Dtype not supported for this operation: log");
  return elementwise::map_unary(elementwise::kLog, a.dtype(), a);
}

Result<Storage> tanh(const Storage& a) {
  if (a.dtype() == DType::Bool) return type_error("Tensor Dtype not supported for this operation: tanh");
  return elementwise::map_unary(elementwise::kTanh, a.dtype(), a);
}

Result<Storage> sigmoid(const Storage& a) {
  if (a.dtype() == DType::Bool) return type_error("Tensor Dtype not supported for this operation: sigmoid");
  return elementwise::map_unary(elementwise::kSigmoid, a.dtype(), a);
}

}  // namespace quarn::engine
