"""The layers, activations and losses as modules, written against the
PyTorch-named functions of quarn.nn.functional. Layers look their functions
up on quarn.nn.functional when called and keep no function objects, so they
copy and pickle by value."""

from __future__ import annotations

import math
from typing import Any, Literal, Sequence

import numpy as np

import quarn_core as _core

from .. import _random
from . import functional as F
from .module import Module
from .parameter import Parameter

_transpose = _core.Tensor.transpose
def _uniform(gen: np.random.Generator, bound: float, shape: tuple[int, ...]) -> np.ndarray:
    return gen.uniform(-bound, bound, size=shape).astype(np.float32)


def _pair(v: int | Sequence[int], what: str) -> tuple[int, int]:
    if isinstance(v, (int, np.integer)):
        return (int(v), int(v))
    t = tuple(int(e) for e in v)
    if len(t) != 2:
        raise ValueError(f"{what} takes one int or two, not {len(t)}")
    return t  # type: ignore[return-value]


def _positive(n: Any, what: str) -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"{what} must be an int, not {type(n).__name__}")
    if n <= 0:
        raise ValueError(f"{what} must be positive, not {n}")
    return int(n)


class Linear(Module):
    """y = x @ weight.T + bias, weight of shape [out_features, in_features].
    Initialised as PyTorch does: weight and bias uniform in
    +-1/sqrt(in_features) (Kaiming-uniform with a = sqrt(5))."""

    weight: Parameter
    bias: Parameter | None

    def __init__(self, in_features: int, out_features: int, bias: bool = True, dtype: Any = "float32",
                 generator: np.random.Generator | None = None) -> None:
        super().__init__()
        self.in_features = _positive(in_features, "in_features")
        self.out_features = _positive(out_features, "out_features")
        gen = _random.generator_or_default(generator)
        bound = 1.0 / math.sqrt(in_features)
        self.weight = Parameter(_uniform(gen, bound, (out_features, in_features)), dtype)
        self.register_parameter("bias", Parameter(_uniform(gen, bound, (out_features,)), dtype) if bias else None)

    def forward(self, x: Any) -> Any:
        w = self.weight.tensor()
        b = self.bias.tensor() if self.bias is not None else None
        if x.ndim < 2:  # one sample: F.linear takes it as a row
            return F.linear(x, w, b)
        # The product inline: F.linear's argument checks would cost a tenth
        # of a small model's step.
        y = x @ _transpose(w, 0, 1)
        return y if b is None else y + b

    def extra_repr(self) -> str:
        return f"in_features={self.in_features}, out_features={self.out_features}, bias={self.bias is not None}"


class Embedding(Module):
    """Rows of a [num_embeddings, embedding_dim] table by index, initialised
    from the standard normal distribution."""

    def __init__(self, num_embeddings: int, embedding_dim: int, dtype: Any = "float32",
                 generator: np.random.Generator | None = None) -> None:
        super().__init__()
        self.num_embeddings = _positive(num_embeddings, "num_embeddings")
        self.embedding_dim = _positive(embedding_dim, "embedding_dim")
        gen = _random.generator_or_default(generator)
        self.weight = Parameter(gen.standard_normal((num_embeddings, embedding_dim)).astype(np.float32), dtype)

    def forward(self, ids: Any) -> Any:
        return F.embedding(ids, self.weight.tensor())

    def extra_repr(self) -> str:
        return f"{self.num_embeddings}, {self.embedding_dim}"


class LayerNorm(Module):
    """Normalisation over the trailing `normalized_shape` axes, with a
    weight of ones and a bias of zeros when elementwise_affine."""

    weight: Parameter | None
    bias: Parameter | None

    def __init__(self, normalized_shape: int | Sequence[int], eps: float = 1e-5, elementwise_affine: bool = True,
                 dtype: Any = "float32") -> None:
        super().__init__()
        shape = (normalized_shape,) if isinstance(normalized_shape, (int, np.integer)) else tuple(normalized_shape)
        self.normalized_shape = tuple(_positive(n, "normalized_shape") for n in shape)
        self.eps = float(eps)
        if elementwise_affine:
            self.weight = Parameter(np.ones(self.normalized_shape, np.float32), dtype)
            self.bias = Parameter(np.zeros(self.normalized_shape, np.float32), dtype)
        else:
            self.register_parameter("weight", None)
            self.register_parameter("bias", None)

    def forward(self, x: Any) -> Any:
        w = self.weight.tensor() if self.weight is not None else None
        b = self.bias.tensor() if self.bias is not None else None
        return F.layer_norm(x, list(self.normalized_shape), w, b, self.eps)

    def extra_repr(self) -> str:
        return f"{self.normalized_shape}, eps={self.eps}"


class Dropout(Module):
    """Zeroes elements with probability p in training (the rest scaled by
    1/(1-p)); the identity in eval mode."""

    def __init__(self, p: float = 0.5, generator: np.random.Generator | None = None) -> None:
        super().__init__()
        if not 0.0 <= p <= 1.0:
            raise ValueError(f"dropout probability must be between 0 and 1, not {p}")
        self.p = float(p)
        self.generator = generator

    def forward(self, x: Any) -> Any:
        if not self.training or self.p == 0.0:
            return x
        return F.dropout(x, self.p, True, _random.generator_or_default(self.generator))

    def extra_repr(self) -> str:
        return f"p={self.p}"


class Flatten(Module):
    """Axes start_dim to end_dim merged into one."""

    def __init__(self, start_dim: int = 1, end_dim: int = -1) -> None:
        super().__init__()
        self.start_dim = start_dim
        self.end_dim = end_dim

    def forward(self, x: Any) -> Any:
        shape = list(x.shape)
        nd = len(shape)
        start = self.start_dim + nd if self.start_dim < 0 else self.start_dim
        end = self.end_dim + nd if self.end_dim < 0 else self.end_dim
        if not 0 <= start <= end < max(nd, 1):
            raise IndexError(f"Flatten({self.start_dim}, {self.end_dim}) of a tensor of dimension {nd}")
        merged = 1
        for e in shape[start:end + 1]:
            merged *= e
        return x.reshape(shape[:start] + [merged] + shape[end + 1:])


class Conv2d(Module):
    """2-D convolution of [N, C, H, W] inputs; weight [out, in/groups, kh, kw]
    and bias initialised as Linear's with fan_in = in/groups * kh * kw."""

    weight: Parameter
    bias: Parameter | None

    def __init__(self, in_channels: int, out_channels: int, kernel_size: int | Sequence[int], stride: Any = 1,
                 padding: Any = 0, dilation: Any = 1, groups: int = 1, bias: bool = True, dtype: Any = "float32",
                 generator: np.random.Generator | None = None) -> None:
        super().__init__()
        self.in_channels = _positive(in_channels, "in_channels")
        self.out_channels = _positive(out_channels, "out_channels")
        self.groups = _positive(groups, "groups")
        if in_channels % groups or out_channels % groups:
            raise ValueError("in_channels and out_channels must be divisible by groups")
        self.kernel_size = _pair(kernel_size, "kernel_size")
        self.stride, self.padding, self.dilation = stride, padding, dilation
        gen = _random.generator_or_default(generator)
        fan_in = in_channels // groups * self.kernel_size[0] * self.kernel_size[1]
        bound = 1.0 / math.sqrt(fan_in)
        self.weight = Parameter(_uniform(gen, bound, (out_channels, in_channels // groups, *self.kernel_size)), dtype)
        self.register_parameter("bias", Parameter(_uniform(gen, bound, (out_channels,)), dtype) if bias else None)

    def forward(self, x: Any) -> Any:
        b = self.bias.tensor() if self.bias is not None else None
        return F.conv2d(x, self.weight.tensor(), b, self.stride, self.padding, self.dilation, self.groups)


class MaxPool2d(Module):
    def __init__(self, kernel_size: Any, stride: Any = None, padding: Any = 0) -> None:
        super().__init__()
        self.kernel_size, self.stride, self.padding = kernel_size, stride, padding

    def forward(self, x: Any) -> Any:
        return F.max_pool2d(x, self.kernel_size, self.stride, self.padding)


class AvgPool2d(Module):
    def __init__(self, kernel_size: Any, stride: Any = None, padding: Any = 0) -> None:
        super().__init__()
        self.kernel_size, self.stride, self.padding = kernel_size, stride, padding

    def forward(self, x: Any) -> Any:
        return F.avg_pool2d(x, self.kernel_size, self.stride, self.padding)


# ---- Activations ------------------------------------------------------------------------------


class ReLU(Module):
    def forward(self, x: Any) -> Any:
        return F.relu(x)


class Tanh(Module):
    def forward(self, x: Any) -> Any:
        return _core._functions.tanh(x)


class Sigmoid(Module):
    def forward(self, x: Any) -> Any:
        return _core._functions.sigmoid(x)


class GELU(Module):
    def __init__(self, approximate: Literal["none", "tanh"] = "none") -> None:
        super().__init__()
        if approximate not in ("none", "tanh"):
            raise ValueError(f"approximate must be 'none' or 'tanh', not {approximate!r}")
        self.approximate: Literal["none", "tanh"] = approximate

    def forward(self, x: Any) -> Any:
        return F.gelu(x, self.approximate)


class SiLU(Module):
    def __init__(self) -> None:
        super().__init__()

    def forward(self, x: Any) -> Any:
        return F.silu(x)


class LeakyReLU(Module):
    def __init__(self, negative_slope: float = 0.01) -> None:
        super().__init__()
        self.negative_slope = float(negative_slope)

    def forward(self, x: Any) -> Any:
        return F.leaky_relu(x, self.negative_slope)


class Softmax(Module):
    def __init__(self, dim: int = -1) -> None:
        super().__init__()
        self.dim = dim

    def forward(self, x: Any) -> Any:
        return F.softmax(x, self.dim)


class LogSoftmax(Module):
    def __init__(self, dim: int = -1) -> None:
        super().__init__()
        self.dim = dim

    def forward(self, x: Any) -> Any:
        return F.log_softmax(x, self.dim)


# ---- Losses ---------------------------------------------------------------------------------------


class CrossEntropyLoss(Module):
    """Mean softmax cross-entropy of [N, C] logits against N class indices."""

    def forward(self, logits: Any, targets: Any) -> Any:
        return F.cross_entropy(logits, targets)


class MSELoss(Module):
    """Mean squared error of two tensors of one shape."""

    def forward(self, pred: Any, target: Any) -> Any:
        return F.mse_loss(pred, target)
