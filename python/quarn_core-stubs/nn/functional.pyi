"""Functions on tensors; a plain attribute of quarn_core.nn, not an importable module."""

from .. import Tensor

__all__ = ["relu"]

def relu(py_tensor: Tensor) -> Tensor:
    """max(x, 0) element-wise, recorded for backward() when the input requires a gradient."""
