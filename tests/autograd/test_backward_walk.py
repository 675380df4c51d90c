"""A backward pass visits only the nodes its root reaches.

Nodes the pass does not reach keep whatever gradient an earlier pass stored,
wherever their ids lie; the gradients it does store are bit for bit those of
the same computation recorded in a graph with nothing else in it.
"""

import numpy as np
import pytest

import quarn
from quarn_core import Tensor

relu = quarn.nn.functional.relu


def grads(*tensors):
    return [None if t.grad() is None else t.grad().tobytes() for t in tensors]


@pytest.mark.parametrize("second_first", [False, True], ids=["earlier root first", "later root first"])
def test_a_pass_leaves_unreached_nodes_as_they_were(second_first):
    # Two losses over one shared leaf, their nodes interleaved by recording
    # order: each pass reaches the shared leaf and its own nodes only.
    w = Tensor([1.0, -2.0, 3.0], requires_grad=True)
    a = Tensor([2.0, 3.0, 4.0], requires_grad=True)
    b = Tensor([-1.0, 5.0, 0.5], requires_grad=True)
    first = w * a
    second = w * b
    first_loss = (first * first).sum()
    second_loss = relu(second).sum()
    own = {id(first_loss): (first_loss, first, a), id(second_loss): (second_loss, second, b)}
    order = [second_loss, first_loss] if second_first else [first_loss, second_loss]

    order[0].backward()
    earlier = grads(*own[id(order[0])])
    assert all(g is not None for g in earlier)
    assert grads(*own[id(order[1])]) == [None] * 3

    order[1].backward()
    assert grads(*own[id(order[0])]) == earlier
    assert all(g is not None for g in grads(*own[id(order[1])]))
    want_w = 2 * (w.to_numpy() * a.to_numpy()) * a.to_numpy() if order[1] is first_loss else b.to_numpy() * (
        w.to_numpy() * b.to_numpy() > 0)
    np.testing.assert_array_equal(w.grad(), want_w.astype(np.float32))


def record_noise(state, count):
    """Records `count` nodes that no loss below reaches."""
    for _ in range(count):
        state[0] = state[0] * 1.5 + state[1]


@pytest.mark.parametrize("between", [1, 3])
@pytest.mark.parametrize("dtype", ["float32", "bfloat16"])
def test_unrelated_nodes_in_between_change_no_bit(between, dtype):
    # A long chain with fan-in to the same leaves (hundreds of reached ids,
    # so the pass's own bookkeeping has to grow), with broadcasts summed
    # back; recorded once alone and once with unrelated nodes between every
    # step of it.
    rng = np.random.default_rng(7)
    x_np = rng.standard_normal((5, 4)).astype(np.float32)
    w_np = rng.standard_normal((4, 4)).astype(np.float32) / 2
    b_np = rng.standard_normal(4).astype(np.float32)

    def run(noise_per_step):
        Tensor.clear_graph()
        noise = [Tensor([1.0], requires_grad=True), Tensor([0.25], requires_grad=True)]
        x = Tensor(x_np, dtype=dtype, requires_grad=True)
        w = Tensor(w_np, dtype=dtype, requires_grad=True)
        b = Tensor(b_np, dtype=dtype, requires_grad=True)
        h = x
        kept = []
        for step in range(60):
            record_noise(noise, noise_per_step)
            h = quarn.tanh(h @ w + b)
            record_noise(noise, noise_per_step)
            h = h * 0.5 + x if step % 3 else relu(h) - b
            kept.append(h)
        loss = quarn.mean(h * h)
        record_noise(noise, noise_per_step)
        loss.backward()
        return grads(x, w, b, *kept[::7])

    alone = run(0)
    assert all(g is not None for g in alone)
    assert run(between) == alone


def test_backward_in_a_crowded_graph_matches_an_empty_one():
    noise = [Tensor(np.ones(3, np.float32), requires_grad=True), Tensor([2.0], requires_grad=True)]
    record_noise(noise, 5000)
    x = Tensor([0.5, -1.0, 2.0], requires_grad=True)
    (quarn.sigmoid(x) * x).sum().backward()
    crowded = x.grad()
    assert noise[0].grad() is None
    Tensor.clear_graph()
    x = Tensor([0.5, -1.0, 2.0], requires_grad=True)
    (quarn.sigmoid(x) * x).sum().backward()
    assert crowded.tobytes() == x.grad().tobytes()
