"""bfloat16 products on the dot-product instruction ("on") against the
widened float32 path ("off"), through the whole stack: bit for bit wherever
the float32 GEMM runs one FMA chain per element (k within its block), for
transposed and broadcast operands and in the backward products; operands
with a value outside the instruction's exact range fall back. Where the CPU
lacks the instruction both modes take the float32 path."""

import ml_dtypes
import numpy as np
import pytest

import quarn
import quarn_core
from quarn_core import Tensor

dot_mode = quarn_core._functions.bf16_dot_mode
BF16 = ml_dtypes.bfloat16


@pytest.fixture(autouse=True)
def restore_mode():
    before = dot_mode()
    yield
    dot_mode(before)


def both_paths(fn):
    dot_mode("on")
    on = fn()
    dot_mode("off")
    return on, fn()


def tensor(array, transpose=False):
    """A bfloat16 tensor of `array`, stored transposed when asked."""
    if not transpose:
        return Tensor(array, dtype="bfloat16")
    stored = Tensor(np.ascontiguousarray(np.swapaxes(array, -1, -2)), dtype="bfloat16")
    return stored.transpose(array.ndim - 2, array.ndim - 1)


def product_bits(a, b, ta=False, tb=False):
    return lambda: (tensor(a, ta) @ tensor(b, tb)).to_numpy().view(np.uint16)


@pytest.mark.parametrize(
    "shape_a, shape_b, ta, tb",
    [((1, 1), (1, 1), False, False), ((13, 7), (7, 33), True, False), ((15, 128), (128, 31), False, True),
     ((64, 100), (100, 10), True, True), ((3, 1, 9, 40), (2, 40, 18), True, False)],
    ids=str,
)
def test_paths_agree_within_one_block(shape_a, shape_b, ta, tb, rng):
    a = rng.standard_normal(shape_a).astype(BF16)
    b = (rng.standard_normal(shape_b) * 2.0**-10).astype(BF16)
    on, off = both_paths(product_bits(a, b, ta, tb))
    assert np.array_equal(on, off)


@pytest.mark.parametrize("shape_a, shape_b", [((4, 0), (0, 3)), ((40, 513), (513, 36))], ids=str)
def test_exact_sums_agree_past_one_block(shape_a, shape_b, rng):
    # Small integers: every partial sum is exact, so the blocking of k
    # cannot show and both paths give the rounded exact sum.
    a = rng.integers(-40, 40, size=shape_a).astype(BF16)
    b = rng.integers(-40, 40, size=shape_b).astype(BF16)
    on, off = both_paths(product_bits(a, b, False, True))
    expected = (a.astype(np.float64) @ b.astype(np.float64)).astype(np.float32).astype(BF16)
    assert np.array_equal(on, expected.view(np.uint16))
    assert np.array_equal(off, on)


@pytest.mark.parametrize("value", [2.0**-52, -(2.0**-60), 1e-39, 2.0**64, np.inf, np.nan], ids=str)
@pytest.mark.parametrize("operand", [0, 1])
def test_values_outside_the_range_take_the_float32_path(value, operand, rng):
    # k past one float32 block: had the instruction run, its single chain
    # would differ from the blocked float32 sums somewhere.
    ops = [rng.standard_normal((30, 400)).astype(BF16), rng.standard_normal((400, 20)).astype(BF16)]
    ops[operand][3, 5] = value
    on, off = both_paths(product_bits(*ops))
    assert np.array_equal(on, off)  # the same path, so even NaNs carry the same bits


def test_gradients_agree(rng):
    # Multiples of 2^-6 below 1: the row sums of w are exact in float32.
    x = rng.standard_normal((24, 100)).astype(BF16)
    w = (rng.integers(-60, 60, size=(100, 30)) / 64.0).astype(BF16)

    def grads():
        Tensor.clear_graph()
        tx = Tensor(x, dtype="bfloat16", requires_grad=True)
        tw = Tensor(w, dtype="bfloat16", requires_grad=True)
        (tx @ tw).backward()
        return tx.grad().view(np.uint16), tw.grad().view(np.uint16)

    (gx_on, gw_on), (gx_off, gw_off) = both_paths(grads)
    assert np.array_equal(gx_on, gx_off) and np.array_equal(gw_on, gw_off)
    expected = w.astype(np.float64).sum(axis=1).astype(np.float32).astype(BF16)
    assert np.array_equal(gx_on[0], expected.view(np.uint16))


@pytest.mark.parametrize(
    "mode, exc, message",
    [("fast", ValueError, "mode must be 'auto', 'on', 'off' or 'amx', not 'fast'"),
     (None, TypeError, "'NoneType' object is not an instance of 'str'")],
)
def test_mode_rejects_other_values(mode, exc, message):
    dot_mode("off")
    with pytest.raises(exc, match=message):
        dot_mode(mode)
    assert dot_mode("auto") == "off"


# The "amx" mode: the AMX tile unit where the CPU has it and the OS grants
# it; refused with RuntimeError elsewhere. Its sums are not the FMA chain's
# bit for bit, so it is held to exact results where every partial sum is
# exact, to the float32 path where an operand is out of range, to a
# rounding bound of a float64 model elsewhere, and to the same bits on any
# number of threads.


def amx_refusal():
    before = dot_mode()
    try:
        dot_mode("amx")
    except RuntimeError as error:
        return str(error)
    dot_mode(before)
    return None


AMX_REFUSAL = amx_refusal()
needs_amx = pytest.mark.skipif(AMX_REFUSAL is not None, reason=f"no AMX tile unit here: {AMX_REFUSAL}")


def in_mode(mode, fn):
    before = dot_mode(mode)
    try:
        return fn()
    finally:
        dot_mode(before)


def test_amx_mode_is_granted_or_refused_whole():
    dot_mode("off")
    if AMX_REFUSAL is None:
        assert dot_mode("amx") == "off"
        assert dot_mode() == "amx"
        assert dot_mode("auto") == "amx"
    else:
        assert AMX_REFUSAL.startswith("bf16_dot_mode('amx'): ")
        with pytest.raises(RuntimeError, match=r"bf16_dot_mode\('amx'\)"):
            dot_mode("amx")
        assert dot_mode() == "off"


@needs_amx
@pytest.mark.parametrize(
    "shape_a, shape_b, ta, tb",
    [((1, 1), (1, 1), False, False), ((33, 70), (70, 31), True, False), ((130, 1100), (1100, 40), False, True),
     ((40, 64), (64, 530), True, True), ((3, 1, 9, 40), (2, 40, 18), False, False),
     ((290, 513), (513, 263), False, False), ((35, 4200), (4200, 20), True, False)],
    ids=str,
)
def test_amx_exact_sums(shape_a, shape_b, ta, tb, rng):
    a = rng.integers(-40, 40, size=shape_a).astype(BF16)
    b = rng.integers(-40, 40, size=shape_b).astype(BF16)
    amx = in_mode("amx", product_bits(a, b, ta, tb))
    expected = (a.astype(np.float64) @ b.astype(np.float64)).astype(np.float32).astype(BF16)
    assert np.array_equal(amx, expected.view(np.uint16))


@needs_amx
@pytest.mark.parametrize("value", [2.0**-52, 1e-39, 2.0**64, np.inf, np.nan], ids=str)
def test_amx_values_outside_the_range_take_the_float32_path(value, rng):
    ops = [rng.standard_normal((30, 400)).astype(BF16), rng.standard_normal((400, 20)).astype(BF16)]
    ops[1][7, 2] = value
    amx = in_mode("amx", product_bits(*ops))
    assert np.array_equal(amx, in_mode("off", product_bits(*ops)))


def operand(array, layout):
    """`array` as a bfloat16 tensor stored row-major, transposed, or as a
    view taking every other row and column of a larger one."""
    if layout != "strided":
        return tensor(array, layout == "transposed")
    wide = np.zeros((2 * array.shape[0], 2 * array.shape[1]), dtype=BF16)
    wide[::2, ::2] = array
    return quarn.Tensor(wide, dtype="bfloat16")[::2, ::2]


@needs_amx
@pytest.mark.parametrize("layout_a, layout_b", [("row", "row"), ("transposed", "strided"), ("strided", "transposed")])
@pytest.mark.parametrize("m, k, n", [(1, 5, 1), (31, 97, 45), (70, 1500, 50), (300, 530, 270)])
def test_amx_within_rounding_of_float64_on_any_thread_count(m, k, n, layout_a, layout_b, rng):
    a = (rng.standard_normal((m, k)) * 2.0 ** rng.integers(-8, 8, (m, k))).astype(BF16)
    b = rng.standard_normal((k, n)).astype(BF16)
    threads_before = quarn.get_num_threads()
    results = []
    try:
        for threads in (1, 2, 3):
            quarn.set_num_threads(threads)
            results.append(in_mode("amx", lambda: (operand(a, layout_a) @ operand(b, layout_b)).to_numpy()))
    finally:
        quarn.set_num_threads(threads_before)
    assert all(np.array_equal(r.view(np.uint16), results[0].view(np.uint16)) for r in results)
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    exact = a64 @ b64
    # Every product of two bfloat16 values is exact in float32; the tile
    # unit's float32 sums over k terms are off by at most k roundings of
    # 2^-24 of the magnitudes (whatever its order and intermediate width),
    # then the result rounds once more, to bfloat16 (2^-8).
    summed = (k + 1) * 2.0**-24 * (np.abs(a64) @ np.abs(b64))
    bound = summed + 2.0**-8 * (np.abs(exact) + summed)
    assert np.all(np.abs(results[0].astype(np.float64) - exact) <= bound)
