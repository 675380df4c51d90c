// The convolution and pooling functions of quarn_core._functions
// (conv_functions.cpp), added to the submodule beside the table's others.
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

extern PyMethodDef conv_function_defs[];

}  // namespace quarn::binding
