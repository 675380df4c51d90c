// The functions behind quarn.Tensor's protocol, added to the private
// submodule quarn_core._functions. Each returns -1 with a Python exception
// set on failure.
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

// cast, contiguous and broadcast_to: the operation table's Layout rows
// (layout_functions.cpp), listed in the submodule's __all__.
int add_layout_functions(PyObject* functions);

// _to_dlpack and _from_dlpack (dlpack.cpp), private to the package.
int add_dlpack_functions(PyObject* functions);

}  // namespace quarn::binding
