"""quarn.Tensor: quarn_core's tensor with the protocol Python users expect.

It is a subclass, made by the extension, of quarn_core.Tensor, with no
fields of its own: the same record, every operation and message of the
compiled type, and the results of any operation with a quarn.Tensor operand
are quarn.Tensor again (plain quarn_core.Tensor operands still give plain
quarn_core.Tensor results). What it adds is written here, in Python, and
installed on that compiled subclass itself (quarn_core's _TensorBase) at
import: a result is then allocated and freed by the compiled type's own
functions, not by those of a class made in Python, which cost every
operation about 15 ns more.
"""

from __future__ import annotations

import operator
from typing import Any, Iterable, Iterator, Sequence, SupportsIndex, TypeVar, cast

import numpy as np
from numpy.typing import DTypeLike, NDArray

import quarn_core as _core

from ._indexing import getitem as _getitem

_DTYPE_NAMES = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}


def _rebuild(values: NDArray[Any], dtype: str, requires_grad: bool) -> Tensor:
    """A fresh leaf of the calling thread's graph (pickle's and copy's way back)."""
    return Tensor(values, dtype=dtype, requires_grad=requires_grad)


_BFLOAT16_NAMES = ("bfloat16", "bf16")
_NOT_GIVEN: Any = object()  # an argument the caller left out, told apart from None


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
        return _core.Tensor.__new__(cls, data, dtype, device, requires_grad)

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
        sequence; one extent may be -1. A view when the layout allows
        relabelling (row-major), else a copy."""
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
        # contiguous() is the tensor itself when it is row-major, the only
        # layout a reshape can relabel; otherwise a copy (as NumPy copies).
        return _core.Tensor.reshape(_core._functions.contiguous(self), dims)

    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """Two axes swapped, negative axes counting from the end (a view)."""
        return _core.Tensor.transpose(self, self._axis(dim0), self._axis(dim1))

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

    # ---- Indexing --------------------------------------------------------------------------

    def __getitem__(self, key: Any) -> Tensor:
        """NumPy's indexing: integers, slices (any step), None, ..., integer
        lists and arrays (broadcast together) and bool masks. Integers and
        slices give a view where the selection is a dense block (a row
        block, one row), a copy otherwise; the gradient goes back to the
        positions read, summed where one was read more than once."""
        if type(key) is slice or type(key) is int:  # the common t[a:b] and t[i], straight to the compiled call
            return _core._functions._getitem(self, key)
        return _getitem(self, key)

    def __iter__(self) -> Iterator[Tensor]:
        """The rows along the first axis (views), as NumPy iterates."""
        if not self.ndim:
            raise TypeError("iteration over a 0-d tensor")
        return (self[i] for i in range(self.shape[0]))

    def __setitem__(self, key: Any, value: Any) -> None:
        raise TypeError("quarn tensors are immutable and do not support item assignment; make a new tensor "
                        "instead, for example by joining pieces with quarn.concatenate, or with a float mask m "
                        "of ones where v goes: t * (1 - m) + v * m")
    def contiguous(self) -> Tensor:
        """The elements laid out row-major: the tensor itself when they are."""
        return _core._functions.contiguous(self)

    def broadcast_to(self, shape: SupportsIndex | Sequence[SupportsIndex]) -> Tensor:
        """The elements repeated over `shape`, which they must broadcast to
        (a copy; the gradient is summed back)."""
        return _core._functions.broadcast_to(self, _indices((shape,)))

    def expand(self, *sizes: SupportsIndex | Sequence[SupportsIndex]) -> Tensor:
        """broadcast_to with -1 keeping an existing extent."""
        dims = _indices(sizes)
        lead = len(dims) - self.ndim
        if lead < 0:
            raise ValueError(f"the number of sizes ({len(dims)}) must be at least the number of axes ({self.ndim})")
        for i, e in enumerate(dims):
            if e == -1:
                if i < lead:
                    raise ValueError(f"-1 is not allowed for the new leading axis {i}")
                dims[i] = self.shape[i - lead]
        return self.broadcast_to(dims)

    # ---- Dtypes ---------------------------------------------------------------------------

    def astype(self, dtype: DTypeLike) -> Tensor:
        """The elements in another dtype (float32, float16, bfloat16 or bool),
        rounded once to nearest-even where it narrows. The tensor itself when
        it has that dtype already: tensors never change, so sharing one is as
        good as NumPy's copy. Gradients flow between float dtypes (cast back
        to the operand's dtype); a bool on either side is a mask, which no
        gradient reaches."""
        return _core._functions.cast(self, dtype)

    def to(self, *args: Any, dtype: DTypeLike | None = None, device: str | None = None) -> Tensor:
        """to(dtype), to(device) or to(device, dtype), as PyTorch spells it;
        the only device is "cpu"."""
        for a in args:
            if isinstance(a, str) and a.lower() == "cpu":
                device = a
            elif dtype is None:
                dtype = a
            else:
                raise TypeError("to() takes at most one device and one dtype")
        if device is not None and (not isinstance(device, str) or device.lower() != "cpu"):
            raise ValueError("The device string is invalid or not supported.")
        return self if dtype is None else self.astype(dtype)

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

    # ---- NumPy, DLPack, pickle and copy ---------------------------------------------------

    # NumPy's operators and ufuncs step aside for a tensor: `array * t`
    # reaches the tensor's reflected operator (which takes the array as a
    # constant) instead of making an object array.
    __array_ufunc__ = None
    __array_priority__ = 1000

    def __dlpack__(self, stream: Any = None, *, max_version: tuple[int, int] | None = None,
                   dl_device: Any = _NOT_GIVEN, copy: Any = _NOT_GIVEN) -> Any:
        """A DLPack capsule of the elements: shared, flagged read-only, with a
        consumer that speaks the whole DLPack 1.x protocol (it passes
        max_version, dl_device and copy, as NumPy 2.1 and later do), unless it
        asks for a copy; a private copy for every other consumer. A consumer
        that asks for a versioned capsule need not honour its read-only flag:
        PyTorch 2.13 asks with max_version alone and writes into what it gets,
        so only the full protocol is trusted with the tensor's own memory."""
        if stream is not None:
            raise ValueError("stream must be None for a tensor on the CPU")
        if dl_device is not _NOT_GIVEN and dl_device is not None and tuple(dl_device) != _DLPACK_CPU:
            raise BufferError(f"cannot export to DLPack device {tuple(dl_device)}: only the CPU {_DLPACK_CPU}")
        versioned = max_version is not None and max_version[0] >= 1
        trusted = versioned and dl_device is not _NOT_GIVEN and copy is not _NOT_GIVEN
        if copy is False and not trusted:
            raise BufferError("a tensor's elements are shared only read-only, with a consumer that passes "
                              "max_version, dl_device and copy (DLPack 1.x); ask for a copy instead")
        return _core._functions._to_dlpack(self, versioned, not trusted or copy is True)

    def __dlpack_device__(self) -> tuple[int, int]:
        return _DLPACK_CPU

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


# What a class statement makes besides the methods and attributes.
_CLASS_RECORDS = {"__module__", "__qualname__", "__doc__", "__slots__", "__dict__", "__weakref__",
                  "__static_attributes__", "__firstlineno__"}


_C = TypeVar("_C", bound=type)


def _installed_on_base(cls: _C) -> _C:
    """The compiled base with the class's methods and attributes, named
    quarn.Tensor; the methods above call the compiled ones through
    quarn_core.Tensor, never through super(), which would need `cls`."""
    base = cls.__base__
    assert base is not None and base.__basicsize__ == cls.__basicsize__
    for name, value in vars(cls).items():
        if name not in _CLASS_RECORDS:
            setattr(base, name, value)
    base.__name__ = base.__qualname__ = "Tensor"
    base.__module__ = "quarn"
    base.__doc__ = cls.__doc__
    return cast(_C, base)


Tensor = _installed_on_base(Tensor)  # type: ignore[misc]
_core._functions._register_tensor_type(Tensor)

_DLPACK_CPU = (1, 0)  # DLPack's device type of the CPU, device 0
_NUMPY_DTYPES = {"float32", "float16", "bfloat16", "bool"}


def from_numpy(array: NDArray[Any]) -> Tensor:
    """A new leaf tensor holding a copy of a float32, float16, bfloat16 or
    bool NumPy array, in that dtype."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"expected a numpy.ndarray, got {type(array).__name__}")
    if array.dtype.name not in _NUMPY_DTYPES:
        raise TypeError(f"cannot convert a numpy.ndarray of {array.dtype.name}: "
                        "only float32, float16, bfloat16 and bool are supported")
    return Tensor(array, dtype=array.dtype.name)


def from_dlpack(x: Any) -> Tensor:
    """A new leaf tensor holding a copy of the elements of any object that
    exports DLPack (NumPy arrays, PyTorch tensors, ...) or of a DLPack capsule;
    float32, float16, bfloat16 and bool, on the CPU."""
    if hasattr(x, "__dlpack__"):
        try:
            capsule = x.__dlpack__(max_version=(1, 0))
        except TypeError:  # a producer from before DLPack 1.0 takes no max_version
            capsule = x.__dlpack__()
    else:
        capsule = x
    t: Tensor = _core._functions._from_dlpack(capsule, False)
    return t
