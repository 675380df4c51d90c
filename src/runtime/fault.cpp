#include "runtime/fault.hpp"

namespace quarn {

void fault(std::string message) { throw Fault(std::move(message)); }

void fault_index_out_of_bounds(std::size_t len, std::size_t index) {
  fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
        std::to_string(index));
}

}  // namespace quarn
