// Errors are values. The code that finds a problem decides which Python
// exception the user sees; every layer in between passes the Error on as it is,
// and only the binding layer turns it into a Python exception.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quarn {

enum class ErrorKind {
  kTypeError,
  kValueError,
  kRuntimeError,
  kIndexError,
  // A Python exception is already set (raised by the interpreter or NumPy
  // while we called into it) and must reach the caller untouched.
  kPythonError,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

inline Error type_error(std::string m) { return {ErrorKind::kTypeError, std::move(m)}; }
inline Error value_error(std::string m) { return {ErrorKind::kValueError, std::move(m)}; }
inline Error runtime_error(std::string m) { return {ErrorKind::kRuntimeError, std::move(m)}; }
inline Error index_error(std::string m) { return {ErrorKind::kIndexError, std::move(m)}; }
inline Error python_error() { return {ErrorKind::kPythonError, {}}; }

// Result<T> holds either a T or an Error. Result<void> holds only the error
// case.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  Error& error() & { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }
  const Error& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  Error& error() & { return error_; }
  Error&& error() && { return std::move(error_); }
  const Error& error() const& { return error_; }

 private:
  Error error_{ErrorKind::kRuntimeError, {}};
  bool ok_ = true;
};

}  // namespace quarn

#define QUARN_CONCAT_INNER(a, b) a##b
#define QUARN_CONCAT(a, b) QUARN_CONCAT_INNER(a, b)

// QUARN_TRY(auto x, expr): evaluate a Result-returning expression, return its
// error from the enclosing function, else bind the value.
#define QUARN_TRY(decl, expr) QUARN_TRY_IMPL(QUARN_CONCAT(quarn_try_, __LINE__), decl, expr)
#define QUARN_TRY_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                    \
  if (!tmp.ok()) return std::move(tmp).error(); \
  decl = std::move(tmp).value()

// QUARN_CHECK(expr): for Result<void>.
#define QUARN_CHECK(expr)                                   \
  do {                                                      \
    auto quarn_check_r = (expr);                            \
    if (!quarn_check_r.ok()) return std::move(quarn_check_r).error(); \
  } while (0)
