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

__all__ = ["cross_entropy", "log_softmax", "mse_loss", "relu", "softmax"]

nll_loss = _core._functions.nll_loss
binary_cross_entropy = _core._functions.binary_cross_entropy
binary_cross_entropy_with_logits = _core._functions.binary_cross_entropy_with_logits
l1_loss = _core._functions.l1_loss
smooth_l1_loss = _core._functions.smooth_l1_loss
huber_loss = _core._functions.huber_loss
layer_norm = _core._functions.layer_norm
pad = _core._functions.pad

__all__ += ["binary_cross_entropy", "binary_cross_entropy_with_logits", "dropout", "huber_loss", "l1_loss",
            "layer_norm", "linear", "manual_seed", "nll_loss", "pad", "smooth_l1_loss"]

# dropout's masks when the caller passes no generator; manual_seed replaces it.
_generator = np.random.default_rng()


def manual_seed(seed: int) -> None:
    """Seeds the generator that dropout draws from when it is given none."""
    global _generator
    _generator = np.random.default_rng(seed)


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
    the mask drawn from `generator` (a NumPy Generator; the module's own,
    seeded by manual_seed, when none is given). Returns t itself when not
    training or when p is 0."""
    if isinstance(p, bool) or not 0.0 <= float(p) <= 1.0:
        raise ValueError(f"dropout probability has to be between 0 and 1, but got {p}")
    p = float(p)
    if not training or p == 0.0:
        return t
    rng = _generator if generator is None else generator
    scale = 0.0 if p == 1.0 else 1.0 / (1.0 - p)
    keep = rng.random(t.shape) >= p
    mask = np.where(keep, np.float32(scale), np.float32(0.0)).astype(np.float32)
    return t * type(t)(mask, dtype=_dtype_name(t))


def _dtype_name(t: Tensor) -> str:
    return {"f32": "float32", "f16": "float16", "bf16": "bfloat16"}.get(str(t.dtype), str(t.dtype))
