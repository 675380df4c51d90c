"""Operations beyond the operators; a private attribute of quarn_core, named by the quarn package."""

from typing import Sequence, SupportsIndex

from numpy.typing import ArrayLike

from . import Tensor

_Axes = SupportsIndex | Sequence[SupportsIndex] | None

def exp(input: Tensor) -> Tensor:
    """e to the power of each element."""
def log(input: Tensor) -> Tensor:
    """Natural logarithm of each element."""
def tanh(input: Tensor) -> Tensor:
    """Hyperbolic tangent of each element."""
def sigmoid(input: Tensor) -> Tensor:
    """1 / (1 + e^-x) of each element."""
def sum(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Sum over all elements or the given axes (negative axes count from the end)."""
def mean(input: Tensor, axis: _Axes = None, keepdims: bool = False) -> Tensor:
    """Mean over all elements or the given axes (negative axes count from the end)."""
def log_softmax(input: Tensor, axis: SupportsIndex = -1) -> Tensor:
    """Logarithm of the softmax along an axis, computed stably in float32."""
def softmax(input: Tensor, axis: SupportsIndex = -1) -> Tensor:
    """Softmax along an axis, computed stably in float32."""
def cross_entropy(logits: Tensor, targets: ArrayLike) -> Tensor:
    """Mean cross-entropy of [N, C] logits against N integer class indices."""
def mse_loss(pred: Tensor, target: Tensor) -> Tensor:
    """Mean squared error over the broadcast of both operands."""
def set_num_threads(n: SupportsIndex) -> None:
    """Sets how many threads one large operation may use (1 to 256), the caller included."""
def get_num_threads() -> int:
    """How many threads one large operation may use, the caller included."""
