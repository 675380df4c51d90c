"""Functions on tensors, the compiled module's own objects re-exported."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

import quarn_core as _core

if TYPE_CHECKING:
    from .._tensor import Tensor

relu = _core.nn.functional.relu
log_softmax = _core._functions.log_softmax
softmax = _core._functions.softmax
cross_entropy = _core._functions.cross_entropy
mse_loss = _core._functions.mse_loss
silu = _core._functions.silu
gelu = _core._functions.gelu
leaky_relu = _core._functions.leaky_relu
elu = _core._functions.elu
softplus = _core._functions.softplus
hardtanh = _core._functions.hardtanh
relu6 = _core._functions.relu6

from .._indexing import embedding  # noqa: E402 - after the compiled names, which need nothing
from .._random import generator_or_default  # noqa: E402

# Convolutions and pooling over NCHW tensors, with PyTorch's argument names.
# float16 and bfloat16 are widened to float32, accumulated in float32 (the
# convolutions through the same GEMM as matmul) and rounded once per output
# element, the bias added before that rounding; so are their gradients.
# max_pool2d sends each window's gradient to its first largest element in
# row-major order (its first NaN, if it holds one).
conv1d = _core._functions.conv1d
conv2d = _core._functions.conv2d
conv_transpose2d = _core._functions.conv_transpose2d
max_pool2d = _core._functions.max_pool2d
avg_pool2d = _core._functions.avg_pool2d
adaptive_avg_pool2d = _core._functions.adaptive_avg_pool2d

__all__ = ["cross_entropy", "log_softmax", "mse_loss", "relu", "softmax"]
__all__ += ["embedding"]
__all__ += ["adaptive_avg_pool2d", "avg_pool2d", "conv1d", "conv2d", "conv_transpose2d", "max_pool2d"]

nll_loss = _core._functions.nll_loss
binary_cross_entropy = _core._functions.binary_cross_entropy
binary_cross_entropy_with_logits = _core._functions.binary_cross_entropy_with_logits
l1_loss = _core._functions.l1_loss
smooth_l1_loss = _core._functions.smooth_l1_loss
huber_loss = _core._functions.huber_loss
layer_norm = _core._functions.layer_norm
pad = _core._functions.pad

__all__ += ["binary_cross_entropy", "binary_cross_entropy_with_logits", "dropout", "huber_loss", "l1_loss",
            "layer_norm", "linear", "nll_loss", "pad", "smooth_l1_loss"]


def linear(x: Tensor, w: Tensor, b: Tensor | None = None) -> Tensor:
    """x @ w.T + b, with w of shape [out, in] (PyTorch's layout) and b of [out]."""
    if w.ndim != 2:
        raise ValueError(f"linear expects a weight of shape [out, in], got {list(w.shape)}")
    if x.ndim == 1:  # one sample: the product takes it as a row
        y = (x.reshape([1, x.shape[0]]) @ w.transpose(0, 1)).reshape([w.shape[0]])
    else:
        y = x @ w.transpose(0, 1)
    return y if b is None else y + b


def dropout(t: Tensor, p: float = 0.5, training: bool = True, generator: np.random.Generator | None = None) -> Tensor:
    """Each element zeroed with probability p, the rest scaled by 1 / (1 - p),
    the mask drawn from `generator` (a NumPy Generator; quarn's default
    generator, seeded by quarn.manual_seed, when none is given). Returns t
    itself when not training or when p is 0."""
    if isinstance(p, bool) or not 0.0 <= float(p) <= 1.0:
        raise ValueError(f"dropout probability has to be between 0 and 1, but got {p}")
    p = float(p)
    if not training or p == 0.0:
        return t
    rng = generator_or_default(generator)
    scale = 0.0 if p == 1.0 else 1.0 / (1.0 - p)
    keep = rng.random(t.shape) >= p
    mask = np.where(keep, np.float32(scale), np.float32(0.0)).astype(np.float32)
    return t * type(t)(mask, dtype=_dtype_name(t))


def _dtype_name(t: Tensor) -> str:
    return {"f32": "float32", "f16": "float16", "bf16": "bfloat16"}.get(str(t.dtype), str(t.dtype))
__all__ += ["elu", "gelu", "hardtanh", "leaky_relu", "relu6", "silu", "softplus"]
