"""quarn: a small tensor library with reverse-mode automatic differentiation.

Everything here is the compiled module's own object under a second name:
``quarn.Tensor is quarn_core.Tensor``, and so on. Nothing is wrapped, so the
package costs no time per call.
"""

try:
    # Registers NumPy's "bfloat16" type, which dtype="bfloat16" and the export
    # of bfloat16 tensors need. Without it the other element types still work.
    import ml_dtypes as _ml_dtypes  # noqa: F401
except ImportError:  # pragma: no cover - ml_dtypes is a declared dependency
    pass

import quarn_core as _core

from . import nn

__version__ = "0.1.0"

Tensor = _core.Tensor
PanicException = _core._PanicException
clear_graph = _core.Tensor.clear_graph

# Operations beyond the operators, recorded in the same per-thread graph.
exp = _core._functions.exp
log = _core._functions.log
tanh = _core._functions.tanh
sigmoid = _core._functions.sigmoid
sum = _core._functions.sum  # noqa: A001 - the name users expect, as in NumPy and PyTorch
mean = _core._functions.mean

# The threads one large operation may use, the caller included: the
# processors the process may run on, or QUARN_NUM_THREADS, until set.
set_num_threads = _core._functions.set_num_threads
get_num_threads = _core._functions.get_num_threads

__all__ = [
    "PanicException",
    "Tensor",
    "clear_graph",
    "exp",
    "get_num_threads",
    "log",
    "mean",
    "nn",
    "set_num_threads",
    "sigmoid",
    "sum",
    "tanh",
]
