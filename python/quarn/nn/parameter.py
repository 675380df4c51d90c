"""quarn.nn.Parameter: a trainable array that appears in each step's graph.

A quarn tensor is an immutable leaf of one thread's graph, and that graph is
dropped at every clear_graph(); a parameter outlives both. So a Parameter is
not a tensor but the holder of one: it keeps the value as a float32 NumPy
array (the master copy, which optimisers update in place) and the dtype the
model computes in, and `p.tensor()` hands out the calling thread's leaf for
the current step. That leaf is made on first use after each clear_graph()
(one copy, rounded to the compute dtype, requires_grad=True) and reused for
the rest of the step, so every use of the parameter in a step is the same
node and its gradient collects them all. A subclass of quarn.Tensor could
not do this: its record would name one node of one graph forever.

The operators (+ - * / @, unary minus) and the tensor methods work on a
Parameter directly by going through `p.tensor()`; the compiled functions
(quarn.exp, F.relu, ...) take tensors only, so pass them `p.tensor()`.
"""

from __future__ import annotations

import threading
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

import quarn_core as _core

from .._tensor import Tensor, _ensure_bfloat16

# The compiled constructor itself: quarn.Tensor's Python __new__ only adds
# the bfloat16 import, which compute_dtype makes once instead.
_new_tensor = _core._functions._TensorBase.__new__
_add_reduce = np.add.reduce
_float32 = np.dtype(np.float32)

_graph_identity = _core._functions._graph_identity
_get_ident = threading.get_ident

_DTYPES = {"float32": "float32", "f32": "float32", "float16": "float16", "f16": "float16",
           "bfloat16": "bfloat16", "bf16": "bfloat16"}


class _GradState(threading.local):
    enabled = True


_grad_state = _GradState()


class no_grad:
    """Within `with quarn.no_grad():` parameters give constant tensors on
    this thread, so a forward pass records nothing (evaluation, inference)."""

    def __enter__(self) -> None:
        self._prev = _grad_state.enabled
        _grad_state.enabled = False

    def __exit__(self, *exc: object) -> None:
        _grad_state.enabled = self._prev


def compute_dtype(dtype: Any) -> str:
    """A float dtype name of quarn's: "float32", "float16" or "bfloat16"."""
    name = dtype if isinstance(dtype, str) else getattr(np.dtype(dtype), "name", str(dtype))
    try:
        name = _DTYPES[name]
    except KeyError:
        raise ValueError(f"a parameter computes in float32, float16 or bfloat16, not {dtype!r}") from None
    if name == "bfloat16":
        _ensure_bfloat16()
    return name


def sum_to_shape(grad: NDArray[Any], shape: tuple[int, ...]) -> NDArray[Any]:
    """A broadcast-shaped gradient summed back to `shape`: over the extra
    leading axes and every axis where `shape` has extent 1."""
    if grad.shape == shape:
        return grad
    if grad.shape[1:] == shape:  # a bias over a batch: the common case, kept quick
        return _add_reduce(grad, 0)
    extra = grad.ndim - len(shape)
    if extra:
        grad = grad.sum(axis=tuple(range(extra)))
    stretched = tuple(i for i, n in enumerate(shape) if n == 1 and grad.shape[i] != 1)
    return grad.sum(axis=stretched, keepdims=True) if stretched else grad


class Parameter:
    """Parameter(data, dtype="float32", requires_grad=True)

    `data` is copied into a float32 array (`p.data`, updated in place by
    optimisers); `dtype` is the compute dtype of the leaves it hands out.
    """

    __slots__ = ("_data", "_dtype", "requires_grad", "_leaves", "_constant", "_version", "_grad_set",
                 "__weakref__")

    def __init__(self, data: ArrayLike, dtype: Any = "float32", requires_grad: bool = True) -> None:
        if isinstance(data, Parameter):
            data = data.data
        elif isinstance(data, _core.Tensor):
            data = data.to_numpy()
        self._data: NDArray[np.float32] = np.array(data, dtype=np.float32, order="C", copy=True)
        self._dtype = compute_dtype(dtype)
        self.requires_grad = bool(requires_grad)
        # Thread ident -> (graph identity, version, leaf): one leaf per
        # thread's graph, replaced when that graph is cleared or the value
        # changes.
        self._leaves: dict[int, tuple[int, int, Tensor]] = {}
        self._constant: tuple[int, Tensor] | None = None
        self._version = 0
        self._grad_set: tuple[int, NDArray[np.float32]] | None = None

    # ---- The leaf of this step -----------------------------------------------------------

    def tensor(self) -> Tensor:
        """The calling thread's leaf for this step (or, under no_grad() or
        with requires_grad False, a constant tensor of the current value)."""
        if not (self.requires_grad and _grad_state.enabled):
            const = self._constant
            if const is None or const[0] != self._version:
                const = (self._version, _new_tensor(Tensor, self._data, self._dtype, "cpu", False))
                self._constant = const
            return const[1]
        ident = _get_ident()
        graph = _graph_identity()
        entry = self._leaves.get(ident)
        if entry is not None and entry[0] == graph and entry[1] == self._version:
            return entry[2]
        leaf = _new_tensor(Tensor, self._data, self._dtype, "cpu", True)
        if entry is None and len(self._leaves) >= 8:
            self._forget_finished_threads()
        self._leaves[ident] = (graph, self._version, leaf)
        return leaf

    def _forget_finished_threads(self) -> None:
        alive = {t.ident for t in threading.enumerate()}
        for ident in [i for i in self._leaves if i not in alive]:
            del self._leaves[ident]

    def _changed(self) -> None:
        """The master copy changed in place: the next use makes a new leaf."""
        self._version += 1

    # ---- Gradient --------------------------------------------------------------------------

    @property
    def grad(self) -> NDArray[np.float32] | None:
        """The gradient of the last backward() on this thread with respect to
        this step's latest leaf (a new one is made when the value changes,
        as opt.step() changes it), summed to the parameter's shape, as float32; None
        before backward() or after the graph was cleared. A gradient
        assigned with `p.grad = g` takes its place until the graph is
        cleared."""
        graph = _graph_identity()
        given = self._grad_set
        if given is not None and given[0] == graph:
            return given[1]
        entry = self._leaves.get(_get_ident())
        if entry is None or entry[0] != graph:
            return None
        g = entry[2].grad()
        if g is None:
            return None
        # Widened before summing: NumPy would add half-precision values in
        # their own precision, rounding at every step.
        if g.dtype != _float32:
            g = g.astype(_float32)
        shape = self._data.shape
        if g.shape != shape:
            g = sum_to_shape(g, shape)
        # The optimisers' kernels read a dense float32 array, or the
        # transpose of one: a weight used transposed in a product (Linear's)
        # gets its gradient that way, and it is read in place.
        flags = g.flags
        if not (flags.c_contiguous or (flags.f_contiguous and g.ndim == 2)):
            g = np.ascontiguousarray(g)
        return g

    @grad.setter
    def grad(self, value: ArrayLike | None) -> None:
        if value is None:
            self._grad_set = None
            return
        g = np.ascontiguousarray(value, dtype=np.float32)
        if g.shape != self.data.shape:
            raise ValueError(f"a gradient of shape {g.shape} for a parameter of shape {self.data.shape}")
        self._grad_set = (_graph_identity(), g)

    # ---- Value and dtype ---------------------------------------------------------------------

    @property
    def data(self) -> NDArray[np.float32]:
        """The float32 master copy (C-contiguous), updated in place by the
        optimisers; call p.copy_(values) or assign p.data after changing it
        by other means, so that the next use makes a new leaf."""
        return self._data

    @data.setter
    def data(self, values: ArrayLike) -> None:
        self._data = np.array(values, dtype=np.float32, order="C", copy=True)
        self._changed()

    @property
    def dtype(self) -> str:
        """The compute dtype of the leaves: "float32", "float16" or "bfloat16"."""
        return self._dtype

    @dtype.setter
    def dtype(self, value: Any) -> None:
        self._dtype = compute_dtype(value)
        self._changed()

    @property
    def shape(self) -> tuple[int, ...]:
        return self.data.shape

    @property
    def ndim(self) -> int:
        return self.data.ndim

    def numel(self) -> int:
        return int(self.data.size)

    def numpy(self) -> NDArray[np.float32]:
        """A copy of the master values."""
        return self.data.copy()

    def copy_(self, values: ArrayLike) -> Parameter:
        """Overwrites the master values (same shape), as loading does."""
        arr = np.asarray(values.to_numpy() if isinstance(values, _core.Tensor) else values, dtype=np.float32)
        if arr.shape != self.data.shape:
            raise ValueError(f"values of shape {arr.shape} for a parameter of shape {self.data.shape}")
        self.data[...] = arr
        self._changed()
        return self

    def __reduce__(self) -> tuple[Any, ...]:
        # The value, dtype and flag: leaves belong to the graphs of this
        # process's threads and are made again on first use.
        return (Parameter, (self._data, self._dtype, self.requires_grad))

    def __repr__(self) -> str:
        body = np.array2string(self.data, separator=", ", prefix="Parameter(")
        extra = "" if self._dtype == "float32" else f", dtype={self._dtype}"
        return f"Parameter({body}{extra})"

    # ---- Used where a tensor is ------------------------------------------------------------------

    def __getattr__(self, name: str) -> Any:
        # Tensor methods and attributes (reshape, T, sum, exp, ...) of this step's leaf.
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self.tensor(), name)

    def __add__(self, other: Any) -> Any:
        return self.tensor() + _as_operand(other)

    # Reflected: `other OP p`, where other's own operator declined (a tensor
    # whose slot does not know parameters, or a number).
    def __radd__(self, other: Any) -> Any:
        return getattr(self.tensor(), "__radd__")(other)

    def __sub__(self, other: Any) -> Any:
        return self.tensor() - _as_operand(other)

    def __rsub__(self, other: Any) -> Any:
        return getattr(self.tensor(), "__rsub__")(other)

    def __mul__(self, other: Any) -> Any:
        return self.tensor() * _as_operand(other)

    def __rmul__(self, other: Any) -> Any:
        return getattr(self.tensor(), "__rmul__")(other)

    def __truediv__(self, other: Any) -> Any:
        return self.tensor() / _as_operand(other)

    def __rtruediv__(self, other: Any) -> Any:
        return getattr(self.tensor(), "__rtruediv__")(other)

    def __matmul__(self, other: Any) -> Any:
        return self.tensor() @ _as_operand(other)

    def __rmatmul__(self, other: Any) -> Any:
        return getattr(self.tensor(), "__rmatmul__")(other)

    def __neg__(self) -> Any:
        return -self.tensor()

    # NumPy's operators defer to ours, so `array * p` is a tensor, not an array.
    __array_ufunc__ = None

    def __array__(self, dtype: Any = None, copy: bool | None = None) -> NDArray[Any]:
        if copy is False:
            raise ValueError("a parameter's values cannot be shared without a copy")
        return self.data.copy() if dtype is None else self.data.astype(dtype)


def _as_operand(x: Any) -> Any:
    return x.tensor() if isinstance(x, Parameter) else x
