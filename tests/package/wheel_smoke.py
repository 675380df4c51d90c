"""Run by `make test-wheel` in a fresh virtual environment where only the
repaired wheel (and its dependencies) is installed."""

import importlib.metadata
import sys
from pathlib import Path

import quarn
import quarn_core
from quarn import Tensor
from quarn.nn.functional import relu

site = Path(quarn.__file__).resolve().parents[1]
assert Path(quarn_core.__file__).resolve().parent == site, (quarn_core.__file__, site)
assert sys.prefix in str(site), site
assert (site / "quarn" / "py.typed").is_file()
assert (site / "quarn_core-stubs" / "__init__.pyi").is_file()
dist = importlib.metadata.distribution("quarn")
assert quarn.__version__ == dist.version
assert dist.metadata["License-Expression"] == "BSD-3-Clause"

quarn.clear_graph()
x = Tensor([[1.0, -2.0], [3.0, 4.0]], requires_grad=True)
w = Tensor([[0.5], [-1.0]], dtype="bfloat16")
y = relu(x @ Tensor(w.to_numpy().astype("float32")) + 1.0)
y.backward()
assert x.grad().tolist() == [[0.5, -1.0], [0.0, 0.0]], x.grad()
assert str(w.to_numpy().dtype) == "bfloat16"
try:
    quarn_core.Tensor([[1.0]]).transpose(0, 2)
except quarn.PanicException:
    pass
else:
    raise AssertionError("transpose(0, 2) of a 2-D quarn_core.Tensor did not fault")
assert f"{quarn.sum(x * 2.0):.1f}" == "12.0" and isinstance(x, quarn_core.Tensor)
print(f"quarn {quarn.__version__} from {dist.locate_file('')}: wheel smoke test passed")
