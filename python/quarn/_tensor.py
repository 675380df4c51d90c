"""quarn.Tensor: quarn_core's tensor with the protocol Python users expect.

It is a subclass, made by the extension, of quarn_core.Tensor, with no
fields of its own: the same record, every operation and message of the
compiled type, and the results of any operation with a quarn.Tensor operand
are quarn.Tensor again (plain quarn_core.Tensor operands still give plain
quarn_core.Tensor results). What it adds lives here, in Python, where no
operator's speed depends on it.
"""

from __future__ import annotations

import numpy as np

import quarn_core as _core

_DTYPE_NAMES = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}


def _rebuild(values, dtype, requires_grad):
    """A fresh leaf of the calling thread's graph (pickle's and copy's way back)."""
    return Tensor(values, dtype=dtype, requires_grad=requires_grad)


class Tensor(_core._functions._TensorBase):
    """Tensor(data, dtype=None, device="cpu", requires_grad=False)

    Built from anything NumPy accepts, in float32 (the default), float16,
    bfloat16 or bool. Tensors are immutable: every operation makes a new one.
    """

    __slots__ = ()

    # ---- Numbers out ------------------------------------------------------------------

    def item(self):
        """The one element as a Python float (bool for a bool tensor)."""
        if self._count() != 1:
            raise ValueError(f"only a tensor with one element can be converted to a Python number, not shape {self.shape}")
        return self.to_numpy().reshape(()).item()

    def _count(self):
        n = 1
        for e in self.shape:
            n *= e
        return n

    def tolist(self):
        """The elements as nested Python lists of floats (bools)."""
        return self.to_numpy().tolist()

    def __float__(self):
        return float(self.item())

    def __int__(self):
        return int(self.item())

    def __format__(self, spec):
        if self._count() == 1:
            return format(self.item(), spec)
        return format(repr(self), spec)

    def __bool__(self):
        n = self._count()
        if n == 1:
            return bool(self.item())
        if n == 0:
            raise ValueError("the truth value of a tensor with no elements is ambiguous")
        raise ValueError("the truth value of a tensor with more than one element is ambiguous; "
                         "compare with a number and reduce with quarn.max or quarn.min first")

    # ---- Printing ---------------------------------------------------------------------

    def __repr__(self):
        prefix = "quarn.Tensor("
        body = np.array2string(self.to_numpy(), separator=", ", prefix=prefix)
        extras = []
        if self.dtype != "f32":
            extras.append(f"dtype={_DTYPE_NAMES[self.dtype]}")
        if self.requires_grad:
            extras.append("requires_grad=True")
        return prefix + ", ".join([body, *extras]) + ")"

    __str__ = __repr__

    # ---- Sequence ---------------------------------------------------------------------

    def __len__(self):
        if not self.ndim:
            raise TypeError("len() of a 0-d tensor")
        return self.shape[0]

    # ---- Arithmetic the compiled type leaves out -----------------------------------------

    def __neg__(self):
        return _core._functions.neg(self)

    def __pos__(self):
        return self

    def __abs__(self):
        return _core._functions.abs(self)

    # ---- NumPy, pickle and copy -----------------------------------------------------------

    def __array__(self, dtype=None, copy=None):
        if copy is False:
            raise ValueError("a tensor's values cannot be shared without a copy: tensors are immutable")
        values = self.to_numpy()  # a new array every time
        return values if dtype is None else values.astype(dtype, copy=False)

    def __reduce__(self):
        return (_rebuild, (self.to_numpy(), _DTYPE_NAMES[self.dtype], self.requires_grad))

    def __copy__(self):
        return _rebuild(self.to_numpy(), _DTYPE_NAMES[self.dtype], self.requires_grad)

    def __deepcopy__(self, memo):
        return self.__copy__()


Tensor.__module__ = "quarn"
_core._functions._register_tensor_type(Tensor)
