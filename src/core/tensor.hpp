// The tensor record: what one Python Tensor object wraps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/storage.hpp"

namespace quarn {

struct Tensor {
  // Index of this tensor's node in the graph of the thread that made it.
  std::optional<std::size_t> node_id;
  Storage data;
  bool requires_grad = false;
  // Which graph `node_id` indexes: every graph store gets a new identity at
  // creation and at every clearing, so an id that outlived its graph, or one
  // from another thread's graph, is recognised instead of naming a stranger.
  // 0 when there is no node_id.
  std::uint64_t graph = 0;
};

}  // namespace quarn
