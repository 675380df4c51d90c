"""quarn.nn.Parameter on the per-step graph: one leaf per thread's graph and
step, never stale, gradients summed to the parameter's shape as float32."""

import threading

import ml_dtypes
import numpy as np
import pytest

import quarn
from quarn import Tensor
from quarn.nn import Parameter


def test_one_leaf_per_step_and_a_new_one_after_clearing():
    p = Parameter(np.arange(6, dtype=np.float32).reshape(2, 3))
    first = p.tensor()
    assert p.tensor() is first and first.requires_grad
    (p * p + p).backward()          # three uses, one node: the contributions add up
    np.testing.assert_array_equal(p.grad, 2 * p.data + 1)
    quarn.clear_graph()
    assert p.grad is None
    second = p.tensor()
    assert second is not first
    (second * 3.0).backward()       # the old leaf is stale, the new one is not
    np.testing.assert_array_equal(p.grad, np.full((2, 3), 3.0, np.float32))


@pytest.mark.parametrize("shape, operand", [
    ((3,), (4, 3)),          # a bias over a batch
    ((2, 1), (3, 2, 4)),     # an extra leading axis and a stretched one
    ((1, 1), (5, 7)),
])
def test_gradient_is_summed_to_the_parameter_shape(shape, operand, rng):
    p = Parameter(rng.standard_normal(shape))
    x = rng.standard_normal(operand).astype(np.float32)
    (Tensor(x) * p).backward()
    extra = x.ndim - len(shape)
    expected = x.sum(axis=tuple(range(extra)))
    expected = expected.sum(axis=tuple(i for i, n in enumerate(shape) if n == 1), keepdims=True)
    assert p.grad.shape == shape and p.grad.dtype == np.float32
    np.testing.assert_allclose(p.grad, expected, rtol=1e-6)


@pytest.mark.parametrize("dtype, np_dtype", [("bfloat16", ml_dtypes.bfloat16), ("float16", np.float16)])
def test_half_compute_dtype_rounds_the_leaf_and_keeps_a_float32_master(dtype, np_dtype):
    values = np.array([1.0 + 2 ** -12, -3.3], np.float32)
    p = Parameter(values, dtype=dtype)
    leaf = p.tensor()
    assert leaf.dtype == {"bfloat16": "bf16", "float16": "f16"}[dtype]
    np.testing.assert_array_equal(leaf.to_numpy(), values.astype(np_dtype))
    (leaf * Tensor([2.0, 2.0], dtype=dtype)).backward()
    assert p.grad.dtype == np.float32 and p.grad.tolist() == [2.0, 2.0]
    assert p.data.dtype == np.float32 and p.data.tolist() == values.tolist()


def test_a_changed_value_gives_a_new_leaf_within_the_step():
    p = Parameter([1.0, 2.0])
    old = p.tensor()
    (old * 2.0).backward()
    p.copy_([5.0, 6.0])
    assert p.grad.tolist() == [2.0, 2.0]   # still the gradient of the leaf in use
    new = p.tensor()
    assert new is not old and new.to_numpy().tolist() == [5.0, 6.0]
    assert p.grad is None                  # the latest leaf has none yet


def test_no_grad_and_requires_grad_false_give_constants():
    p = Parameter([1.0, 2.0])
    with quarn.no_grad():
        c = p.tensor()
        assert not c.requires_grad
        assert (c * 2.0).to_numpy().tolist() == [2.0, 4.0]
    assert p.tensor().requires_grad
    p.requires_grad = False
    assert not p.tensor().requires_grad


def test_assigned_gradient_lasts_until_the_graph_is_cleared():
    p = Parameter(np.zeros((2, 2)))
    p.grad = np.ones((2, 2))
    assert p.grad.tolist() == [[1.0, 1.0], [1.0, 1.0]]
    with pytest.raises(ValueError, match="shape"):
        p.grad = np.ones(3)
    quarn.clear_graph()
    assert p.grad is None


def test_operators_and_methods_go_through_the_leaf():
    p = Parameter([[1.0, 2.0], [3.0, 4.0]])
    x = Tensor([[1.0, 0.0], [0.0, 1.0]])
    assert (x @ p).to_numpy().tolist() == [[1.0, 2.0], [3.0, 4.0]]
    assert (2.0 - p).to_numpy().tolist() == [[1.0, 0.0], [-1.0, -2.0]]
    assert (2.0 * p / 2.0 + p - p).to_numpy().tolist() == [[1.0, 2.0], [3.0, 4.0]]
    assert p.T.to_numpy().tolist() == [[1.0, 3.0], [2.0, 4.0]]
    assert p.sum().item() == 10.0
    (p @ p.T + (-p)).backward()
    assert p.grad is not None and p.grad.shape == (2, 2)


def test_each_thread_gets_its_own_leaf_and_gradient():
    p = Parameter([1.0, 2.0, 3.0])
    main_leaf = p.tensor()
    seen = {}

    def worker(scale):
        quarn.clear_graph()
        leaf = p.tensor()
        (leaf * scale).backward()
        seen[scale] = (leaf is main_leaf, p.grad.tolist())

    threads = [threading.Thread(target=worker, args=(s,)) for s in (2.0, 5.0)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == {2.0: (False, [2.0] * 3), 5.0: (False, [5.0] * 3)}
    assert p.tensor() is main_leaf and p.grad is None   # the main thread's step is untouched


def test_data_parallel_gradients_average_to_the_full_batch_gradient(rng):
    """Each thread backpropagates its half of the batch in its own graph; the
    mean of the halves' gradients is the full batch's (mean losses)."""
    from concurrent.futures import ThreadPoolExecutor

    from quarn import nn

    model = nn.Sequential(nn.Linear(5, 6), nn.Tanh(), nn.Linear(6, 3))
    x = rng.standard_normal((8, 5)).astype(np.float32)
    y = rng.integers(0, 3, 8)

    def grads(rows):
        quarn.clear_graph()
        nn.CrossEntropyLoss()(model(Tensor(x[rows])), y[rows]).backward()
        return [p.grad for p in model.parameters()]

    with ThreadPoolExecutor(2) as pool:
        halves = list(pool.map(grads, [slice(0, 4), slice(4, 8)]))
    whole = grads(slice(0, 8))
    for a, b, full in zip(*halves, whole):
        np.testing.assert_allclose((a + b) / 2, full, rtol=1e-5, atol=1e-6)


def test_leaves_of_finished_threads_are_let_go():
    p = Parameter([1.0])
    for _ in range(20):
        t = threading.Thread(target=p.tensor)
        t.start()
        t.join()
    assert len(p._leaves) <= 9


def test_half_gradients_are_summed_in_float32():
    # 4096 rows of bfloat16 ones: a sum in bfloat16 would stop at 256.
    p = Parameter(np.zeros(3), dtype="bfloat16")
    (Tensor(np.ones((4096, 3), np.float32), dtype="bfloat16") * p).backward()
    assert p.grad.tolist() == [4096.0] * 3
