// The functions of the maps with numbers, the two-tensor maps and where
// (elementwise_functions.cpp), added to quarn_core._functions.
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

extern PyMethodDef elementwise_function_defs[];

}  // namespace quarn::binding
