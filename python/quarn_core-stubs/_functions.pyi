"""Operations beyond the operators; a private attribute of quarn_core, named by the quarn package."""

from typing import Literal, Sequence, SupportsIndex

from numpy.typing import ArrayLike

from . import Tensor

__all__ = ["abs", "argmax", "argmin", "cross_entropy", "exp", "log", "log_softmax", "logsumexp", "max", "mean", "min",
           "mse_loss", "neg", "relu", "sigmoid", "softmax", "sum", "tanh"]
operations: tuple[dict[str, str], ...]

_Axes = SupportsIndex | Sequence[SupportsIndex] | None

def exp(input: Tensor) -> Tensor:
    """e to the power of each element."""
def log(input: Tensor) -> Tensor:
    """Natural logarithm of each element."""
def tanh(input: Tensor) -> Tensor:
    """Hyperbolic tangent of each element."""
def sigmoid(input: Tensor) -> Tensor:
    """1 / (1 + e^-x) of each element."""
def relu(input: Tensor) -> Tensor:
    """max(x, 0) of each element."""
def abs(input: Tensor) -> Tensor:
    """Absolute value of each element."""
def neg(input: Tensor) -> Tensor:
    """-x of each element."""
def sum(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Sum over all elements or the given axes (negative axes count from the end)."""
def mean(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Mean over all elements or the given axes (negative axes count from the end)."""
def max(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Largest element over all elements or the given axes (NaN if any is NaN)."""
def min(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Smallest element over all elements or the given axes (NaN if any is NaN)."""
def logsumexp(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """log(sum(exp(x))) over all elements or the given axes, computed stably."""
def argmax(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Position of the first largest element in each reduced group, as float32."""
def argmin(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Position of the first smallest element in each reduced group, as float32."""
def log_softmax(input: Tensor, axis: SupportsIndex = -1) -> Tensor:
    """Logarithm of the softmax along an axis, computed stably in float32."""
def softmax(input: Tensor, axis: SupportsIndex = -1) -> Tensor:
    """Softmax along an axis, computed stably in float32."""
def cross_entropy(logits: Tensor, targets: ArrayLike) -> Tensor:
    """Mean cross-entropy of [N, C] logits against N integer class indices."""
def mse_loss(pred: Tensor, target: Tensor) -> Tensor:
    """Mean squared error over the broadcast of both operands."""
def bf16_dot_mode(mode: Literal["auto", "on", "off"] | None = None) -> str:
    """Whether bfloat16 products use the CPU's dot-product instruction; returns the previous mode."""
