"""quarn: a small tensor library with reverse-mode automatic differentiation.

quarn.Tensor is quarn_core.Tensor with the protocol Python users expect
(printing, numbers out, truth values, unary minus, copying and pickling): a
subclass that the extension makes, whose operations are the compiled ones.
Every function here is the compiled module's own object under a second name,
so the package costs no time per call.
"""

import quarn_core as _core

from . import nn
from ._einsum import einsum
from ._indexing import cat, chunk, gather, split, stack, take_along_axis
from ._tensor import Tensor, from_dlpack, from_numpy

__version__ = "0.1.0"

PanicException = _core._PanicException
clear_graph = _core.Tensor.clear_graph

# Operations beyond the operators, recorded in the same per-thread graph.
exp = _core._functions.exp
log = _core._functions.log
tanh = _core._functions.tanh
sigmoid = _core._functions.sigmoid
abs = _core._functions.abs  # noqa: A001 - as NumPy's and PyTorch's
neg = _core._functions.neg
sum = _core._functions.sum  # noqa: A001 - the name users expect, as in NumPy and PyTorch
mean = _core._functions.mean
max = _core._functions.max  # noqa: A001
min = _core._functions.min  # noqa: A001
logsumexp = _core._functions.logsumexp
argmax = _core._functions.argmax
argmin = _core._functions.argmin
sqrt = _core._functions.sqrt
rsqrt = _core._functions.rsqrt
square = _core._functions.square
sign = _core._functions.sign
exp2 = _core._functions.exp2
log2 = _core._functions.log2
log1p = _core._functions.log1p
expm1 = _core._functions.expm1
sin = _core._functions.sin
cos = _core._functions.cos
maximum = _core._functions.maximum
minimum = _core._functions.minimum
where = _core._functions.where
clip = _core._functions.clip
pow = _core._functions.pow  # noqa: A001 - as NumPy's and PyTorch's
cast = _core._functions.cast
contiguous = _core._functions.contiguous
broadcast_to = _core._functions.broadcast_to

# Indexing and joining: integer positions and joins are the compiled
# operations; the rest (and Tensor.__getitem__) are arranged from them in
# quarn/_indexing.py.
take = _core._functions.take
concatenate = _core._functions.concatenate

prod = _core._functions.prod
# var and std divide by n - ddof with ddof 0 unless given, as NumPy's do and
# as quarn's sum and mean follow NumPy; correction= is PyTorch's name for ddof.
var = _core._functions.var
std = _core._functions.std
any = _core._functions.any  # noqa: A001 - as NumPy's
all = _core._functions.all  # noqa: A001

# The threads one large operation may use, the caller included: the
# processors the process may run on, or QUARN_NUM_THREADS, until set.
set_num_threads = _core._functions.set_num_threads
get_num_threads = _core._functions.get_num_threads
# How bfloat16 matrix products multiply: "auto" (the default), "on"/"off"
# for the dot-product instruction, or "amx" for the tile unit (opt-in: its
# sums round differently from the float32 FMA chain).
bf16_dot_mode = _core._functions.bf16_dot_mode

# Modules, optimisers, saving and the default generator (Python).
from . import optim  # noqa: E402
from ._random import manual_seed  # noqa: E402
from ._serialize import load, save  # noqa: E402
from .nn.parameter import no_grad  # noqa: E402

__all__ = [
    "PanicException", "Tensor", "abs", "argmax", "argmin", "clear_graph", "exp", "get_num_threads", "log",
    "logsumexp", "max", "mean", "min", "neg", "nn", "set_num_threads", "sigmoid", "sum", "tanh",
    "clip", "cos", "exp2", "expm1", "log1p", "log2", "maximum", "minimum", "pow", "rsqrt", "sign", "sin", "sqrt",
    "square", "where",
    "broadcast_to", "cast", "contiguous", "from_dlpack", "from_numpy",
]
__all__ += ["load", "manual_seed", "no_grad", "optim", "save"]
__all__ += ["cat", "chunk", "concatenate", "einsum", "gather", "split", "stack", "take", "take_along_axis"]
__all__ += ["all", "any", "prod", "std", "var"]
__all__ += ["bf16_dot_mode"]
