"""Operations beyond the operators; a private attribute of quarn_core, named by the quarn package."""

from typing import Literal, Sequence, SupportsIndex, TypeVar

from numpy.typing import ArrayLike

from . import Tensor

__all__ = ["abs", "argmax", "argmin", "cross_entropy", "exp", "log", "log_softmax", "logsumexp", "max", "mean", "min",
           "mse_loss", "neg", "relu", "sigmoid", "softmax", "sum", "tanh",
           "prod", "var", "std", "any", "all", "nll_loss", "binary_cross_entropy", "binary_cross_entropy_with_logits",
           "l1_loss", "smooth_l1_loss", "huber_loss", "layer_norm", "pad"]
operations: tuple[dict[str, str], ...]

_Reduction = Literal["mean", "sum", "none"]
_Axes = SupportsIndex | Sequence[SupportsIndex] | None
# A result has its (first) operand's type: a quarn.Tensor gives a quarn.Tensor.
_T = TypeVar("_T", bound=Tensor)

def exp(input: _T) -> _T:
    """e to the power of each element."""
def log(input: _T) -> _T:
    """Natural logarithm of each element."""
def tanh(input: _T) -> _T:
    """Hyperbolic tangent of each element."""
def sigmoid(input: _T) -> _T:
    """1 / (1 + e^-x) of each element."""
def relu(input: _T) -> _T:
    """max(x, 0) of each element."""
def abs(input: _T) -> _T:
    """Absolute value of each element."""
def neg(input: _T) -> _T:
    """-x of each element."""
def sum(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Sum over all elements or the given axes (negative axes count from the end)."""
def mean(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Mean over all elements or the given axes (negative axes count from the end)."""
def max(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Largest element over all elements or the given axes (NaN if any is NaN)."""
def min(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Smallest element over all elements or the given axes (NaN if any is NaN)."""
def logsumexp(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """log(sum(exp(x))) over all elements or the given axes, computed stably."""
def argmax(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Position of the first largest element in each reduced group, as float32."""
def argmin(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Position of the first smallest element in each reduced group, as float32."""
def log_softmax(input: _T, axis: SupportsIndex = -1) -> _T:
    """Logarithm of the softmax along an axis, computed stably in float32."""
def softmax(input: _T, axis: SupportsIndex = -1) -> _T:
    """Softmax along an axis, computed stably in float32."""
def cross_entropy(logits: _T, targets: ArrayLike | Tensor, weight: Tensor | None = None, ignore_index: SupportsIndex = -100,
                  reduction: _Reduction = "mean", label_smoothing: float = 0.0) -> _T:
    """Cross-entropy of [N, C] logits against N integer class indices or [N, C] class probabilities."""
def mse_loss(pred: _T, target: Tensor, reduction: _Reduction = "mean") -> _T:
    """Squared error of two operands of the same shape."""
def prod(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Product over all elements or the given axes (negative axes count from the end)."""
def var(input: _T, axis: _Axes = None, keepdims: bool = False, *, ddof: float | None = None,
        correction: float | None = None) -> _T:
    """Variance over all elements or the given axes, divided by n - ddof (ddof 0 unless given)."""
def std(input: _T, axis: _Axes = None, keepdims: bool = False, *, ddof: float | None = None,
        correction: float | None = None) -> _T:
    """Standard deviation over all elements or the given axes, sqrt of var."""
def any(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Whether any element is true (nonzero) over all elements or the given axes; a bool tensor."""
def all(input: _T, axis: _Axes = None, keepdims: bool = False) -> _T:
    """Whether every element is true (nonzero) over all elements or the given axes; a bool tensor."""
def nll_loss(input: _T, target: ArrayLike, weight: Tensor | None = None, ignore_index: SupportsIndex = -100,
             reduction: _Reduction = "mean") -> _T:
    """Negative log-likelihood of [N, C] log-probabilities against N integer class indices."""
def binary_cross_entropy(input: _T, target: Tensor, weight: Tensor | None = None, reduction: _Reduction = "mean") -> _T:
    """Binary cross-entropy of probabilities in [0, 1]; each logarithm clamped at -100."""
def binary_cross_entropy_with_logits(input: _T, target: Tensor, weight: Tensor | None = None,
                                     pos_weight: Tensor | None = None, reduction: _Reduction = "mean") -> _T:
    """Binary cross-entropy of logits, finite for logits of any size."""
def l1_loss(input: _T, target: Tensor, reduction: _Reduction = "mean") -> _T:
    """Absolute error."""
def smooth_l1_loss(input: _T, target: Tensor, reduction: _Reduction = "mean", beta: float = 1.0) -> _T:
    """Squared error (halved, over beta) below beta, absolute error above."""
def huber_loss(input: _T, target: Tensor, reduction: _Reduction = "mean", delta: float = 1.0) -> _T:
    """Squared error (halved) below delta, delta times absolute error above."""
def layer_norm(input: _T, normalized_shape: SupportsIndex | Sequence[SupportsIndex], weight: Tensor | None = None,
               bias: Tensor | None = None, eps: float = 1e-05) -> _T:
    """(x - mean) / sqrt(var + eps) * weight + bias over the trailing axes."""
def pad(input: _T, pad: Sequence[SupportsIndex], mode: Literal["constant", "reflect", "replicate"] = "constant",
        value: float | None = 0.0) -> _T:
    """Pads the last len(pad) // 2 axes, last axis first."""
def bf16_dot_mode(mode: Literal["auto", "on", "off"] | None = None) -> str:
    """Whether bfloat16 products use the CPU's dot-product instruction; returns the previous mode."""

class _TensorBase(Tensor):
    """The base of the quarn package's Tensor: quarn_core.Tensor's records and operations."""

def _register_tensor_type(cls: type[_TensorBase], /) -> None:
    """The type of results with any operand other than a plain quarn_core.Tensor."""
def set_num_threads(n: SupportsIndex) -> None:
    """Sets how many threads one large operation may use (1 to 256), the caller included."""
def get_num_threads() -> int:
    """How many threads one large operation may use, the caller included."""
