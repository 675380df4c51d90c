// A fault is a broken internal condition, not a user error: the one failure
// that unwinds (as a C++ exception) instead of travelling as an Error value.
// Every entry point from Python catches it and raises PanicException, so a
// fault never takes the process down.
#pragma once

#include <exception>
#include <string>

namespace quarn {

class Fault final : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void fault(std::string message);

// The standard wording for an index that is not below a length.
[[noreturn]] void fault_index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace quarn
