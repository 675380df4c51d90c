// Indexing and joining (index_functions.cpp), added to quarn_core._functions
// by functions_module.
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

// Listed in the submodule's __all__, like the table's other functions.
extern PyMethodDef index_function_defs[];
// In the submodule only: what quarn.Tensor's own methods call.
extern PyMethodDef index_private_defs[];

}  // namespace quarn::binding
