"""Functions on tensors; a plain attribute of quarn_core.nn, not an importable module."""

from typing import TypeVar

from .. import Tensor

_T = TypeVar("_T", bound=Tensor)

__all__ = ["relu"]

def relu(py_tensor: _T) -> _T:
    """max(x, 0) element-wise, recorded for backward() when the input requires a gradient."""
