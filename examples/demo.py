"""A first tour of quarn: build tensors, reshape and transpose them, compute,
differentiate, and read everything back through NumPy."""

import numpy as np

import quarn
import quarn.nn.functional as F
from quarn import Tensor


def show(title, value):
    print(f"{title}:\n{value}\n")


def main():
    x = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3))
    show("x", x.to_numpy())
    print(f"x.shape={x.shape} x.strides={x.strides} x.dtype={x.dtype!r}\n")

    r = x.reshape([3, 2])
    show("x.reshape([3, 2])", r.to_numpy())

    t = x.transpose(0, 1)
    print(f"x.transpose(0, 1): shape={t.shape} strides={t.strides}")
    exported = t.to_numpy()
    show("exported in Fortran order" if exported.flags.f_contiguous else "exported", exported)

    h = Tensor([[0.1, 1.5], [65504.0, -2.0]], dtype="float16")
    show("float16 values as NumPy sees them", h.to_numpy())
    show("ones_like(h)", h.ones_like().to_numpy())

    w = Tensor(np.array([[0.5], [-1.0], [2.0]], dtype=np.float32), requires_grad=True)
    a = Tensor(np.array([[1.0, -2.0, 3.0], [0.5, 0.5, -4.0]], dtype=np.float32), requires_grad=True)
    y = F.relu(a @ w) * 2.0 + 1.0
    show("y = relu(a @ w) * 2 + 1", y.to_numpy())
    show("y > 2", (y > 2.0).to_numpy())

    y.backward()
    show("dy/da", a.grad())
    show("dy/dw", w.grad())

    quarn.clear_graph()
    print("graph cleared; a.grad() is now", a.grad())
    print(f"quarn {quarn.__version__} exports:", quarn.__all__)


if __name__ == "__main__":
    main()
