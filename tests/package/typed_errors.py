"""Mistakes that `mypy --strict` must report: exactly one on each line marked
`# error`, and none elsewhere."""

import numpy as np

import quarn
from quarn import Tensor
from quarn.nn.functional import relu

t = Tensor([1.0, 2.0], requires_grad=True)

shape: tuple[int, ...] = t.shape  # error
n: str = t.ndim  # error
t.requires_grad = False  # error
g: np.ndarray = t.grad  # error
t.grad().sum()  # error
"2" - t  # error
t @ 2.0  # error
t & True  # error
t + "a"  # error
t.reshape("3")  # error
t.transpose(0)  # error
Tensor([1.0], requires_grad=1)  # error
Tensor([1.0], devise="cpu")  # error
relu(np.ones(2))  # error
flag: bool = t == 1.0  # error
quarn.clear_graph(t)  # error
-quarn.nn.functional.relu  # error
t.backward(Tensor([1.0]))  # error
