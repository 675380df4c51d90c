// The bindings of ops/nn_ops.hpp: var, std, any, all, the losses of
// quarn.nn.functional (cross_entropy and mse_loss included), layer_norm and
// pad, with PyTorch's (for the losses) and NumPy's (for the reductions)
// keyword arguments. Part of quarn_core._functions.
#pragma once

#include "binding/python.hpp"

namespace quarn::binding {

extern PyMethodDef nn_function_defs[];

}  // namespace quarn::binding
