// The boundary between our errors and Python's exceptions. Every function the
// interpreter calls runs its body through `guarded`, which turns a fault into
// PanicException and an allocation failure into MemoryError; every Error value
// becomes an exception in `raise`, through one switch.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "binding/python.hpp"
#include "runtime/error.hpp"
#include "runtime/fault.hpp"

namespace quarn::binding {

// The class every fault surfaces as; derives directly from BaseException so
// that `except Exception` does not swallow our bugs.
PyObject* panic_exception_type();

// Sets the Python exception for `error` (leaves an already-set one alone for
// kPythonError). Always returns nullptr, for `return raise(e);`.
PyObject* raise(const Error& error);

// Appends "while processing '<name>'" to the exception being raised.
void add_argument_note(std::string_view parameter);

void raise_panic(const char* message);

// For a failed conversion whose failure only means "not this kind of
// operand": clears the pending exception and returns true when it is an
// ordinary error. KeyboardInterrupt, SystemExit and anything else that is
// not an Exception, and MemoryError, report the state of the program rather
// than of the operand; they stay set (false), for the caller to pass on.
bool discard_conversion_error();

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const Fault& f) {
    raise_panic(f.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("internal error: unknown exception");
  }
  return nullptr;
}

}  // namespace quarn::binding
