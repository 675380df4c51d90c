"""A program that uses every typed part of quarn; `mypy --strict` must accept
it, and it also runs."""

from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import quarn
import quarn.nn.functional as F
import quarn_core
from quarn import PanicException, Tensor


def step(w_np: NDArray[np.float32], x: Tensor) -> NDArray[np.float32]:
    quarn.clear_graph()
    w = Tensor(w_np, requires_grad=True)
    y = F.relu(x @ w) * 2.0 + 1
    y = 0.5 * y - np.float32(1.0)
    y = 1.0 / (y / 3 + 1.0)
    y.backward()
    g = w.grad()
    assert g is not None
    return g.astype(np.float32)


def main() -> None:
    x = Tensor([[1.0, 2.0], [3.0, 4.0]], dtype="float32", device="cpu")
    assert_type(x.shape, list[int])
    assert_type(x.strides, list[int])
    assert_type(x.ndim, int)
    assert_type(x.dtype, str)
    assert_type(x.device, str)
    assert_type(x.requires_grad, bool)
    assert_type(x.to_numpy(), NDArray[Any])
    assert_type(x.grad(), NDArray[Any] | None)
    # The declared types are the run-time ones.
    assert [type(v) for v in (x.shape, x.strides, x.ndim, x.dtype, x.device, x.requires_grad)] \
        == [list, list, int, str, str, bool]

    g = step(np.ones((2, 1), np.float32), x)
    assert g.shape == (2, 1)

    r = x.reshape([4]).reshape((2, np.int64(2))).transpose(0, 1)
    z = r.zeros_like() + r.ones_like()
    mask: Tensor = (z > 0.5) & (z <= 1) | ~(z == z) ^ (z != 2.0)
    assert_type(1.0 < z, Tensor)
    assert_type(z.__rgt__(1.0), Tensor)
    assert mask.to_numpy().all()
    assert Tensor(np.float16(1.5), dtype=np.float16).dtype == "f16"
    Tensor.clear_graph()

    try:
        quarn_core.Tensor([[1.0]]).transpose(0, 5)
    except PanicException as fault:
        assert isinstance(fault, BaseException)
    assert isinstance(quarn.__version__, str)
    # quarn.Tensor's own protocol, typed as quarn.Tensor throughout.
    y: Tensor = -(x.reshape(4, -1).T.flatten() * 2.0)
    assert_type(abs(y), Tensor)
    assert_type(float(y.sum()), float)
    assert f"{y.mean():.2f}" == "-5.00" and len(y) == 4


if __name__ == "__main__":
    main()
