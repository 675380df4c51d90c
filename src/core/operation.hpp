// Op, one enumerator per row of the operation table (core/operations.def),
// and each row's description as data, for the layers above and for the
// Python test suite, which checks every operation against its models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/dtype.hpp"
#include "core/operations.def"
#include "runtime/error.hpp"

namespace quarn {

// Two kinds of node that are not operations come first: a leaf made from
// data and a constant standing for an operand that needs no gradient.
enum class Op : std::uint8_t {
  leaf,
  constant,
#define QUARN_OP_ENUMERATOR(name, ...) name,
  QUARN_OPERATIONS(QUARN_OP_ENUMERATOR)
#undef QUARN_OP_ENUMERATOR
};

enum class Family : std::uint8_t {
  Node, Operator, Scalar, Shape, Map, Reduction, Row, Loss, Untracked, Item, Index, Join, Convolution, Bias, Pooling,
  Layout, Layer, ParamMap, Pairwise, Select
};
enum class Order : std::uint8_t { Recorded, Checked, Never };
enum class Dtypes : std::uint8_t { Float, Any, Bool };
enum class Compute : std::uint8_t { Pattern, Stepwise, Widen, Own };
enum class Saves : std::uint8_t { Nothing, Input, Result, Operands };

struct OperationInfo {
  Op op;
  std::string_view name;
  Family family;
  Order order;
  Dtypes dtypes;
  Compute compute;
  Saves saves;
  std::string_view rule;
  std::string_view doc;
};

inline constexpr OperationInfo kOperations[] = {
    {Op::leaf, "leaf", Family::Node, Order::Never, Dtypes::Any, Compute::Pattern, Saves::Nothing, "none", ""},
    {Op::constant, "constant", Family::Node, Order::Never, Dtypes::Any, Compute::Pattern, Saves::Nothing, "none", ""},
#define QUARN_OP_INFO(name, family, order, dtypes, compute, saves, rule, kernel, gradient, doc)               \
  {Op::name,      #name,         Family::family, Order::order, Dtypes::dtypes, Compute::compute, Saves::saves, \
   #rule,         doc},
    QUARN_OPERATIONS(QUARN_OP_INFO)
#undef QUARN_OP_INFO
};

inline constexpr std::size_t kOpCount = std::size(kOperations);

constexpr const OperationInfo& info(Op op) { return kOperations[static_cast<std::size_t>(op)]; }

// The rows are in enumerator order, which every table indexed by Op relies on.
consteval bool rows_follow_the_enumeration() {
  for (std::size_t i = 0; i < kOpCount; ++i)
    if (static_cast<std::size_t>(kOperations[i].op) != i) return false;
  return true;
}
static_assert(rows_follow_the_enumeration());

constexpr bool accepts(Dtypes accepted, DType d) {
  switch (accepted) {
    case Dtypes::Float:
      return d != DType::Bool;
    case Dtypes::Bool:
      return d == DType::Bool;
    case Dtypes::Any:
      return true;
  }
  return false;
}

// The one dtype refusal of the table's Float operations, wherever it is
// made: before recording for a Checked operation, in the engine for a
// Recorded one.
inline std::optional<Error> unsupported_dtype(Op op, DType d) {
  if (accepts(info(op).dtypes, d)) return std::nullopt;
  return type_error("Tensor Dtype not supported for this operation: " + std::string(info(op).name));
}

}  // namespace quarn
