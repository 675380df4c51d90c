// The five comparisons, between two tensors and between a tensor and a
// number. Results are Bool.
#include <cstdint>
#include <string>

#include "engine/elementwise/map.hpp"
#include "engine/storage_ops.hpp"

namespace quarn::engine {

namespace {

elementwise::BinaryKernel kernel_of(CompareOp op) {
  switch (op) {
    case CompareOp::kEq:
      return elementwise::kEq;
    case CompareOp::kGe:
      return elementwise::kGe;
    case CompareOp::kGt:
      return elementwise::kGt;
    case CompareOp::kLe:
      return elementwise::kLe;
    case CompareOp::kLt:
      break;
  }
  return elementwise::kLt;
}

const char* symbol_of(CompareOp op) {
  switch (op) {
    case CompareOp::kEq:
      return "==";
    case CompareOp::kGe:
      return ">=";
    case CompareOp::kGt:
      return ">";
    case CompareOp::kLe:
      return "<=";
    case CompareOp::kLt:
      break;
  }
  return "<";
}

}  // namespace

Result<Storage> compare(CompareOp op, const Storage& a, const Storage& b) {
  if (a.dtype() != b.dtype()) {
    return runtime_error(std::string("Tensor device or dtype mismatch for element-wise ") + symbol_of(op) +
                         " operation.");
  }
  return elementwise::map_binary(kernel_of(op), DType::Bool, a, b);
}

Result<Storage> compare_scalar(CompareOp op, const Storage& a, float s) {
  // The number is first rounded to the tensor's dtype, so a half tensor
  // equals every number that rounds to its element.
  if (a.dtype() == DType::Bool)
    return runtime_error(std::string("Tensor device or dtype mismatch for scalar ") + symbol_of(op) +
                         " operation.");
  const elementwise::ScalarValue value = elementwise::scalar_in(a.dtype(), s);
  return elementwise::map_with_scalar(kernel_of(op), DType::Bool, a, &value);
}

}  // namespace quarn::engine
