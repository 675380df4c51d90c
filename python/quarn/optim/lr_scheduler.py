"""Learning-rate schedules that set each group's "lr" once per step()
(usually once per epoch), by PyTorch's recursive formulas."""

from __future__ import annotations

import math
from typing import Any

from .optimizer import Optimizer


class LRScheduler:
    def __init__(self, optimizer: Optimizer, last_epoch: int = -1) -> None:
        if not isinstance(optimizer, Optimizer):
            raise TypeError(f"{type(optimizer).__name__} is not an optimizer")
        self.optimizer = optimizer
        if last_epoch == -1:
            for g in optimizer.param_groups:
                g.setdefault("initial_lr", g["lr"])
        elif any("initial_lr" not in g for g in optimizer.param_groups):
            raise KeyError("resuming a schedule (last_epoch != -1) needs 'initial_lr' in every group")
        self.base_lrs = [g["initial_lr"] for g in optimizer.param_groups]
        self.last_epoch = last_epoch
        self.step()

    def get_lr(self) -> list[float]:
        raise NotImplementedError

    def get_last_lr(self) -> list[float]:
        return list(self._last_lr)

    def step(self) -> None:
        self.last_epoch += 1
        for g, lr in zip(self.optimizer.param_groups, self.get_lr()):
            g["lr"] = lr
        self._last_lr = [g["lr"] for g in self.optimizer.param_groups]

    def state_dict(self) -> dict[str, Any]:
        return {k: v for k, v in self.__dict__.items() if k != "optimizer"}

    def load_state_dict(self, state_dict: dict[str, Any]) -> None:
        self.__dict__.update(state_dict)


class StepLR(LRScheduler):
    """lr multiplied by gamma every step_size steps."""

    def __init__(self, optimizer: Optimizer, step_size: int, gamma: float = 0.1, last_epoch: int = -1) -> None:
        if isinstance(step_size, bool) or not isinstance(step_size, int) or step_size < 1:
            raise ValueError(f"step_size must be a positive int, not {step_size!r}")
        self.step_size = step_size
        self.gamma = float(gamma)
        super().__init__(optimizer, last_epoch)

    def get_lr(self) -> list[float]:
        groups = self.optimizer.param_groups
        if self.last_epoch == 0 or self.last_epoch % self.step_size != 0:
            return [g["lr"] for g in groups]
        return [g["lr"] * self.gamma for g in groups]


class CosineAnnealingLR(LRScheduler):
    """lr following half a cosine from the initial lr down to eta_min over
    T_max steps (and back up over the next T_max)."""

    def __init__(self, optimizer: Optimizer, T_max: int, eta_min: float = 0.0, last_epoch: int = -1) -> None:
        if isinstance(T_max, bool) or not isinstance(T_max, int) or T_max < 1:
            raise ValueError(f"T_max must be a positive int, not {T_max!r}")
        self.T_max = T_max
        self.eta_min = float(eta_min)
        super().__init__(optimizer, last_epoch)

    def get_lr(self) -> list[float]:
        groups = self.optimizer.param_groups
        t, T, eta = self.last_epoch, self.T_max, self.eta_min
        if t == 0:
            return [g["lr"] for g in groups]
        if (t - 1 - T) % (2 * T) == 0:
            return [g["lr"] + (base - eta) * (1 - math.cos(math.pi / T)) / 2
                    for base, g in zip(self.base_lrs, groups)]
        return [(1 + math.cos(math.pi * t / T)) / (1 + math.cos(math.pi * (t - 1) / T)) * (g["lr"] - eta) + eta
                for g in groups]
