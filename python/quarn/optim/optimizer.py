"""The optimiser base: parameter groups, per-parameter state, and saving
both. Updates run on the parameters' float32 master copies in place, one
fused pass per parameter in the compiled engine."""

from __future__ import annotations

import copy
from typing import Any, Iterable, Mapping

import numpy as np

import quarn_core as _core

from ..nn.parameter import Parameter


class Optimizer:
    """Optimizer(params, defaults): `params` is an iterable of Parameters or
    of dicts {"params": [...], <hyperparameters>} (parameter groups)."""

    def __init__(self, params: Iterable[Any], defaults: dict[str, Any]) -> None:
        self.defaults = dict(defaults)
        self.state: dict[Parameter, dict[str, Any]] = {}
        self.param_groups: list[dict[str, Any]] = []
        groups = list(params)
        if not groups:
            raise ValueError("optimizer got an empty parameter list")
        if not isinstance(groups[0], Mapping):
            groups = [{"params": groups}]
        for g in groups:
            self.add_param_group(g)

    def add_param_group(self, group: Mapping[str, Any]) -> None:
        if not isinstance(group, Mapping) or "params" not in group:
            raise TypeError("a parameter group is a dict with a 'params' entry")
        params = group["params"]
        params = [params] if isinstance(params, Parameter) else list(params)
        for p in params:
            if not isinstance(p, Parameter):
                raise TypeError(f"optimizer can only optimize quarn.nn.Parameter, not {type(p).__name__}")
        seen = {id(p) for g in self.param_groups for p in g["params"]}
        if any(id(p) in seen for p in params) or len({id(p) for p in params}) != len(params):
            raise ValueError("a parameter appears in more than one group (or twice in one)")
        unknown = set(group) - set(self.defaults) - {"params", "initial_lr"}
        if unknown:
            raise ValueError(f"unknown hyperparameters for {type(self).__name__}: {sorted(unknown)}")
        full = {**self.defaults, **{k: v for k, v in group.items() if k != "params"}, "params": params}
        self._check_group(full)
        self.param_groups.append(full)

    def _check_group(self, group: dict[str, Any]) -> None:
        if not group["lr"] >= 0.0:
            raise ValueError(f"invalid learning rate: {group['lr']}")

    def zero_grad(self, set_to_none: bool = True) -> None:
        """Begins a new step: clears the calling thread's graph. Every tensor
        of the last step goes stale and every gradient is dropped, not only
        those of this optimiser's parameters."""
        del set_to_none  # gradients live in the graph: there is nothing to zero
        _core.Tensor.clear_graph()

    def step(self) -> None:
        raise NotImplementedError

    # ---- Saving ---------------------------------------------------------------------------

    def state_dict(self) -> dict[str, Any]:
        """{"state": {index: {name: array or number}}, "param_groups": [...]},
        parameters named by their position over all groups, as PyTorch does."""
        index: dict[int, int] = {}
        groups = []
        for g in self.param_groups:
            packed = {k: v for k, v in g.items() if k != "params"}
            packed["params"] = []
            for p in g["params"]:
                index[id(p)] = len(index)
                packed["params"].append(index[id(p)])
            groups.append(packed)
        state = {index[id(p)]: {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in s.items()}
                 for p, s in self.state.items() if id(p) in index}
        return {"state": state, "param_groups": groups}

    def load_state_dict(self, state_dict: Mapping[str, Any]) -> None:
        if not isinstance(state_dict, Mapping) or set(state_dict) != {"state", "param_groups"}:
            raise ValueError("an optimizer state dict has exactly the keys 'state' and 'param_groups'")
        groups = state_dict["param_groups"]
        if len(groups) != len(self.param_groups):
            raise ValueError(f"state dict has {len(groups)} parameter groups, the optimizer {len(self.param_groups)}")
        params: list[tuple[Any, Parameter]] = []
        for saved, own in zip(groups, self.param_groups):
            if len(saved["params"]) != len(own["params"]):
                raise ValueError("a parameter group of the state dict differs in size from the optimizer's")
            params.extend(zip(saved["params"], own["params"]))
        state: dict[Parameter, dict[str, Any]] = {}
        saved_state = state_dict["state"]
        for key, p in params:
            s = saved_state.get(key, saved_state.get(str(key)))
            if s is None:
                continue
            entry = {}
            for name, v in s.items():
                if isinstance(v, _core.Tensor):
                    v = v.to_numpy()
                if isinstance(v, np.ndarray) or isinstance(v, list):
                    arr = np.array(v, dtype=np.float32, order="C", copy=True)
                    if arr.shape != p.shape:
                        raise ValueError(f"state {name!r} of shape {arr.shape} for a parameter of shape {p.shape}")
                    v = arr
                entry[name] = v
            state[p] = entry
        self.state = state
        for saved, own in zip(groups, self.param_groups):
            for k, v in saved.items():
                if k != "params":
                    own[k] = copy.deepcopy(v)

    def __repr__(self) -> str:
        lines = [type(self).__name__ + " ("]
        for i, g in enumerate(self.param_groups):
            lines.append(f"Parameter Group {i}")
            lines += [f"    {k}: {v}" for k, v in sorted(g.items()) if k != "params"]
        return "\n".join(lines) + "\n)"


def _float(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
        raise TypeError(f"{name} must be a float, not {type(value).__name__}")
    return float(value)
