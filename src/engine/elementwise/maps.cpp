// The element-wise maps of the operation table and their gradients: one
// entry point each, the kernels chosen by the operation.
#include "engine/elementwise/map.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

Result<Storage> map(Op op, const Storage& a) {
  if (auto error = unsupported_dtype(op, a.dtype())) return *error;
  return elementwise::map_unary(elementwise::map_kernel_of(op), a.dtype(), a);
}

Result<Storage> map_gradient(Op op, const Storage& saved, const Storage& g) {
  if (saved.dtype() != g.dtype()) fault("internal error: a gradient of another dtype than its operation's");
  return elementwise::map_binary(elementwise::gradient_kernel_of(op), g.dtype(), saved, g);
}

}  // namespace quarn::engine
