// The thread pool's size, seen from Python (threads.cpp).
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

// Adds set_num_threads and get_num_threads to the module `functions`
// (quarn_core._functions). Returns -1 with a Python exception set on failure.
int add_thread_functions(PyObject* functions);

}  // namespace quarn::binding
