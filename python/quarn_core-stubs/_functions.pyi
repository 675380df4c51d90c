"""Operations beyond the operators; a private attribute of quarn_core, named by the quarn package."""

from typing import Any, Literal, Sequence, SupportsIndex, TypeVar, overload

from numpy import float32
from numpy.typing import ArrayLike, DTypeLike, NDArray

from . import Tensor

__all__ = ["abs", "argmax", "argmin", "cross_entropy", "exp", "log", "log_softmax", "logsumexp", "max", "mean", "min",
           "mse_loss", "neg", "relu", "sigmoid", "softmax", "sum", "tanh",
           "clip", "cos", "elu", "exp2", "expm1", "gelu", "hardtanh", "leaky_relu", "log1p", "log2", "maximum",
           "minimum", "pow", "relu6", "rsqrt", "sign", "silu", "sin", "softplus", "sqrt", "square", "where",
           "concatenate", "take",
           "adaptive_avg_pool2d", "avg_pool2d", "conv1d", "conv2d", "conv_transpose2d", "max_pool2d",
           "cast", "contiguous", "broadcast_to",
           "prod", "var", "std", "any", "all", "nll_loss", "binary_cross_entropy", "binary_cross_entropy_with_logits",
           "l1_loss", "smooth_l1_loss", "huber_loss", "layer_norm", "pad"]
operations: tuple[dict[str, str], ...]

_Reduction = Literal["mean", "sum", "none"]
_Axes = SupportsIndex | Sequence[SupportsIndex] | None
# A result has its (first) operand's type: a quarn.Tensor gives a quarn.Tensor.
_T = TypeVar("_T", bound=Tensor)
_Size1 = SupportsIndex | tuple[SupportsIndex]
_Size2 = SupportsIndex | tuple[SupportsIndex, SupportsIndex]

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
def sqrt(input: _T) -> _T:
    """Square root of each element."""
def rsqrt(input: _T) -> _T:
    """1 / sqrt(x) of each element."""
def square(input: _T) -> _T:
    """x * x of each element."""
def sign(input: _T) -> _T:
    """-1, 0 or 1 by the sign of each element (NaN stays NaN); its gradient is 0."""
def exp2(input: _T) -> _T:
    """2 to the power of each element."""
def log2(input: _T) -> _T:
    """Base-2 logarithm of each element."""
def log1p(input: _T) -> _T:
    """log(1 + x) of each element, accurate for small x."""
def expm1(input: _T) -> _T:
    """e^x - 1 of each element, accurate for small x."""
def sin(input: _T) -> _T:
    """Sine of each element (radians)."""
def cos(input: _T) -> _T:
    """Cosine of each element (radians)."""
def silu(input: _T) -> _T:
    """x * sigmoid(x) of each element."""
def gelu(input: _T, approximate: Literal["none", "tanh"] = "none") -> _T:
    """x * P(X <= x) for a standard normal X, or its tanh approximation."""
def leaky_relu(input: _T, negative_slope: float = 0.01) -> _T:
    """x where x > 0, else x * negative_slope."""
def elu(input: _T, alpha: float = 1.0) -> _T:
    """x where x > 0, else alpha * (e^x - 1)."""
def softplus(input: _T, beta: float = 1.0, threshold: float = 20.0) -> _T:
    """log(1 + e^(beta x)) / beta, and x itself where beta x > threshold."""
def hardtanh(input: _T, min_val: float = -1.0, max_val: float = 1.0) -> _T:
    """x clamped to [min_val, max_val]."""
def relu6(input: _T) -> _T:
    """x clamped to [0, 6]."""
def clip(input: _T, min: float | None = None, max: float | None = None) -> _T:
    """x clamped to [min, max]; None leaves that side open. The gradient passes at the bounds."""
def maximum(input: _T | float, other: _T | float) -> _T:
    """The larger of two tensors (or a tensor and a number), broadcast; NaN if either is."""
def minimum(input: _T | float, other: _T | float) -> _T:
    """The smaller of two tensors (or a tensor and a number), broadcast; NaN if either is."""
@overload
def pow(input: _T, exponent: Tensor | float) -> _T:
    """input ** exponent element by element: two tensors broadcast, or a tensor and a number on either side."""
@overload
def pow(input: float, exponent: _T) -> _T: ...
def where(condition: Tensor | ArrayLike, input: _T | float, other: _T | float) -> _T:
    """input where condition (bool) is true, else other, all broadcast."""
def take(input: _T, indices: ArrayLike, axis: _Axes = None) -> _T:
    """The elements at integer positions along an axis (or the flattening of adjacent axes, or of all)."""
def concatenate(tensors: Sequence[_T], axis: SupportsIndex = 0) -> _T:
    """Tensors of one dtype joined along an existing axis."""
def _getitem(input: _T, key: object, /) -> _T:
    """input[key] for integers, slices, None and Ellipsis: a view where the selection is a dense block."""
def conv2d(input: _T, weight: Tensor, bias: Tensor | None = None, stride: _Size2 = 1,
           padding: _Size2 | Literal["same", "valid"] = 0, dilation: _Size2 = 1, groups: SupportsIndex = 1) -> _T:
    """2-D convolution of [N, C, H, W] input with [O, C/groups, kh, kw] filters, plus a bias of [O]."""
def conv1d(input: _T, weight: Tensor, bias: Tensor | None = None, stride: _Size1 = 1,
           padding: _Size1 | Literal["same", "valid"] = 0, dilation: _Size1 = 1, groups: SupportsIndex = 1) -> _T:
    """1-D convolution of [N, C, L] input with [O, C/groups, k] filters, plus a bias of [O]."""
def conv_transpose2d(input: _T, weight: Tensor, bias: Tensor | None = None, stride: _Size2 = 1,
                     padding: _Size2 = 0, output_padding: _Size2 = 0, groups: SupportsIndex = 1,
                     dilation: _Size2 = 1) -> _T:
    """2-D transposed convolution (the gradient of conv2d for its input), plus a bias."""
def max_pool2d(input: _T, kernel_size: _Size2, stride: _Size2 | None = None, padding: _Size2 = 0,
               dilation: _Size2 = 1, ceil_mode: bool = False) -> _T:
    """Largest element of each window; the gradient goes to the first largest element of each window."""
def avg_pool2d(input: _T, kernel_size: _Size2, stride: _Size2 | None = None, padding: _Size2 = 0,
               ceil_mode: bool = False, count_include_pad: bool = True) -> _T:
    """Mean of each window."""
def adaptive_avg_pool2d(input: _T, output_size: SupportsIndex | tuple[SupportsIndex | None, SupportsIndex | None]) -> _T:
    """Mean over equal windows that tile the input into output_size, which must divide the input size."""
def cast(input: _T, dtype: DTypeLike) -> _T:
    """The elements converted to another dtype; the tensor itself when it has that dtype."""
def contiguous(input: _T) -> _T:
    """The elements laid out row-major (the tensor itself when they are)."""
def broadcast_to(input: _T, shape: Sequence[SupportsIndex]) -> _T:
    """The elements repeated over a shape they broadcast to."""
def _to_dlpack(tensor: Tensor, versioned: bool, copy: bool, /) -> Any:
    """A DLPack capsule of the tensor: versioned and read-only sharing its elements, or a copy."""
def _from_dlpack(capsule: Any, requires_grad: bool, /) -> Any:
    """A new leaf tensor holding a copy of a DLPack capsule's elements."""
def bf16_dot_mode(mode: Literal["auto", "on", "off", "amx"] | None = None) -> str:
    """Whether bfloat16 products use the CPU's dot-product instruction; returns the previous mode."""

class _TensorBase(Tensor):
    """The base of the quarn package's Tensor: quarn_core.Tensor's records and operations."""

def _register_tensor_type(cls: type[_TensorBase], /) -> None:
    """The type of results with any operand other than a plain quarn_core.Tensor."""
def set_num_threads(n: SupportsIndex) -> None:
    """Sets how many threads one large operation may use (1 to 256), the caller included."""
def get_num_threads() -> int:
    """How many threads one large operation may use, the caller included."""
def _sgd_step(param: NDArray[float32], grad: NDArray[float32], momentum_buffer: NDArray[float32] | None, lr: float,
              momentum: float, dampening: float, weight_decay: float, nesterov: bool, first: bool, /) -> None:
    """One SGD update of the float32 array param in place (and of its momentum buffer)."""
def _adam_step(param: NDArray[float32], grad: NDArray[float32], exp_avg: NDArray[float32],
               exp_avg_sq: NDArray[float32], max_exp_avg_sq: NDArray[float32] | None, lr: float, beta1: float,
               beta2: float, eps: float, weight_decay: float, step_size: float, bias2_sqrt: float,
               decoupled: bool, /) -> None:
    """One Adam (decoupled: AdamW) update of the float32 array param and its state in place."""
def _graph_identity() -> int:
    """A number that changes whenever the calling thread's graph is cleared and differs between threads."""
