"""bfloat16 products on the dot-product instruction against the widened
float32 path, through the whole stack: the two must agree bit for bit
wherever the float32 GEMM runs one FMA chain per element (k within its
block), for every stride pattern and in the backward products; operands
with a value outside the instruction's exact range must fall back. Where the
CPU lacks the instruction both modes take the float32 path and the
comparisons hold trivially."""

import ml_dtypes
import numpy as np
import pytest

import quarn_core
from quarn_core import Tensor

dot_mode = quarn_core._functions.bf16_dot_mode


@pytest.fixture
def restore_mode():
    before = dot_mode()
    yield
    dot_mode(before)


def bits(t):
    return t.to_numpy().view(np.uint16)


def both_paths(fn):
    """fn() under the instruction and under the float32 path."""
    dot_mode("on")
    on = fn()
    dot_mode("off")
    return on, fn()


def bf16(rng, *shape, scale=1.0):
    return (rng.standard_normal(shape) * scale).astype(ml_dtypes.bfloat16)


def tensor(array, transpose=False):
    """A bfloat16 tensor of `array`, stored transposed (a transposed view of
    a row-major copy) when asked."""
    if not transpose:
        return Tensor(array, dtype="bfloat16")
    stored = Tensor(np.ascontiguousarray(np.swapaxes(array, -1, -2)), dtype="bfloat16")
    return stored.transpose(array.ndim - 2, array.ndim - 1)


@pytest.mark.parametrize("m, k, n", [(1, 1, 1), (13, 7, 33), (15, 128, 31), (64, 100, 10), (70, 33, 65)], ids=str)
@pytest.mark.parametrize("ta, tb", [(False, False), (True, False), (False, True), (True, True)])
def test_paths_agree_within_one_block(m, k, n, ta, tb, rng, restore_mode):
    a, b = bf16(rng, m, k), bf16(rng, k, n, scale=2.0**-10)
    on, off = both_paths(lambda: bits(tensor(a, ta) @ tensor(b, tb)))
    assert np.array_equal(on, off)


def test_paths_agree_with_batch_broadcast(rng, restore_mode):
    a, b = bf16(rng, 3, 1, 9, 40), bf16(rng, 2, 40, 18)
    on, off = both_paths(lambda: bits(tensor(a, True) @ tensor(b)))
    assert on.shape == (3, 2, 9, 18)
    assert np.array_equal(on, off)


@pytest.mark.parametrize("shape_a, shape_b", [((0, 5), (5, 3)), ((4, 0), (0, 3)), ((4, 5), (5, 0)), ((2, 0, 5), (5, 3))], ids=str)
def test_empty_extents_on_the_dot_path(shape_a, shape_b, restore_mode):
    dot_mode("on")
    a = np.ones(shape_a, dtype=ml_dtypes.bfloat16)
    b = np.ones(shape_b, dtype=ml_dtypes.bfloat16)
    got = (Tensor(a, dtype="bfloat16") @ Tensor(b, dtype="bfloat16")).to_numpy()
    assert got.shape == shape_a[:-1] + shape_b[-1:]
    # An inner extent of 0 makes every element an empty sum.
    assert np.all(got.astype(np.float32) == 0.0)


@pytest.mark.parametrize("m, k, n", [(5, 300, 7), (40, 513, 36)], ids=str)
def test_exact_sums_agree_past_one_block(m, k, n, rng, restore_mode):
    # Small integers: every partial sum is exact, so the blocking of k
    # cannot show and both paths give the rounded exact sum.
    a = rng.integers(-40, 40, size=(m, k)).astype(ml_dtypes.bfloat16)
    b = rng.integers(-40, 40, size=(k, n)).astype(ml_dtypes.bfloat16)
    on, off = both_paths(lambda: bits(tensor(a) @ tensor(b, True)))
    expected = (a.astype(np.float64) @ b.astype(np.float64)).astype(np.float32).astype(ml_dtypes.bfloat16)
    assert np.array_equal(on, expected.view(np.uint16))
    assert np.array_equal(off, on)


@pytest.mark.parametrize(
    "value",
    [2.0**-52, -(2.0**-60), 1e-39, 2.0**64, -(2.0**100), np.inf, -np.inf, np.nan],
    ids=str,
)
@pytest.mark.parametrize("operand", ["a", "b"])
def test_values_outside_the_range_take_the_float32_path(value, operand, rng, restore_mode):
    # k past one block of the float32 GEMM: had the instruction run, its
    # single chain would differ from the blocked float32 sums somewhere.
    a, b = bf16(rng, 30, 400), bf16(rng, 400, 20)
    (a if operand == "a" else b)[3, 5] = value
    on, off = both_paths(lambda: bits(tensor(a) @ tensor(b)))
    # Both ran the float32 path, so even NaN results carry the same bits.
    assert np.array_equal(on, off)


def test_gradients_agree(rng, restore_mode):
    # w holds multiples of 2^-6 below 1 in magnitude, so its row sums are
    # exact in float32 and the expected gradient is known.
    x = bf16(rng, 24, 100)
    w = (rng.integers(-60, 60, size=(100, 30)) / 64.0).astype(ml_dtypes.bfloat16)

    def grads():
        Tensor.clear_graph()
        tx = Tensor(x, dtype="bfloat16", requires_grad=True)
        tw = Tensor(w, dtype="bfloat16", requires_grad=True)
        (tx @ tw).backward()
        return tx.grad().view(np.uint16), tw.grad().view(np.uint16)

    (gx_on, gw_on), (gx_off, gw_off) = both_paths(grads)
    assert np.array_equal(gx_on, gx_off)
    assert np.array_equal(gw_on, gw_off)
    # The values themselves: each row of dL/dx holds the row sums of w.
    expected = w.astype(np.float64).sum(axis=1).astype(np.float32).astype(ml_dtypes.bfloat16)
    assert np.array_equal(gx_on[0], expected.view(np.uint16))


@pytest.mark.parametrize(
    "mode, exc, message",
    [
        ("fast", ValueError, "mode must be 'auto', 'on' or 'off', not 'fast'"),
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (None, TypeError, "'NoneType' object is not an instance of 'str'"),
    ],
)
def test_mode_rejects_other_values(mode, exc, message, restore_mode):
    before = dot_mode("off")
    with pytest.raises(exc, match=message):
        dot_mode(mode)
    assert dot_mode() == "off"
    assert dot_mode(before) == "off"
