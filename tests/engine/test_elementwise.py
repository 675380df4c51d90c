"""Element-wise arithmetic between tensors and with numbers: broadcasting,
values against NumPy, the memory order of results, empty and 0-d operands,
and the exact class and text of every failure."""

import os

import ml_dtypes

import numpy as np
import pytest

from quarn_core import Tensor

from layouts import column_major_strides, row_major_strides

NUMERIC = ["float32", "float16", "bfloat16"]
NP_TYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
NAMES = {"float32": "F32", "float16": "F16", "bfloat16": "BF16", "bool": "Bool"}

OPS = {
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "div": lambda a, b: a / b,
}


def values(rng, shape, dtype):
    """Random values of the dtype, with zeros, infinities and NaNs mixed in."""
    x = rng.standard_normal(shape).astype(np.float32) * 10
    flat = x.reshape(-1)
    if flat.size >= 8:
        flat[:4] = [0.0, -0.0, np.inf, np.nan]
        rng.shuffle(flat)
    return x.astype(NP_TYPES[dtype])


def expected(op, a, b):
    with np.errstate(all="ignore"):
        return OPS[op](a, b)


def assert_same(got, want):
    """Equal values and dtype, NaN where NaN is expected."""
    got = got.to_numpy()
    assert got.dtype == want.dtype
    assert got.shape == want.shape
    g = got.astype(np.float64)
    w = want.astype(np.float64)
    np.testing.assert_array_equal(np.isnan(g), np.isnan(w))
    mask = ~np.isnan(w)
    np.testing.assert_array_equal(g[mask], w[mask])
    np.testing.assert_array_equal(np.signbit(g[mask]), np.signbit(w[mask]))


# --- broadcasting and values -------------------------------------------------

BROADCAST_CASES = [
    ([2, 3], [3], [2, 3]),
    ([2, 1], [1, 3], [2, 3]),
    ([4, 1, 5], [3, 1], [4, 3, 5]),
    ([], [2, 3], [2, 3]),
    ([], [], []),
    ([0], [1], [0]),
    ([2, 0], [1], [2, 0]),
    ([3, 1, 4, 1], [2, 1, 5], [3, 2, 4, 5]),
    ([257, 33], [33], [257, 33]),
    ([1, 1, 7], [6, 1, 1], [6, 1, 7]),
]


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize("shape_a, shape_b, shape_out", BROADCAST_CASES)
def test_broadcast_values(rng, dtype, op, shape_a, shape_b, shape_out):
    a, b = values(rng, shape_a, dtype), values(rng, shape_b, dtype)
    got = OPS[op](Tensor(a, dtype=dtype), Tensor(b, dtype=dtype))
    assert got.shape == shape_out
    assert got.dtype == {"float32": "f32", "float16": "f16", "bfloat16": "bf16"}[dtype]
    assert_same(got, expected(op, a, b))
    # Operands the other way round broadcast to the same shape.
    assert_same(OPS[op](Tensor(b, dtype=dtype), Tensor(a, dtype=dtype)), expected(op, b, a))


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize(
    "perm_a, perm_b",
    [((1, 0), None), (None, (1, 0)), ((1, 0), (1, 0))],
    ids=["transposed-left", "transposed-right", "both-transposed"],
)
def test_transposed_operands(rng, dtype, op, perm_a, perm_b):
    # 150 x 140 is large enough for the tiled walk, with ragged tile edges.
    base_a = values(rng, (150, 140) if perm_a is None else (140, 150), dtype)
    base_b = values(rng, (150, 140) if perm_b is None else (140, 150), dtype)
    ta, tb = Tensor(base_a, dtype=dtype), Tensor(base_b, dtype=dtype)
    if perm_a:
        ta, base_a = ta.transpose(0, 1), base_a.T
    if perm_b:
        tb, base_b = tb.transpose(0, 1), base_b.T
    assert_same(OPS[op](ta, tb), expected(op, base_a, base_b))


@pytest.mark.parametrize("op", list(OPS))
def test_permuted_3d_operands_with_broadcasting(rng, op):
    a = values(rng, (4, 5, 6), "float32")
    b = values(rng, (6, 1, 4), "float32")
    ta = Tensor(a).transpose(0, 2)  # [6, 5, 4]
    got = OPS[op](ta, Tensor(b))
    assert_same(got, expected(op, np.transpose(a, (2, 1, 0)), b))


def test_f32_division_by_zero_gives_infinities_and_nan():
    got = Tensor([1.0, -1.0, 0.0, 5.0]) / Tensor([0.0, 0.0, 0.0, -0.0])
    out = got.to_numpy()
    assert out[0] == np.inf and out[1] == -np.inf and np.isnan(out[2]) and out[3] == -np.inf


def test_sub_keeps_operand_order():
    np.testing.assert_array_equal((Tensor([5.0]) - Tensor([2.0])).to_numpy(), [3.0])
    np.testing.assert_array_equal((Tensor([2.0]) - Tensor([5.0])).to_numpy(), [-3.0])


def test_same_tensor_on_both_sides(rng):
    a = values(rng, (33, 9), "float32")
    t = Tensor(a)
    assert_same(t * t, expected("mul", a, a))


# --- scalar operations ------------------------------------------------------------


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("number", [2.5, -0.1, 0.0, 1e30])
def test_scalar_operations(rng, dtype, number):
    a = values(rng, (7, 13), dtype)
    with np.errstate(over="ignore"):
        s = np.array(np.float32(number)).astype(NP_TYPES[dtype])  # rounded to the dtype first
    t = Tensor(a, dtype=dtype)
    assert_same(t + number, expected("add", a, s))
    assert_same(number + t, expected("add", a, s))
    assert_same(t - number, expected("sub", a, s))
    assert_same(t * number, expected("mul", a, s))
    assert_same(number * t, expected("mul", a, s))
    assert_same(number / t, expected("div", s, a))


@pytest.mark.parametrize("dtype", NUMERIC)
def test_scalar_result_keeps_transposed_strides(rng, dtype):
    a = values(rng, (2, 3), dtype)
    t = Tensor(a, dtype=dtype).transpose(0, 1)  # [3, 2], strides [1, 3]
    for result in (t + 1.0, t - 1.0, t * 2.0, 2.0 / t):
        assert result.strides == [1, 3]
    assert_same(t * 2.0, expected("mul", a.T, np.array(2.0).astype(NP_TYPES[dtype])))


def test_scalar_result_keeps_any_dense_order(rng):
    a = values(rng, (2, 3, 4), "float32")
    t = Tensor(a).transpose(0, 1).transpose(1, 2)  # neither row- nor column-major
    assert t.strides == [4, 1, 12]
    assert (t + 1.0).strides == [4, 1, 12]
    assert_same(t + 1.0, expected("add", np.transpose(a, (1, 2, 0)), np.float32(1.0)))


@pytest.mark.parametrize(
    "apply, what",
    [
        (lambda t: t + 1.0, "add"),
        (lambda t: t - 1.0, "sub"),
        (lambda t: t * 2.0, "product"),
        (lambda t: 2.0 / t, "product"),
    ],
)
def test_scalar_operations_reject_bool(apply, what):
    with pytest.raises(ValueError) as info:
        apply(Tensor([True, False], dtype="bool"))
    assert str(info.value) == (
        f"Tensor DType invalid during scalar {what}. Cannot operate between Bool and scalar."
    )


# --- memory order of results -------------------------------------------------------


def transposed(rng, shape, dtype="float32"):
    """A tensor of `shape` whose memory is column-major (a transposed copy)."""
    base = values(rng, shape[::-1], dtype)
    return Tensor(base, dtype=dtype).transpose(0, 1), base.T


@pytest.mark.parametrize(
    "make_a, make_b, order",
    [
        ("row", "row", "row"),
        ("col", "col", "col"),
        ("col", "row", "row"),
        ("row", "col", "row"),
        ("col", "scalar", "col"),  # a 0-d operand counts as both orders
        ("col", "vector", "col"),  # column-major -2, leaning row-major +1
        ("col", "column", "col"),  # column-major -2, leaning column-major -1
        ("column", "vector", "row"),  # -1 + 1 = 0: row-major
        ("row", "column", "row"),
    ],
)
def test_result_memory_order(rng, make_a, make_b, order):
    shape = [3, 4]

    def make(kind):
        if kind == "row":
            return Tensor(values(rng, shape, "float32"))
        if kind == "col":
            return transposed(rng, shape)[0]
        if kind == "scalar":
            return Tensor(np.float32(2.0))
        if kind == "vector":
            return Tensor(values(rng, [4], "float32"))
        return Tensor(values(rng, [3, 1], "float32"))

    a, b = make(make_a), make(make_b)
    result = a + b
    assert result.shape == shape
    assert result.strides == (row_major_strides(shape) if order == "row" else column_major_strides(shape))
    np.testing.assert_array_equal(result.to_numpy(), a.to_numpy() + b.to_numpy())


def test_three_axis_permuted_operands_give_row_major(rng):
    t = Tensor(values(rng, (4, 5, 6), "float32")).transpose(0, 1)  # [5, 4, 6]
    assert (t + t).strides == row_major_strides([5, 4, 6])


def test_empty_results_report_zero_strides():
    got = Tensor(np.zeros((2, 0), dtype=np.float32)) + Tensor([1.0])
    assert got.shape == [2, 0] and got.strides == [0, 0]
    assert got.to_numpy().shape == (2, 0)


# --- failures ------------------------------------------------------------------------


@pytest.mark.parametrize("op", list(OPS))
def test_bool_arithmetic_is_a_type_error(op):
    t = Tensor([True], dtype="bool")
    with pytest.raises(TypeError) as info:
        OPS[op](t, t)
    assert str(info.value) == (
        "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
    )


@pytest.mark.parametrize(
    "left, right",
    [("float32", "float16"), ("float16", "float32"), ("bool", "float32"), ("bfloat16", "bool"),
     ("float16", "bfloat16")],
)
def test_dtype_mismatch_names_both_in_order(left, right):
    a = Tensor([1.0], dtype=left)
    b = Tensor([1.0, 2.0, 3.0], dtype=right)  # also a shape problem: the dtype wins
    with pytest.raises(ValueError) as info:
        a * b
    assert str(info.value) == (
        "Tensor DType mismatch during binary execution. "
        f"Cannot operate between {NAMES[left]} and {NAMES[right]}."
    )


@pytest.mark.parametrize(
    "shape_a, shape_b, text",
    [
        ([2, 3], [4], "[2, 3] and [4]"),
        ([4], [2, 3], "[4] and [2, 3]"),
        ([2, 3], [3, 2], "[2, 3] and [3, 2]"),
        ([0], [3], "[0] and [3]"),
    ],
)
@pytest.mark.parametrize("op", list(OPS))
def test_shape_mismatch_message(shape_a, shape_b, text, op):
    a = Tensor(np.zeros(shape_a, dtype=np.float32))
    b = Tensor(np.zeros(shape_b, dtype=np.float32))
    with pytest.raises(RuntimeError) as info:
        OPS[op](a, b)
    assert str(info.value) == "Shape mismatch: cannot broadcast " + text


def test_target_too_large_to_count_fails_for_a():
    big = 2**40
    a = Tensor(np.empty((big, 1, 0), dtype=np.float32))
    b = Tensor(np.empty((1, big, 0), dtype=np.float32))
    with pytest.raises(RuntimeError) as info:
        a + b
    assert str(info.value) == f"Broadcast failed for A: [{big}, 1, 0] -> [{big}, {big}, 0]"


# --- results larger than the caches -------------------------------------------------


@pytest.mark.parametrize("dtype", NUMERIC)
def test_large_results_written_around_the_caches(rng, dtype):
    # 2048 x 2048 results are written with streaming stores; an odd row
    # length and a broadcast row take the same path with unaligned rows.
    a = values(rng, (2048, 2049), dtype)
    b = values(rng, (2048, 2049), dtype)
    row = values(rng, (2049,), dtype)
    ta, tb, trow = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype), Tensor(row, dtype=dtype)
    assert_same(ta * tb, expected("mul", a, b))
    assert_same(ta - trow, expected("sub", a, row))
    if dtype == "float32":
        np.testing.assert_array_equal((ta > tb).to_numpy(), a > b)
        assert_same(ta * 0.5, expected("mul", a, np.float32(0.5)))


# --- threads with the smallest stack ----------------------------------------------


# AddressSanitizer surrounds every stack array with redzones, so the
# instrumented build needs more than the smallest stack for the half-precision
# kernels' binary32 blocks; the uninstrumented build is the one this measures.
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="instrumented stack frames outgrow 32 KiB")
@pytest.mark.parametrize("dtype", NUMERIC)
def test_operations_on_a_thread_with_the_smallest_stack(rng, dtype, on_thread):
    # 32 KiB is the least threading.stack_size accepts. The 256 x 256 operand
    # read across its memory order takes the tiled walk.
    a, b = values(rng, (256, 256), dtype), values(rng, (256, 256), dtype)

    def run():
        ta = Tensor(np.ascontiguousarray(a.T), dtype=dtype, requires_grad=True).transpose(0, 1)
        tb = Tensor(b, dtype=dtype, requires_grad=True)
        results = [ta + tb, ta * tb, tb / ta, ta - 2.0]
        results[1].backward()
        return results, ta.grad(), tb.grad()

    results, grad_a, grad_b = on_thread(run, 32 * 1024)
    assert_same(results[0], expected("add", a, b))
    assert_same(results[1], expected("mul", a, b))
    assert_same(results[2], expected("div", b, a))
    assert_same(results[3], expected("sub", a, np.asarray(2.0, a.dtype)))
    # The gradients of a product seeded with ones are the other factor.
    assert grad_a.tobytes() == b.tobytes() and grad_b.tobytes() == a.tobytes()
