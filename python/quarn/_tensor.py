"""quarn.Tensor: quarn_core's tensor with the protocol Python users expect.

It is a subclass, made by the extension, of quarn_core.Tensor, with no
fields of its own: the same record, every operation and message of the
compiled type, and the results of any operation with a quarn.Tensor operand
are quarn.Tensor again (plain quarn_core.Tensor operands still give plain
quarn_core.Tensor results). What it adds lives here, in Python, where no
operator's speed depends on it.
"""

from __future__ import annotations

import operator
from typing import Any, Iterable, Sequence, SupportsIndex

import numpy as np
from numpy.typing import DTypeLike, NDArray

import quarn_core as _core

_DTYPE_NAMES = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}


def _rebuild(values: NDArray[Any], dtype: str, requires_grad: bool) -> Tensor:
    """A fresh leaf of the calling thread's graph (pickle's and copy's way back)."""
    return Tensor(values, dtype=dtype, requires_grad=requires_grad)


_BFLOAT16_NAMES = ("bfloat16", "bf16")


def _ensure_bfloat16() -> None:
    """Registers NumPy's bfloat16 type the first time a tensor asks for it:
    importing ml_dtypes costs about a second, which a program that never
    uses bfloat16 should not pay at `import quarn`."""
    import ml_dtypes  # noqa: F401


def _indices(args: tuple[Any, ...]) -> list[int]:
    """Varargs of integers, or one sequence of them."""
    if len(args) == 1 and not isinstance(args[0], (int, np.integer)):
        args = tuple(args[0])
    return [operator.index(a) for a in args]


class Tensor(_core._functions._TensorBase):
    """Tensor(data, dtype=None, device="cpu", requires_grad=False)

    Built from anything NumPy accepts, in float32 (the default), float16,
    bfloat16 or bool. Tensors are immutable: every operation makes a new one.
    """

    __slots__ = ()

    def __new__(cls, data: Any, dtype: DTypeLike | None = None, device: str = "cpu",
                requires_grad: bool | np.bool_ = False) -> Tensor:
        if isinstance(dtype, str) and dtype in _BFLOAT16_NAMES:
            _ensure_bfloat16()
        return super().__new__(cls, data, dtype, device, requires_grad)

    def _count(self) -> int:
        n = 1
        for e in self.shape:
            n *= e
        return n

    def _axis(self, axis: SupportsIndex, ndim: int | None = None) -> int:
        ndim = self.ndim if ndim is None else ndim
        a = operator.index(axis)
        if not -ndim <= a < ndim:
            raise IndexError(f"axis {a} is out of bounds for tensor of dimension {ndim}")
        return a % ndim

    # ---- Numbers out ------------------------------------------------------------------

    def item(self) -> Any:
        """The one element as a Python float (bool for a bool tensor)."""
        if self._count() != 1:
            raise ValueError(f"only a tensor with one element can be converted to a Python number, not shape {self.shape}")
        return self.to_numpy().reshape(()).item()

    def tolist(self) -> Any:
        """The elements as nested Python lists of floats (bools)."""
        return self.to_numpy().tolist()

    def __float__(self) -> float:
        return float(self.item())

    def __int__(self) -> int:
        return int(self.item())

    def __format__(self, spec: str) -> str:
        if self._count() == 1:
            return format(self.item(), spec)
        return format(repr(self), spec)

    def __bool__(self) -> bool:
        n = self._count()
        if n == 1:
            return bool(self.item())
        if n == 0:
            raise ValueError("the truth value of a tensor with no elements is ambiguous")
        raise ValueError("the truth value of a tensor with more than one element is ambiguous; "
                         "compare with a number and reduce with quarn.max or quarn.min first")

    # ---- Printing ---------------------------------------------------------------------

    def __repr__(self) -> str:
        prefix = "quarn.Tensor("
        body = np.array2string(self.to_numpy(), separator=", ", prefix=prefix)
        extras = []
        if self.dtype != "f32":
            extras.append(f"dtype={_DTYPE_NAMES[self.dtype]}")
        if self.requires_grad:
            extras.append("requires_grad=True")
        return prefix + ", ".join([body, *extras]) + ")"

    __str__ = __repr__

    def __len__(self) -> int:
        if not self.ndim:
            raise TypeError("len() of a 0-d tensor")
        return self.shape[0]

    # ---- Shape ---------------------------------------------------------------------------

    def reshape(self, *shape: SupportsIndex | Sequence[SupportsIndex]) -> Tensor:
        """The same elements under another shape, given as varargs or one
        sequence; one extent may be -1. A view: the layout must allow
        relabelling."""
        dims = _indices(shape)
        count = self._count()
        unknown = [i for i, e in enumerate(dims) if e == -1]
        if len(unknown) > 1:
            raise ValueError("can only specify one unknown dimension")
        if any(e < -1 for e in dims):
            raise ValueError(f"negative dimensions not allowed: {tuple(dims)}")
        if unknown:
            known = 1
            for e in dims:
                known *= e if e != -1 else 1
            if known == 0 or count % known:
                raise ValueError(f"cannot reshape tensor of size {count} into shape {tuple(dims)}")
            dims[unknown[0]] = count // known
        return super().reshape(dims)

    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """Two axes swapped, negative axes counting from the end (a view)."""
        return super().transpose(self._axis(dim0), self._axis(dim1))

    def permute(self, *axes: SupportsIndex | Iterable[SupportsIndex]) -> Tensor:
        """The axes in a new order (a view, made of swaps)."""
        order = [self._axis(a) for a in _indices(axes)]
        if sorted(order) != list(range(self.ndim)):
            raise ValueError(f"axes {tuple(order)} are not a permutation of the {self.ndim} axes")
        t, where = self, list(range(self.ndim))
        for i, axis in enumerate(order):
            j = where.index(axis)
            if j != i:
                t = t.transpose(i, j)
                where[i], where[j] = where[j], where[i]
        return t

    @property
    def T(self) -> Tensor:
        """Every axis reversed."""
        return self.permute(range(self.ndim - 1, -1, -1))

    def squeeze(self, axis: SupportsIndex | Sequence[SupportsIndex] | None = None) -> Tensor:
        """Extent-1 axes dropped: all of them, or the given ones (which must be 1)."""
        if axis is None:
            drop = {i for i, e in enumerate(self.shape) if e == 1}
        else:
            drop = {self._axis(a) for a in _indices((axis,))}
            if any(self.shape[i] != 1 for i in drop):
                raise ValueError("cannot select an axis to squeeze out which has size not equal to one")
        return self.reshape([e for i, e in enumerate(self.shape) if i not in drop])

    def unsqueeze(self, axis: SupportsIndex) -> Tensor:
        """A new extent-1 axis at `axis` (counted in the result's axes)."""
        shape = list(self.shape)
        shape.insert(self._axis(axis, self.ndim + 1), 1)
        return self.reshape(shape)

    def flatten(self) -> Tensor:
        """Every element along one axis."""
        return self.reshape(-1)

    # ---- Arithmetic the compiled type leaves out -----------------------------------------

    def __neg__(self) -> Tensor:
        return _core._functions.neg(self)

    def __pos__(self) -> Tensor:
        return self

    def __abs__(self) -> Tensor:
        return _core._functions.abs(self)

    def __pow__(self, exponent: Any, modulo: None = None) -> Tensor:
        if modulo is not None:
            return NotImplemented
        if isinstance(exponent, _core.Tensor):
            return _core._functions.pow(self, exponent)
        if isinstance(exponent, (int, float, np.number)):
            return _core._functions.pow(self, float(exponent))
        return NotImplemented

    def __rpow__(self, base: Any) -> Tensor:
        if isinstance(base, (int, float, np.number)):
            return _core._functions.pow(float(base), self)
        return NotImplemented

    # ---- NumPy, pickle and copy -----------------------------------------------------------

    def __array__(self, dtype: DTypeLike | None = None, copy: bool | None = None) -> NDArray[Any]:
        if copy is False:
            raise ValueError("a tensor's values cannot be shared without a copy: tensors are immutable")
        values = self.to_numpy()  # a new array every time
        return values if dtype is None else values.astype(dtype, copy=False)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (self.to_numpy(), _DTYPE_NAMES[self.dtype], self.requires_grad))

    def __copy__(self) -> Tensor:
        return _rebuild(self.to_numpy(), _DTYPE_NAMES[self.dtype], self.requires_grad)

    def __deepcopy__(self, memo: dict[int, Any]) -> Tensor:
        return self.__copy__()


Tensor.__module__ = "quarn"
_core._functions._register_tensor_type(Tensor)
