"""SGD with momentum, dampening, Nesterov momentum and weight decay."""

from __future__ import annotations

from typing import Any, Iterable

import numpy as np

import quarn_core as _core

from .optimizer import Optimizer, _float

_sgd_step = _core._functions._sgd_step


class SGD(Optimizer):
    """SGD(params, lr=1e-3, momentum=0, dampening=0, weight_decay=0,
    nesterov=False), step for step the same rule as PyTorch's SGD."""

    def __init__(self, params: Iterable[Any], lr: float = 1e-3, momentum: float = 0.0, dampening: float = 0.0,
                 weight_decay: float = 0.0, nesterov: bool = False) -> None:
        super().__init__(params, dict(lr=lr, momentum=momentum, dampening=dampening, weight_decay=weight_decay,
                                      nesterov=nesterov))

    def _check_group(self, group: dict[str, Any]) -> None:
        for k in ("lr", "momentum", "dampening", "weight_decay"):
            group[k] = _float(k, group[k])
        super()._check_group(group)
        if group["momentum"] < 0.0 or group["weight_decay"] < 0.0:
            raise ValueError("momentum and weight_decay must not be negative")
        if group["nesterov"] and (group["momentum"] <= 0.0 or group["dampening"] != 0.0):
            raise ValueError("Nesterov momentum requires a momentum and zero dampening")

    def step(self) -> None:
        """Updates every parameter that has a gradient (see Parameter.grad)."""
        for group in self.param_groups:
            lr, momentum, dampening = group["lr"], group["momentum"], group["dampening"]
            wd, nesterov = group["weight_decay"], bool(group["nesterov"])
            states = self.state
            for p in group["params"]:
                g = p.grad
                if g is None:
                    continue
                buf = None
                first = False
                if momentum != 0.0:
                    state = states.get(p)
                    if state is None:
                        state = states[p] = {}
                    buf = state.get("momentum_buffer")
                    if buf is None:
                        buf = state["momentum_buffer"] = np.empty_like(p.data)
                        first = True
                _sgd_step(p.data, g, buf, lr, momentum, dampening, wd, nesterov, first)
                p._version += 1
