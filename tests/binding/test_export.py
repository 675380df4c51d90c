"""Tensor.to_numpy(): element types, memory order and independence of the copy."""

import numpy as np
import pytest

from quarn_core import Tensor

SHAPES = [(), (1,), (0,), (7,), (3, 4), (2, 0, 3), (2, 3, 4), (1, 1, 5), (2, 1, 3, 2)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_round_trip(shape, dtype_name, make_random):
    data = make_random(shape, dtype_name)
    t = Tensor(data, dtype=dtype_name)
    out = t.to_numpy()
    assert type(out) is np.ndarray
    assert out.dtype == np.dtype(dtype_name)
    assert out.shape == shape
    assert out.tobytes() == data.tobytes()
    assert out.strides == tuple(s * out.itemsize for s in t.strides)
    assert out.flags.writeable and out.flags.owndata


@pytest.mark.parametrize("dtype_name", ["float16", "bfloat16"])
def test_every_half_precision_bit_pattern_survives(dtype_name):
    bits = np.arange(1 << 16, dtype=np.uint16).reshape(256, 256)
    out = Tensor(bits.view(np.dtype(dtype_name)), dtype=dtype_name).to_numpy()
    np.testing.assert_array_equal(out.view(np.uint16), bits)


def test_float32_bits_survive(rng):
    bits = rng.integers(0, 1 << 32, size=(64, 33), dtype=np.uint64).astype(np.uint32)
    # Include NaN payloads, infinities, subnormals and signed zeros explicitly.
    bits[0, :6] = [0x7FC00001, 0xFF800000, 0x7F800000, 0x00000001, 0x80000000, 0x7FA00000]
    out = Tensor(bits.view(np.float32)).to_numpy()
    np.testing.assert_array_equal(out.view(np.uint32), bits)


@pytest.mark.parametrize("rows, cols", [(2, 3), (4, 4), (2, 5)])
def test_transpose_of_row_major_2d_exports_in_fortran_order(rows, cols, dtype_name, make_random):
    data = make_random((rows, cols), dtype_name)
    out = Tensor(data, dtype=dtype_name).transpose(0, 1).to_numpy()
    assert out.dtype == np.dtype(dtype_name)
    assert out.shape == (cols, rows)
    assert out.flags.f_contiguous
    assert not out.flags.c_contiguous
    assert out.strides == (out.itemsize, out.itemsize * cols)
    np.testing.assert_array_equal(out, data.T)


@pytest.mark.parametrize(
    "shape, dims, fortran",
    [
        ((2, 3, 4), (0, 2), True),  # every axis reversed: column-major
        ((2, 3, 4), (0, 1), False),  # neither order: copied element by element
        ((2, 3, 4), (1, 2), False),
        ((3, 1, 4), (0, 2), True),
        ((2, 3, 4, 5), (1, 2), False),
    ],
)
def test_transposes_of_three_or_more_axes(shape, dims, fortran, make_random):
    data = make_random(shape, "float32")
    out = Tensor(data).transpose(*dims).to_numpy()
    expected = np.swapaxes(data, *dims)
    np.testing.assert_array_equal(out, expected)
    assert out.flags.f_contiguous is fortran
    assert out.flags.c_contiguous is not fortran


@pytest.mark.parametrize("shape", [(1, 4), (4, 1), (1, 1), (0, 3), (3, 0)], ids=str)
def test_degenerate_transposes_export_correct_values(shape, make_random):
    data = make_random(shape, "float32")
    out = Tensor(data).transpose(0, 1).to_numpy()
    assert out.shape == shape[::-1]
    np.testing.assert_array_equal(out, data.T)


@pytest.mark.parametrize("transposed", [False, True], ids=["row-major", "transposed"])
def test_exported_array_is_writeable_owned_and_independent(transposed, dtype_name, make_random):
    data = make_random((3, 4), dtype_name)
    t = Tensor(data, dtype=dtype_name)
    if transposed:
        t, data = t.transpose(0, 1), data.T
    first = t.to_numpy()
    second = t.to_numpy()
    assert first is not second
    assert not np.shares_memory(first, second)
    assert first.flags.writeable and first.flags.owndata
    first[...] = np.ones_like(first)
    assert not np.array_equal(first, data)
    # Nor do exports of results that share the tensor's memory, or later
    # operations, reach the tensor or an earlier export.
    t.transpose(0, 1).to_numpy()[...] = np.zeros_like(first).T
    t.ones_like().to_numpy()
    np.testing.assert_array_equal(second, data)
    np.testing.assert_array_equal(t.to_numpy(), data)
