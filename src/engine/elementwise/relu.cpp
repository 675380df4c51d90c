#include "engine/elementwise/map.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

Result<Storage> relu(const Storage& a) {
  if (a.dtype() == DType::Bool) return type_error("Tensor Dtype not supported for this operation: relu");
  return elementwise::map_unary(elementwise::kRelu, a.dtype(), a);
}

}  // namespace quarn::engine
