// Operations beyond the operators (functions.cpp).
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

// Tensor methods for them (exp, log, tanh, sigmoid, sum, mean), added to the
// class beside its own.
extern PyMethodDef extra_tensor_methods[];

// The private submodule quarn_core._functions; a new reference.
PyObject* functions_module();

}  // namespace quarn::binding
