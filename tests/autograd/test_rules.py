"""Gradients of every recorded operation, checked against NumPy formulas."""

import numpy as np
import pytest

import quarn_core as q
from quarn_core import Tensor
F = q.nn.functional


@pytest.fixture(autouse=True)
def fresh_graph():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


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


def test_scalar_division_uses_the_forward_reciprocal():
    x = leaf([1.0, 2.0])
    (x / 3.0).backward()
    np.testing.assert_array_equal(x.grad(), np.full(2, np.float32(1) / np.float32(3), np.float32))


def test_quotient_gradients_of_one_over_two():
    a, b = leaf([1.0]), leaf([2.0])
    (a / b).backward()
    assert a.grad().tolist() == [0.5]
    assert b.grad().tolist() == [-0.25]


def test_broadcast_operand_receives_gradient_of_broadcast_shape():
    x, w = leaf([1.0, 2.0, 3.0]), leaf(np.ones((2, 3)))
    (x + w).backward()
    assert x.grad().shape == (2, 3)
    np.testing.assert_array_equal(x.grad(), np.ones((2, 3)))


def test_matmul_rule():
    a_np = RNG.standard_normal((2, 3)).astype(np.float32)
    b_np = RNG.standard_normal((3, 4)).astype(np.float32)
    a, b = leaf(a_np), leaf(b_np)
    (a @ b).backward()
    g = np.ones((2, 4), np.float32)
    np.testing.assert_allclose(a.grad(), g @ b_np.T, rtol=1e-5)
    np.testing.assert_allclose(b.grad(), a_np.T @ g, rtol=1e-5)


def test_batched_matmul_rule_keeps_broadcast_batch_axes():
    a_np = RNG.standard_normal((5, 2, 3)).astype(np.float32)
    b_np = RNG.standard_normal((3, 4)).astype(np.float32)
    a, b = leaf(a_np), leaf(b_np)
    (a @ b).backward()
    g = np.ones((5, 2, 4), np.float32)
    np.testing.assert_allclose(a.grad(), g @ b_np.T, rtol=1e-5)
    assert b.grad().shape == (5, 3, 4)
    np.testing.assert_allclose(b.grad(), np.swapaxes(a_np, 1, 2) @ g, rtol=1e-5)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_relu_rule_stops_at_zero_of_either_sign(dtype):
    pytest.importorskip("ml_dtypes")
    x = Tensor(np.array([-1.0, 0.0, -0.0, 2.0], np.float32), dtype=dtype, requires_grad=True)
    F.relu(x).backward()
    assert x.grad().astype(np.float32).tolist() == [0.0, 0.0, 0.0, 1.0]


def test_shape_rules_return_gradients_of_the_input_shape():
    x = leaf(A)
    x.reshape([6]).backward()
    assert x.grad().shape == (2, 3)
    Tensor.clear_graph()
    x = leaf(A)
    x.transpose(0, 1).backward()
    assert x.grad().shape == (2, 3)


def test_reshape_of_transposed_gradient_is_laid_out_again():
    x = leaf(A)
    y = x.reshape([3, 2]).transpose(0, 1)
    y.backward()
    np.testing.assert_array_equal(x.grad(), np.ones((2, 3)))


def test_relu_masks_a_gradient_broadcast_past_its_input():
    x, w = leaf([1.0, -1.0, 2.0]), leaf(np.ones((2, 3)))
    y = F.relu(x) + w
    y.backward()
    np.testing.assert_array_equal(x.grad(), [[1.0, 0.0, 1.0]] * 2)
    np.testing.assert_array_equal(w.grad(), np.ones((2, 3)))


def test_repeated_use_sums_contributions_and_passes_do_not():
    x = leaf([1.0, 2.0, 3.0])
    y = x * x
    y.backward()
    y.backward()
    np.testing.assert_array_equal(x.grad(), [2.0, 4.0, 6.0])


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


def test_typical_use_relu_of_matmul():
    x = leaf([[1.0, -2.0], [3.0, 4.0]])
    w = leaf([[0.5], [-1.0]])
    y = F.relu(x @ w)
    y.backward()
    # Row 0: 0.5 + 2 = 2.5 > 0; row 1: 1.5 - 4 < 0.
    np.testing.assert_array_equal(x.grad(), [[0.5, -1.0], [0.0, 0.0]])
    np.testing.assert_array_equal(w.grad(), [[1.0], [-2.0]])
