"""Type information for the compiled module quarn_core (re-exported by quarn)."""

from typing import Any, ClassVar, Self, Sequence, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from . import _functions as _functions
from . import nn as nn

__all__ = ["Tensor", "nn"]

# What a binary operator accepts besides a tensor: anything converted to a
# float32 number (Python numbers and bool, NumPy number and bool scalars).
_Scalar: TypeAlias = float | np.number[Any] | np.bool_

class Tensor:
    """An immutable n-dimensional array on the CPU that can record gradients."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(
        cls,
        data: ArrayLike,
        dtype: DTypeLike | None = None,
        device: str = "cpu",
        requires_grad: bool | np.bool_ = False,
    ) -> Self:
        """Copy `data` through numpy.array into a new float32, float16, bfloat16 or bool tensor."""

    @property
    def shape(self) -> list[int]:
        """The extent of each axis; [] for a tensor with no axes."""
    @property
    def ndim(self) -> int:
        """The number of axes."""
    @property
    def strides(self) -> list[int]:
        """The step of each axis in elements (not bytes); [1, 3] for a transposed [2, 3] tensor."""
    @property
    def dtype(self) -> str:
        """The element type: "f32", "f16", "bf16" or "bool"."""
    @property
    def device(self) -> str:
        """Always "cpu"."""
    @property
    def requires_grad(self) -> bool:
        """Whether operations on this tensor are recorded for backward()."""

    def grad(self) -> NDArray[Any] | None:
        """A new NumPy array holding this tensor's gradient from the last backward(), or None."""
    def to_numpy(self) -> NDArray[Any]:
        """A new NumPy array with a copy of the elements."""
    def zeros_like(self) -> Self:
        """A new tensor of zeros with this tensor's shape and dtype."""
    def ones_like(self) -> Self:
        """A new tensor of ones with this tensor's shape and dtype."""
    def reshape(self, shape: Sequence[SupportsIndex]) -> Self:
        """The same elements under a new shape with as many elements (no -1 extent)."""
    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Self:
        """The tensor with axes dim0 and dim1 swapped (no negative axes)."""
    def backward(self) -> None:
        """Fill the gradients of this thread's graph, seeding every element of this tensor with 1."""
    def exp(self) -> Self:
        """e to the power of each element."""
    def log(self) -> Self:
        """Natural logarithm of each element."""
    def tanh(self) -> Self:
        """Hyperbolic tangent of each element."""
    def sigmoid(self) -> Self:
        """1 / (1 + e^-x) of each element."""
    def sum(self, axis: SupportsIndex | Sequence[SupportsIndex] | None = None, keepdims: bool = False) -> Self:
        """Sum over all elements or the given axes (negative axes count from the end)."""
    def mean(self, axis: SupportsIndex | Sequence[SupportsIndex] | None = None, keepdims: bool = False) -> Self:
        """Mean over all elements or the given axes (negative axes count from the end)."""
    @staticmethod
    def clear_graph() -> None:
        """Drop the calling thread's graph and gradients; tensors made before become stale."""

    def __add__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise sum, broadcasting like NumPy."""
    def __radd__(self, value: _Scalar, /) -> Self:
        """Number plus tensor, element-wise."""
    def __sub__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise difference, broadcasting like NumPy (a number on the left is refused)."""
    def __mul__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise product, broadcasting like NumPy."""
    def __rmul__(self, value: _Scalar, /) -> Self:
        """Number times tensor, element-wise."""
    def __truediv__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise quotient, broadcasting like NumPy."""
    def __rtruediv__(self, value: _Scalar, /) -> Self:
        """Number divided by each element."""
    def __matmul__(self, value: Tensor, /) -> Self:
        """Matrix product over the last two axes, batch axes broadcast."""
    def __and__(self, value: Tensor, /) -> Self:
        """Element-wise logical and of two bool tensors."""
    def __or__(self, value: Tensor, /) -> Self:
        """Element-wise logical or of two bool tensors."""
    def __xor__(self, value: Tensor, /) -> Self:
        """Element-wise logical exclusive or of two bool tensors."""
    def __invert__(self) -> Self:
        """Element-wise logical not of a bool tensor."""
    def __eq__(self, value: Tensor | _Scalar, /) -> Self:  # type: ignore[override]
        """Element-wise ==, a bool tensor."""
    def __ne__(self, value: Tensor | _Scalar, /) -> Self:  # type: ignore[override]
        """Element-wise !=, a bool tensor (NaN is unequal to everything)."""
    def __lt__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise <, a bool tensor."""
    def __le__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise <=, a bool tensor."""
    def __gt__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise >, a bool tensor."""
    def __ge__(self, value: Tensor | _Scalar, /) -> Self:
        """Element-wise >=, a bool tensor."""
    def __req__(self, other: _Scalar) -> Self:
        """other == self, element-wise."""
    def __rlt__(self, other: _Scalar) -> Self:
        """other < self, element-wise."""
    def __rgt__(self, other: _Scalar) -> Self:
        """other > self, element-wise."""

class _PanicException(BaseException):
    """A broken internal condition; derives from BaseException, so `except Exception` misses it."""
