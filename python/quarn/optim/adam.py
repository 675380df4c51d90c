"""Adam and AdamW, optionally with the AMSGrad maximum."""

from __future__ import annotations

import math
from typing import Any, Iterable

import numpy as np

import quarn_core as _core

from .optimizer import Optimizer, _float

_adam_step = _core._functions._adam_step


class Adam(Optimizer):
    """Adam(params, lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0,
    amsgrad=False): PyTorch's Adam, with weight decay added to the gradient."""

    _decoupled = False

    def __init__(self, params: Iterable[Any], lr: float = 1e-3, betas: tuple[float, float] = (0.9, 0.999),
                 eps: float = 1e-8, weight_decay: float = 0.0, amsgrad: bool = False) -> None:
        super().__init__(params, dict(lr=lr, betas=betas, eps=eps, weight_decay=weight_decay, amsgrad=amsgrad))

    def _check_group(self, group: dict[str, Any]) -> None:
        for k in ("lr", "eps", "weight_decay"):
            group[k] = _float(k, group[k])
        super()._check_group(group)
        b1, b2 = (_float("betas", b) for b in group["betas"])
        if not (0.0 <= b1 < 1.0 and 0.0 <= b2 < 1.0):
            raise ValueError(f"betas must lie in [0, 1), not {group['betas']}")
        group["betas"] = (b1, b2)
        if group["eps"] < 0.0 or group["weight_decay"] < 0.0:
            raise ValueError("eps and weight_decay must not be negative")

    def step(self) -> None:
        """Updates every parameter that has a gradient (see Parameter.grad)."""
        for group in self.param_groups:
            lr, eps, wd = group["lr"], group["eps"], group["weight_decay"]
            beta1, beta2 = group["betas"]
            amsgrad = bool(group["amsgrad"])
            for p in group["params"]:
                g = p.grad
                if g is None:
                    continue
                state = self.state.get(p)
                if state is None:
                    state = self.state[p] = {
                        "step": 0, "exp_avg": np.zeros_like(p.data), "exp_avg_sq": np.zeros_like(p.data)}
                if amsgrad and "max_exp_avg_sq" not in state:
                    state["max_exp_avg_sq"] = np.zeros_like(p.data)
                t = state["step"] = state["step"] + 1
                # Bias corrections in double, rounded once on the way in, as
                # PyTorch computes them from its step count.
                step_size = lr / (1.0 - beta1 ** t)
                bias2_sqrt = math.sqrt(1.0 - beta2 ** t)
                _adam_step(p.data, g, state["exp_avg"], state["exp_avg_sq"],
                           state["max_exp_avg_sq"] if amsgrad else None,
                           lr, beta1, beta2, eps, wd, step_size, bias2_sqrt, self._decoupled)
                p._version += 1  # the next use makes a new leaf


class AdamW(Adam):
    """AdamW(params, lr=1e-3, betas=(0.9, 0.999), eps=1e-8,
    weight_decay=1e-2, amsgrad=False): Adam with the weight decay applied to
    the parameter (p *= 1 - lr * weight_decay) instead of the gradient."""

    _decoupled = True

    def __init__(self, params: Iterable[Any], lr: float = 1e-3, betas: tuple[float, float] = (0.9, 0.999),
                 eps: float = 1e-8, weight_decay: float = 1e-2, amsgrad: bool = False) -> None:
        super().__init__(params, lr=lr, betas=betas, eps=eps, weight_decay=weight_decay, amsgrad=amsgrad)
