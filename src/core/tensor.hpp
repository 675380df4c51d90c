// The tensor record: what one Python Tensor object wraps.
#pragma once

#include <cstddef>
#include <optional>

#include "core/storage.hpp"

namespace quarn {

struct Tensor {
  // Index of this tensor's node in the graph of the thread that made it.
  std::optional<std::size_t> node_id;
  Storage data;
  bool requires_grad = false;
};

}  // namespace quarn
