"""Gradients of every recorded operation, checked against NumPy formulas."""

import numpy as np
import pytest

import quarn_core as q
from quarn_core import Tensor
F = q.nn.functional


def leaf(values, dtype="float32"):
    return Tensor(np.asarray(values, dtype=np.float32), dtype=dtype, requires_grad=True)


RNG = np.random.default_rng(7)
A = RNG.standard_normal((2, 3)).astype(np.float32)
B = (RNG.standard_normal((2, 3)) + 3.0).astype(np.float32)


@pytest.mark.parametrize(
    "build, grad_a, grad_b",
    [
        (lambda a, b: a + b, lambda: np.ones_like(A), lambda: np.ones_like(B)),
        (lambda a, b: a - b, lambda: np.ones_like(A), lambda: -np.ones_like(B)),
        (lambda a, b: a * b, lambda: B, lambda: A),
        (lambda a, b: a / b, lambda: 1 / B, lambda: (-A) / (B * B)),
    ],
    ids=["add", "sub", "mul", "div"],
)
def test_binary_rules(build, grad_a, grad_b):
    a, b = leaf(A), leaf(B)
    build(a, b).backward()
    np.testing.assert_allclose(a.grad(), grad_a(), rtol=1e-6)
    np.testing.assert_allclose(b.grad(), grad_b(), rtol=1e-6)


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda x: x + 3.0, np.ones_like(A)),
        (lambda x: x - 3.0, np.ones_like(A)),
        (lambda x: 3.0 + x, np.ones_like(A)),
        (lambda x: x * 3.0, np.full_like(A, 3.0)),
        (lambda x: x / 4.0, np.full_like(A, 0.25)),
        (lambda x: 2.0 / x, -2.0 / (A * A)),
    ],
    ids=["add", "sub", "radd", "mul", "div", "rdiv"],
)
def test_scalar_rules(build, expected):
    x = leaf(A)
    build(x).backward()
    np.testing.assert_allclose(x.grad(), expected, rtol=1e-6)


# Exact gradients of small programs: the leaves' values, the result built from
# them, and each leaf's gradient, shape and all.
EXACT = {
    "x / 3 uses the forward reciprocal": (
        [[1.0, 2.0]], lambda x: x / 3.0, [np.full(2, np.float32(1) / np.float32(3), np.float32)]),
    "a / b at 1 and 2": ([[1.0], [2.0]], lambda a, b: a / b, [[0.5], [-0.25]]),
    "broadcast operand": ([[1.0, 2.0, 3.0], np.ones((2, 3))], lambda x, w: x + w, [np.ones((2, 3))] * 2),
    "reshape": ([A], lambda x: x.reshape([6]), [np.ones((2, 3))]),
    "transpose": ([A], lambda x: x.transpose(0, 1), [np.ones((2, 3))]),
    "reshape of a transposed gradient": ([A], lambda x: x.reshape([3, 2]).transpose(0, 1), [np.ones((2, 3))]),
    "relu masks a broadcast gradient": (
        [[1.0, -1.0, 2.0], np.ones((2, 3))], lambda x, w: F.relu(x) + w, [[[1.0, 0.0, 1.0]] * 2, np.ones((2, 3))]),
    # Row 0: 0.5 + 2 = 2.5 > 0; row 1: 1.5 - 4 < 0.
    "relu of matmul": (
        [[[1.0, -2.0], [3.0, 4.0]], [[0.5], [-1.0]]], lambda x, w: F.relu(x @ w),
        [[[0.5, -1.0], [0.0, 0.0]], [[1.0], [-2.0]]]),
}


@pytest.mark.parametrize("program", list(EXACT))
def test_exact_gradients(program):
    values, build, expected = EXACT[program]
    leaves = [leaf(v) for v in values]
    build(*leaves).backward()
    for t, want in zip(leaves, expected):
        g = t.grad()
        assert g.dtype == np.float32 and g.shape == np.shape(want)
        np.testing.assert_array_equal(g, want)


# A batched product hands the shared operand a gradient with the batch axes.
@pytest.mark.parametrize("a_shape", [(2, 3), (5, 2, 3)], ids=["2-D", "batched"])
def test_matmul_rule(a_shape):
    a_np = RNG.standard_normal(a_shape).astype(np.float32)
    b_np = RNG.standard_normal((3, 4)).astype(np.float32)
    a, b = leaf(a_np), leaf(b_np)
    (a @ b).backward()
    g = np.ones(a_shape[:-1] + (4,), np.float32)
    np.testing.assert_allclose(a.grad(), g @ b_np.T, rtol=1e-5)
    assert b.grad().shape == a_shape[:-2] + (3, 4)
    np.testing.assert_allclose(b.grad(), np.swapaxes(a_np, -1, -2) @ g, rtol=1e-5)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_relu_rule_stops_at_zero_of_either_sign(dtype):
    pytest.importorskip("ml_dtypes")
    x = Tensor(np.array([-1.0, 0.0, -0.0, 2.0], np.float32), dtype=dtype, requires_grad=True)
    F.relu(x).backward()
    assert x.grad().astype(np.float32).tolist() == [0.0, 0.0, 0.0, 1.0]


def test_repeated_use_sums_contributions_and_passes_do_not():
    x = leaf([1.0, 2.0, 3.0])
    y = x * x
    y.backward()
    y.backward()
    np.testing.assert_array_equal(x.grad(), [2.0, 4.0, 6.0])
    # The root's own gradient is replaced too, not summed.
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0, 1.0])


def test_later_pass_replaces_gradients_it_reaches():
    x = leaf([1.0, 2.0])
    y = x * 2.0
    z = x * 5.0
    y.backward()
    z.backward()
    np.testing.assert_array_equal(x.grad(), [5.0, 5.0])
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0])


def test_constant_operand_gets_no_python_visible_gradient():
    x, c = leaf([1.0, 2.0]), Tensor([3.0, 4.0])
    y = x * c
    y.backward()
    np.testing.assert_array_equal(x.grad(), [3.0, 4.0])
    assert c.grad() is None


def test_intermediate_results_have_gradients():
    x = leaf([1.0, 2.0])
    h = x * 2.0
    y = h + 1.0
    y.backward()
    np.testing.assert_array_equal(h.grad(), [1.0, 1.0])
    np.testing.assert_array_equal(x.grad(), [2.0, 2.0])


def test_half_precision_gradients_keep_their_dtype():
    x = Tensor([1.0, 2.0], dtype="float16", requires_grad=True)
    (x * x).backward()
    g = x.grad()
    assert g.dtype == np.float16
    np.testing.assert_array_equal(g, [2.0, 4.0])


# --- gradients that reach a node broadcast past its own shape ----------------
# A gradient summed over the axes by which it exceeds its tensor's shape is
# the true gradient; these programs broadcast intermediate results further.


def summed_to(grad, shape):
    """grad summed over its leading axes and the extent-1 axes of shape it stretches."""
    grad = grad.astype(np.float64)
    grad = grad.sum(axis=tuple(range(grad.ndim - len(shape))))
    stretched = tuple(i for i, e in enumerate(shape) if e == 1 and grad.shape[i] != 1)
    return grad.sum(axis=stretched, keepdims=True)


X23 = np.arange(6, dtype=np.float32).reshape(2, 3) - 2.0


@pytest.mark.parametrize(
    "build, x_value, expected_shape, expected",
    [
        # transposed, then broadcast: axes counted from the right
        (lambda x: x.transpose(0, 1) + leaf(np.ones((4, 3, 2))), X23, (4, 2, 3), np.full((2, 3), 4.0)),
        # a one-row product broadcast down five rows
        (lambda x: (x @ leaf(np.ones((3, 3)))) + leaf(np.ones((5, 3))), np.ones((1, 3)), (5, 3),
         np.full((1, 3), 15.0)),
        # relu of a vector broadcast to a matrix
        (lambda x: F.relu(x) + leaf(np.ones((2, 3))), [1.0, -1.0, 2.0], (2, 3), [2.0, 0.0, 2.0]),
        # reshaped, then broadcast: leading axes survive the reshape back
        (lambda x: x.reshape([6]) + leaf(np.ones((4, 6))), X23, (4, 2, 3), np.full((2, 3), 4.0)),
        # the same vector broadcast two different ways
        (lambda x: (x + leaf(np.ones((2, 3)))).reshape([1, 2, 3]) + (x + leaf(np.ones((4, 3)))).reshape([4, 1, 3]),
         [1.0, 2.0, 3.0], (3,), np.full(3, 16.0)),
        # once broadcast, once at its own shape: each counted once
        (lambda x: (x + leaf(np.ones((2, 3)))).reshape([2, 1, 3]) + (x * 2.0).reshape([1, 1, 3]), np.ones((1, 3)),
         (1, 3), np.full((1, 3), 6.0)),
        # an extent-1 axis of the reshaped result stretched, then reshaped back
        (lambda x: x.reshape([3, 1]) * leaf(np.ones((3, 4))), [1.0, 2.0, 3.0], (3,), np.full(3, 4.0)),
    ],
    ids=["transpose", "matmul-rows", "relu", "reshape", "two-broadcasts", "broadcast-and-own", "reshape-stretched"],
)
def test_gradient_broadcast_past_a_node(build, x_value, expected_shape, expected):
    x = leaf(x_value)
    build(x).backward()
    g = x.grad()
    assert g.shape == expected_shape
    np.testing.assert_array_equal(summed_to(g, x.shape), expected)


@pytest.mark.parametrize(
    "dtype, tiny, count",
    [("float32", 2.0**-24, 1024), ("float16", 2.0**-11, 16), ("bfloat16", 2.0**-8, 16)],
)
def test_broadcast_gradient_is_summed_wide_and_rounded_once(dtype, tiny, count):
    # w reaches the result broadcast (gradient c) and at its own shape
    # (gradient 0), so the two contributions are summed back to w's shape.
    # Each tiny term of c is half an ulp of 1 and vanishes when added to 1 in
    # the tensor's own type; summed in double (float32) or float32 (half
    # types) and rounded once, together they make an exactly representable
    # total.
    w = Tensor([0.0], dtype=dtype, requires_grad=True)
    c = Tensor([1.0] + [tiny] * count, dtype=dtype)
    ((w * c).reshape([1, count + 1]) + (w * 0.0).reshape([1, 1])).backward()
    assert w.grad().astype(np.float64).tolist() == [1.0 + tiny * count]


def random_program(rng, torch):
    """A short random program that broadcasts intermediate results, reuses
    leaves at different shapes and mixes transpose, reshape, relu and matmul.
    Returns our result, PyTorch's (float64) and the leaves of both."""
    leaves = []

    def new_leaf(shape, positive=False):
        value = rng.uniform(0.5, 2.0, shape) if positive else rng.uniform(-2.0, 2.0, shape)
        value = value.astype(np.float32)
        pair = (leaf(value), torch.tensor(value.astype(np.float64), requires_grad=True))
        leaves.append(pair)
        return pair

    def partner(shape, positive=False):
        """An operand that broadcasts with shape, or stretches it further."""
        other = [e if rng.random() < 0.6 else 1 for e in shape]
        if rng.random() < 0.5:
            other = [int(rng.integers(1, 4))] + other
        if rng.random() < 0.3 and any(e == 1 for e in shape):  # stretch our extent-1 axes
            other = [int(rng.integers(2, 4)) if e == 1 else e for e in shape]
        for ours, theirs in leaves:
            if not positive and list(ours.shape) == other and rng.random() < 0.5:
                return ours, theirs  # reuse a leaf
        return new_leaf(other, positive)

    y, t = new_leaf([int(e) for e in rng.integers(1, 4, int(rng.integers(1, 4)))])
    for _ in range(int(rng.integers(2, 7))):
        shape = list(y.shape)
        kind = rng.choice(["add", "sub", "mul", "div", "relu", "scale", "transpose", "reshape", "matmul"])
        if kind in ("add", "sub", "mul", "div"):
            o, to = partner(shape, positive=kind == "div")
            if rng.random() < 0.5 and kind != "div":
                y, t = {"add": (o + y, to + t), "sub": (o - y, to - t), "mul": (o * y, to * t)}[kind]
            else:
                y, t = {"add": (y + o, t + to), "sub": (y - o, t - to), "mul": (y * o, t * to),
                        "div": (y / o, t / to)}[kind]
        elif kind == "relu":
            y, t = F.relu(y), torch.relu(t)
        elif kind == "scale":
            y, t = y * 1.5 - 0.25, t * 1.5 - 0.25
        elif kind == "transpose" and len(shape) >= 2:
            i, j = (int(v) for v in rng.choice(len(shape), 2, replace=False))
            y, t = y.transpose(i, j), t.transpose(i, j)
        elif kind == "reshape":
            new = {0: shape[::-1], 1: [1] + shape, 2: shape + [1], 3: [int(np.prod(shape))]}[int(rng.integers(4))]
            y, t = y.reshape(new), t.reshape(new)
        elif kind == "matmul" and len(shape) >= 2:
            o, to = new_leaf([shape[-1], int(rng.integers(1, 4))])
            y, t = y @ o, t @ to
    return y, t, leaves


@pytest.mark.parametrize("seed", range(60))
def test_random_broadcasting_programs_match_pytorch(seed):
    torch = pytest.importorskip("torch")
    y, t, leaves = random_program(np.random.default_rng(seed), torch)
    assert list(y.shape) == list(t.shape)
    y.backward()
    t.sum().backward()
    for ours, theirs in leaves:
        if theirs.grad is None:  # not reached from y
            continue
        np.testing.assert_allclose(summed_to(ours.grad(), ours.shape), theirs.grad.numpy(), rtol=1e-4, atol=1e-4)
