// AND, OR, XOR and NOT on Bool tensors.
#include "engine/elementwise/map.hpp"
#include "engine/storage_ops.hpp"
#include "runtime/fault.hpp"

namespace quarn::engine {

Result<Storage> logical(LogicOp op, const Storage& a, const Storage& b) {
  // Before any shape check.
  if (a.dtype() != DType::Bool || b.dtype() != DType::Bool) {
    return runtime_error("Logical operations are only supported for Bool data types.");
  }
  elementwise::BinaryKernel kernel = op == LogicOp::kAnd  ? elementwise::kAnd
                                     : op == LogicOp::kOr ? elementwise::kOr
                                                          : elementwise::kXor;
  return elementwise::map_binary(kernel, DType::Bool, a, b);
}

Storage logical_not(const Storage& a) {
  if (a.dtype() != DType::Bool) fault("internal error: logical_not called for a non-Bool storage");
  return elementwise::map_unary(elementwise::kNot, DType::Bool, a);
}

}  // namespace quarn::engine
