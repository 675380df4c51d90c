"""The `@` operator: values against float64 NumPy, every stride pattern a
Python caller can produce, empty extents, half-precision rounding, and the
exact messages and exception classes of every failure."""

import ml_dtypes
import numpy as np
import pytest

from quarn_core import Tensor

from layouts import row_major_strides

F32_UNIT = 2.0**-24
NUMERIC_DTYPES = ["float32", "float16", "bfloat16"]


def expected_f32(a, b):
    """The exact product (float64) and the magnitude that bounds its
    single-precision rounding error."""
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    return a64 @ b64, np.abs(a64) @ np.abs(b64)


def assert_close_f32(got, a, b):
    exact, magnitude = expected_f32(a, b)
    k = a.shape[-1]
    assert got.dtype == np.float32
    assert got.shape == exact.shape
    # A k-term dot product in binary32 is off by at most about k units of
    # 2^-24 of the sum of magnitudes, whatever the order of summation.
    tolerance = 2.0 * (k + 1) * F32_UNIT * magnitude
    assert np.all(np.abs(got.astype(np.float64) - exact) <= tolerance)


@pytest.fixture
def randn(rng):
    return lambda *shape: rng.standard_normal(shape).astype(np.float32)


# --- shapes and values ----------------------------------------------------


@pytest.mark.parametrize(
    "shape_a, shape_b, shape_out",
    [
        ([2, 3], [3, 4], [2, 4]),
        ([5, 2, 3], [3, 4], [5, 2, 4]),
        ([3, 4], [5, 4, 2], [5, 3, 2]),
        ([2, 1, 2, 3], [4, 3, 5], [2, 4, 2, 5]),
        ([1, 3, 4], [6, 4, 2], [6, 3, 2]),
        ([6, 3, 4], [1, 4, 2], [6, 3, 2]),
        ([2, 3, 1, 5, 4], [3, 7, 4, 2], [2, 3, 7, 5, 2]),
        ([1, 1], [1, 1], [1, 1]),
    ],
    ids=str,
)
def test_batch_broadcast_shapes_and_values(shape_a, shape_b, shape_out, randn):
    a, b = randn(*shape_a), randn(*shape_b)
    r = Tensor(a) @ Tensor(b)
    assert r.shape == shape_out
    assert r.strides == row_major_strides(shape_out)
    assert r.dtype == "f32"
    assert_close_f32(r.to_numpy(), a, b)


def test_broadcast_operand_is_reused_for_every_batch(randn):
    a, b = randn(5, 2, 3), randn(3, 4)
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    for i in range(5):
        assert_close_f32(got[i], a[i], b)


# Sizes on both sides of the register tiles (6 x 16 and 6 x 64 in the
# packed vector kernels, strips of 14 rows in the direct AVX-512 one, 4 x 8
# in the portable one) and of the cache blocks (k past 256, m past 144).
TILE_SIZES = [1, 2, 5, 6, 7, 13, 14, 15, 16, 17, 31, 32, 33]


@pytest.mark.parametrize("m", TILE_SIZES)
@pytest.mark.parametrize("n", [1, 7, 8, 9, 16, 17, 33, 47, 63, 65])
def test_sizes_around_micro_tiles(m, n, randn):
    k = 1 + (3 * m + 5 * n) % 23
    a, b = randn(m, k), randn(k, n)
    assert_close_f32((Tensor(a) @ Tensor(b)).to_numpy(), a, b)


@pytest.mark.parametrize(
    "m, k, n",
    [
        (145, 257, 63),
        (64, 513, 64),
        (7, 300, 4100),
        (289, 31, 290),
        (150, 260, 150),
        # Matrix-vector products, which have kernels of their own.
        (2100, 300, 1),
        (1, 300, 2100),
        (33, 1000, 1),
        (1, 1000, 33),
    ],
    ids=str,
)
def test_sizes_around_cache_blocks(m, k, n, randn):
    a, b = randn(m, k), randn(k, n)
    assert_close_f32((Tensor(a) @ Tensor(b)).to_numpy(), a, b)


# --- operands that are not row-major ----------------------------------------


def transposed(array):
    """A tensor whose last two axes are the transpose of a row-major tensor,
    holding `array`'s values: the GEMM sees unit row stride."""
    t = Tensor(np.ascontiguousarray(np.swapaxes(array, -1, -2)))
    return t.transpose(t.ndim - 2, t.ndim - 1)


@pytest.mark.parametrize("m, k, n", [(3, 4, 5), (17, 33, 19), (130, 270, 70)], ids=str)
@pytest.mark.parametrize("layout_a", ["row", "transposed"])
@pytest.mark.parametrize("layout_b", ["row", "transposed"])
def test_transposed_operands_multiply_in_place(m, k, n, layout_a, layout_b, randn):
    a, b = randn(m, k), randn(k, n)
    ta = Tensor(a) if layout_a == "row" else transposed(a)
    tb = Tensor(b) if layout_b == "row" else transposed(b)
    if layout_a == "transposed":
        assert ta.strides == [1, m]
    r = ta @ tb
    assert r.strides == [n, 1]
    assert_close_f32(r.to_numpy(), a, b)


@pytest.mark.parametrize(
    "m, k, n",
    # Small, matrix-vector (one column, one row), and large enough for the
    # packed path.
    [(4, 6, 5), (300, 77, 1), (1, 77, 300), (1, 1, 1), (40, 600, 3), (150, 300, 170)],
    ids=str,
)
def test_transpose_equals_row_major_copy(m, k, n, randn):
    base = randn(k, m)
    t = Tensor(base).transpose(0, 1)
    copy = Tensor(np.ascontiguousarray(base.T))
    b = Tensor(randn(k, n))
    # Exactly the same values, not merely close ones.
    assert np.array_equal((t @ b).to_numpy(), (copy @ b).to_numpy())


@pytest.mark.parametrize("dims", [(0, 1), (0, 2), (1, 2)], ids=str)
def test_batched_operand_with_permuted_axes(dims, randn):
    # Swapping a batch axis with a matrix axis, or two batch axes, leaves the
    # batch stride smaller than the matrix strides.
    base = randn(4, 5, 6)
    ta = Tensor(base).transpose(*dims)
    a = np.swapaxes(base, *dims)
    b = randn(*a.shape[:-2], a.shape[-1], 3)
    assert_close_f32((ta @ Tensor(b)).to_numpy(), a, b)


def test_transposed_operand_with_broadcast_batch(randn):
    a, b = randn(3, 1, 9, 7), randn(4, 7, 11)
    r = transposed(a) @ transposed(b)
    assert r.shape == [3, 4, 9, 11]
    assert_close_f32(r.to_numpy(), a, b)


def test_reshaped_batch_of_small_matrices(randn):
    # Many small slices, each a separate GEMM call into its own part of the
    # single result.
    a, b = randn(64, 8, 32, 32), randn(64, 8, 32, 32)
    assert_close_f32((Tensor(a) @ Tensor(b)).to_numpy(), a, b)


def test_operands_are_not_modified(randn):
    a, b = randn(3, 5, 4), randn(4, 6)
    ta, tb = Tensor(a), Tensor(b)
    ta @ tb
    assert np.array_equal(ta.to_numpy(), a) and np.array_equal(tb.to_numpy(), b)


# --- empty extents ----------------------------------------------------------


@pytest.mark.parametrize(
    "shape_a, shape_b, shape_out",
    [
        ([2, 0], [0, 3], [2, 3]),
        ([4, 2, 0], [0, 3], [4, 2, 3]),
        ([0, 2, 3], [3, 4], [0, 2, 4]),
        ([0, 3], [3, 4], [0, 4]),
        ([2, 3], [3, 0], [2, 0]),
        ([3, 0, 5], [1, 5, 2], [3, 0, 2]),
        ([1, 2, 3], [0, 3, 4], [0, 2, 4]),
    ],
    ids=str,
)
@pytest.mark.parametrize("dtype_name", NUMERIC_DTYPES)
def test_empty_extents(shape_a, shape_b, shape_out, dtype_name):
    r = Tensor(np.ones(shape_a), dtype=dtype_name) @ Tensor(np.ones(shape_b), dtype=dtype_name)
    assert r.shape == shape_out
    out = r.to_numpy()
    assert out.shape == tuple(shape_out)
    # With an inner extent of 0 every element is an empty sum.
    assert np.all(out.astype(np.float32) == 0.0)


# --- half precision ---------------------------------------------------------

HALF = {"float16": np.float16, "bfloat16": ml_dtypes.bfloat16}


@pytest.mark.parametrize("dtype_name", ["float16", "bfloat16"])
@pytest.mark.parametrize("m, k, n", [(3, 4, 5), (19, 40, 33), (70, 300, 20)], ids=str)
def test_half_product_is_rounded_f32_product(dtype_name, m, k, n, rng):
    # Integers whose products and sums stay exact in binary32 (below 2^24),
    # but whose sums need more bits than the half formats have: the only
    # rounding is the final one, so the result is known exactly.
    a = rng.integers(-60, 60, size=(m, k)).astype(HALF[dtype_name])
    b = rng.integers(-60, 60, size=(k, n)).astype(HALF[dtype_name])
    exact = a.astype(np.float64) @ b.astype(np.float64)
    r = Tensor(a, dtype=dtype_name) @ Tensor(b, dtype=dtype_name)
    assert r.dtype == {"float16": "f16", "bfloat16": "bf16"}[dtype_name]
    got = r.to_numpy()
    assert got.dtype == np.dtype(dtype_name)
    with np.errstate(over="ignore"):  # large f16 sums overflow on both sides
        expected = exact.astype(np.float32).astype(HALF[dtype_name])
    assert np.array_equal(got.view(np.uint16), expected.view(np.uint16))


@pytest.mark.parametrize(
    "dtype_name, row, expected",
    [
        # Rounding after each step would drop both ones (2048 + 1 ties to
        # 2048); rounding the whole sum keeps them.
        ("float16", [2048.0, 1.0, 1.0], 2050.0),
        ("bfloat16", [256.0, 1.0, 1.0], 258.0),
        # Ties to even.
        ("float16", [2048.0, 1.0, 0.0], 2048.0),
        ("float16", [2048.0, 2.0, 1.0], 2052.0),
        ("bfloat16", [256.0, 1.0, 0.0], 256.0),
        ("bfloat16", [256.0, 2.0, 1.0], 260.0),
        # Past the largest binary16 value: 65520 and beyond overflow, just
        # below rounds down to 65504.
        ("float16", [65504.0, 16.0, 0.0], np.inf),
        ("float16", [-65504.0, -16.0, 0.0], -np.inf),
        ("float16", [65504.0, 8.0, 7.0], 65504.0),
        ("float16", [32768.0, 32768.0, -24.0], 65504.0),
    ],
)
def test_half_sum_rounded_once(dtype_name, row, expected):
    a = Tensor([row], dtype=dtype_name)
    b = Tensor([[1.0], [1.0], [1.0]], dtype=dtype_name)
    got = (a @ b).to_numpy().astype(np.float64)
    assert got.shape == (1, 1)
    assert got[0, 0] == expected


@pytest.mark.parametrize("dtype_name", ["float16", "bfloat16"])
def test_half_transposed_and_broadcast(dtype_name, rng):
    a = rng.integers(-8, 8, size=(3, 1, 6, 5)).astype(HALF[dtype_name])
    b = rng.integers(-8, 8, size=(2, 5, 7)).astype(HALF[dtype_name])
    ta = Tensor(np.ascontiguousarray(np.swapaxes(a, -1, -2)), dtype=dtype_name).transpose(2, 3)
    r = ta @ Tensor(b, dtype=dtype_name)
    assert r.shape == [3, 2, 6, 7]
    expected = (a.astype(np.float64) @ b.astype(np.float64)).astype(np.float32)
    assert np.array_equal(r.to_numpy().astype(np.float32), expected)


# --- failures ---------------------------------------------------------------

BOOL_MESSAGE = (
    "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
)


def mismatch(first, second):
    return (
        "Tensor DType mismatch during binary execution. Cannot operate between "
        f"{first} and {second}."
    )


@pytest.mark.parametrize(
    "dtype_a, dtype_b, shape_a, shape_b, exc, message",
    [
        ("bool", "bool", [2, 3], [3, 4], TypeError, BOOL_MESSAGE),
        # The dtype check comes first, even with shapes that cannot multiply.
        ("bool", "bool", [3], [5], TypeError, BOOL_MESSAGE),
        ("float32", "float16", [2, 3], [3, 4], ValueError, mismatch("F32", "F16")),
        ("bool", "float32", [2, 3], [3, 4], ValueError, mismatch("Bool", "F32")),
        ("float32", "bool", [2, 3], [3, 4], ValueError, mismatch("F32", "Bool")),
        ("bfloat16", "float16", [3], [4, 5], ValueError, mismatch("BF16", "F16")),
        ("float16", "bfloat16", [2, 3], [7, 4], ValueError, mismatch("F16", "BF16")),
    ],
)
def test_dtype_failures(dtype_a, dtype_b, shape_a, shape_b, exc, message):
    a = Tensor(np.ones(shape_a), dtype=dtype_a)
    b = Tensor(np.ones(shape_b), dtype=dtype_b)
    with pytest.raises(exc) as info:
        a @ b
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "shape_a, shape_b, message",
    [
        ([3], [3, 4], "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
        ([2, 3], [3], "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
        ([], [], "Matmul requires at least 2D tensors. A: 0D, B: 0D"),
        ([4], [2, 3, 5], "Matmul requires at least 2D tensors. A: 1D, B: 3D"),
        ([2, 3], [4, 5], "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        ([7, 2, 0], [3, 5], "Matrix inner dimensions mismatch for matmul: 0 vs 3"),
        # The axis count is checked before the inner extents.
        ([3], [5, 4], "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
        # Only the batch parts are printed.
        ([2, 3, 4], [5, 4, 6], "Shape mismatch: cannot broadcast [2] and [5]"),
        ([2, 3, 3, 4], [2, 4, 6], "Shape mismatch: cannot broadcast [2, 3] and [2]"),
        ([0, 3, 4], [2, 4, 6], "Shape mismatch: cannot broadcast [0] and [2]"),
        # Inner extents are checked before the batch axes.
        ([2, 3, 4], [5, 3, 6], "Matrix inner dimensions mismatch for matmul: 4 vs 3"),
    ],
    ids=str,
)
@pytest.mark.parametrize("dtype_name", NUMERIC_DTYPES)
def test_shape_failures(shape_a, shape_b, message, dtype_name):
    a = Tensor(np.ones(shape_a), dtype=dtype_name)
    b = Tensor(np.ones(shape_b), dtype=dtype_name)
    with pytest.raises(RuntimeError) as info:
        a @ b
    assert type(info.value) is RuntimeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "shape_a, shape_b, message",
    [
        # The broadcast batch [2^40, 2^40] has 2^80 slices, which no signed
        # machine word counts; A's expansion is checked first.
        ([2**40, 1, 0, 3], [1, 2**40, 3, 0], f"Broadcast failed for A to [{2**40}, {2**40}, 0, 3]"),
        # A's target [2^40, 1, 0] is countable, B's [2^40, 0, 2^40] is not:
        # extents of 0 do not make a count fit.
        ([2**40, 1, 0], [1, 0, 2**40], f"Broadcast failed for B to [{2**40}, 0, {2**40}]"),
    ],
    ids=["A", "B"],
)
def test_expansion_too_large(shape_a, shape_b, message):
    # Empty operands may carry huge extents at no cost in memory.
    a = Tensor(np.ones(shape_a, dtype=np.float32))
    b = Tensor(np.ones(shape_b, dtype=np.float32))
    with pytest.raises(RuntimeError) as info:
        a @ b
    assert type(info.value) is RuntimeError
    assert str(info.value) == message


# --- many batch axes ----------------------------------------------------------


@pytest.mark.parametrize(
    "n_axes, small_stack", [(100_000, False), (5_000, True)], ids=["main thread", "small stack"]
)
def test_many_unit_batch_axes_forward_and_backward(n_axes, small_stack, randn, on_thread):
    # NumPy stops at 64 axes, so the extent-1 axes come from reshape; they sit
    # between batch axes that do repeat.
    a, b = randn(2, 3, 2, 3), randn(2, 3, 3, 2)
    units = [1] * n_axes

    def run():
        ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
        r = ta.reshape([2] + units + [3, 2, 3]) @ tb.reshape([2] + units + [3, 3, 2])
        shape = r.shape
        r.backward()
        # A B whose batch axes are all broadcast.
        broadcast = Tensor(a).reshape([2] + units + [3, 2, 3]) @ Tensor(b[0, 0]).reshape(units + [1, 1, 3, 2])
        return (
            shape,
            r.reshape([2, 3, 2, 2]).to_numpy(),
            ta.grad(),
            tb.grad(),
            broadcast.reshape([2, 3, 2, 2]).to_numpy(),
        )

    shape, product, grad_a, grad_b, broadcast = on_thread(run, 256 * 1024) if small_stack else run()
    assert shape == [2] + units + [3, 2, 2]
    ones = np.ones((2, 3, 2, 2), np.float32)
    assert_close_f32(product, a, b)
    assert_close_f32(grad_a, ones, np.swapaxes(b, -1, -2))
    assert_close_f32(grad_b, np.swapaxes(a, -1, -2), ones)
    assert_close_f32(broadcast, a, b[0, 0])
