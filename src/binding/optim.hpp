// The optimisers' in-place updates and the graph's identity, as private
// entries of quarn_core._functions for the quarn package (optim.cpp).
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

// Adds _sgd_step, _adam_step and _graph_identity to the module `functions`
// (quarn_core._functions). Returns -1 with a Python exception set on failure.
int add_optim_functions(PyObject* functions);

}  // namespace quarn::binding
