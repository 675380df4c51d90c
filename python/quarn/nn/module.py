"""quarn.nn.Module and the containers: parameters and sub-modules registered
by attribute assignment, in order, as PyTorch users know them."""

from __future__ import annotations

from collections import OrderedDict
from typing import Any, Iterable, Iterator, Mapping, NamedTuple

import numpy as np
from numpy.typing import NDArray

import quarn_core as _core

from .parameter import Parameter, compute_dtype


class IncompatibleKeys(NamedTuple):
    missing_keys: list[str]
    unexpected_keys: list[str]


class Module:
    """Base class of layers and models. Assigning a Parameter or a Module to
    an attribute registers it; `forward` is what calling the module runs."""

    training: bool
    _parameters: OrderedDict[str, Parameter]
    _modules: OrderedDict[str, Module]

    def __init__(self) -> None:
        object.__setattr__(self, "_parameters", OrderedDict())
        object.__setattr__(self, "_modules", OrderedDict())
        object.__setattr__(self, "training", True)

    # ---- Registration -------------------------------------------------------------------

    def __setattr__(self, name: str, value: Any) -> None:
        params = self.__dict__.get("_parameters")
        if params is None:
            raise AttributeError("call Module.__init__() before assigning attributes")
        modules = self._modules
        params.pop(name, None)
        modules.pop(name, None)
        if isinstance(value, Parameter):
            params[name] = value
        elif isinstance(value, Module):
            modules[name] = value
        # Kept in the instance dictionary too, so attribute reads in forward
        # cost a plain lookup.
        object.__setattr__(self, name, value)

    def __delattr__(self, name: str) -> None:
        self._parameters.pop(name, None)
        self._modules.pop(name, None)
        object.__delattr__(self, name)

    def register_parameter(self, name: str, param: Parameter | None) -> None:
        """Registers `param` under `name` (None leaves the slot empty, as a
        Linear without bias has it)."""
        if param is None:
            self._parameters.pop(name, None)
            object.__setattr__(self, name, None)
        else:
            setattr(self, name, param)

    def add_module(self, name: str, module: Module | None) -> None:
        if module is None:
            self._modules.pop(name, None)
            object.__setattr__(self, name, None)
        else:
            setattr(self, name, module)

    # ---- Walking --------------------------------------------------------------------------

    def children(self) -> Iterator[Module]:
        yield from self._modules.values()

    def named_children(self) -> Iterator[tuple[str, Module]]:
        yield from self._modules.items()

    def modules(self) -> Iterator[Module]:
        for _, m in self.named_modules():
            yield m

    def named_modules(self, prefix: str = "") -> Iterator[tuple[str, Module]]:
        seen: set[int] = set()

        def walk(module: Module, prefix: str) -> Iterator[tuple[str, Module]]:
            if id(module) in seen:
                return
            seen.add(id(module))
            yield prefix, module
            for name, child in module._modules.items():
                yield from walk(child, f"{prefix}.{name}" if prefix else name)

        yield from walk(self, prefix)

    def named_parameters(self, prefix: str = "") -> Iterator[tuple[str, Parameter]]:
        """Every parameter once (a shared one under its first name), with its
        dotted path."""
        seen: set[int] = set()
        for mod_prefix, module in self.named_modules(prefix):
            for name, p in module._parameters.items():
                if id(p) not in seen:
                    seen.add(id(p))
                    yield (f"{mod_prefix}.{name}" if mod_prefix else name), p

    def parameters(self) -> Iterator[Parameter]:
        for _, p in self.named_parameters():
            yield p

    # ---- Modes and dtype ------------------------------------------------------------------

    def train(self, mode: bool = True) -> Module:
        if not isinstance(mode, bool):
            raise TypeError(f"train() expects a bool, not {type(mode).__name__}")
        for m in self.modules():
            object.__setattr__(m, "training", mode)
        return self

    def eval(self) -> Module:
        return self.train(False)

    def to(self, dtype: Any) -> Module:
        """Sets the compute dtype of every parameter (float32, float16 or
        bfloat16); the float32 master copies stay as they are."""
        name = compute_dtype(dtype)
        for p in self.parameters():
            p.dtype = name
        return self

    def requires_grad_(self, requires_grad: bool = True) -> Module:
        for p in self.parameters():
            p.requires_grad = bool(requires_grad)
        return self

    # ---- State --------------------------------------------------------------------------------

    def state_dict(self) -> OrderedDict[str, NDArray[np.float32]]:
        """Copies of the float32 master values by dotted name."""
        return OrderedDict((name, p.data.copy()) for name, p in self.named_parameters())

    def load_state_dict(self, state_dict: Mapping[str, Any], strict: bool = True) -> IncompatibleKeys:
        """Copies values into the parameters of the same names. With strict
        (the default) every parameter must be given and nothing else;
        shapes must match in any case. Nothing is changed when any check
        fails."""
        if not isinstance(state_dict, Mapping):
            raise TypeError(f"load_state_dict expects a dict, not {type(state_dict).__name__}")
        own = dict(self.named_parameters())
        missing = [k for k in own if k not in state_dict]
        unexpected = [k for k in state_dict if k not in own]
        if strict and (missing or unexpected):
            parts = []
            if missing:
                parts.append("missing keys: " + ", ".join(repr(k) for k in missing))
            if unexpected:
                parts.append("unexpected keys: " + ", ".join(repr(k) for k in unexpected))
            raise KeyError(f"state dict does not match {type(self).__name__}: " + "; ".join(parts))
        staged = []
        wrong = []
        for name, p in own.items():
            if name not in state_dict:
                continue
            value = state_dict[name]
            if isinstance(value, Parameter):
                value = value.data
            elif isinstance(value, _core.Tensor):
                value = value.to_numpy()
            arr = np.asarray(value, dtype=np.float32)
            if arr.shape != p.shape:
                wrong.append(f"{name!r}: {arr.shape} given, {p.shape} expected")
            staged.append((p, arr))
        if wrong:
            raise ValueError("state dict shapes do not match: " + "; ".join(wrong))
        for p, arr in staged:
            p.copy_(arr)
        return IncompatibleKeys(missing, unexpected)

    # ---- Calling ----------------------------------------------------------------------------------

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        raise NotImplementedError(f"{type(self).__name__} has no forward()")

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.forward(*args, **kwargs)

    def extra_repr(self) -> str:
        return ""

    def __repr__(self) -> str:
        lines = [f"({name}): " + repr(m).replace("\n", "\n  ") for name, m in self._modules.items()]
        head = f"{type(self).__name__}({self.extra_repr()}"
        if not lines:
            return head + ")"
        return head + "\n  " + "\n  ".join(lines) + "\n)"


class Sequential(Module):
    """Modules applied in order; built from modules, or one ordered dict of
    names to modules."""

    def __init__(self, *modules: Module | Mapping[str, Module]) -> None:
        super().__init__()
        first = modules[0] if len(modules) == 1 else None
        if isinstance(first, Mapping):
            for name, m in first.items():
                self.add_module(str(name), _check_module(m))
        else:
            for i, item in enumerate(modules):
                self.add_module(str(i), _check_module(item))

    def forward(self, x: Any) -> Any:
        # forward() directly: calling a module does nothing else here, and a
        # frame less per layer shows in a small model's step.
        for m in self._modules.values():
            x = m.forward(x)
        return x

    def __len__(self) -> int:
        return len(self._modules)

    def __iter__(self) -> Iterator[Module]:
        return iter(self._modules.values())

    def __getitem__(self, index: int | slice) -> Any:
        items = list(self._modules.values())
        if isinstance(index, slice):
            return Sequential(*items[index])
        return items[index]

    def append(self, module: Module) -> Sequential:
        self.add_module(str(len(self._modules)), _check_module(module))
        return self


class ModuleList(Module):
    """A list of modules, registered under their positions."""

    def __init__(self, modules: Iterable[Module] | None = None) -> None:
        super().__init__()
        if modules is not None:
            self.extend(modules)

    def append(self, module: Module) -> ModuleList:
        self.add_module(str(len(self._modules)), _check_module(module))
        return self

    def extend(self, modules: Iterable[Module]) -> ModuleList:
        for m in modules:
            self.append(m)
        return self

    def __len__(self) -> int:
        return len(self._modules)

    def __iter__(self) -> Iterator[Module]:
        return iter(self._modules.values())

    def __getitem__(self, index: int | slice) -> Any:
        items = list(self._modules.values())
        if isinstance(index, slice):
            return ModuleList(items[index])
        return items[index]


def _check_module(m: Any) -> Module:
    if not isinstance(m, Module):
        raise TypeError(f"expected a quarn.nn.Module, not {type(m).__name__}")
    return m
