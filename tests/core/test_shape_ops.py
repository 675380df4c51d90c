"""reshape, transpose, zeros_like and ones_like as Python sees them."""

import numpy as np
import pytest

from quarn_core import Tensor

from layouts import row_major_strides

INCOMPATIBLE_SHAPE = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
INCOMPATIBLE_LAYOUT = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


def bits(t):
    return t.to_numpy().tobytes()


# --- reshape --------------------------------------------------------------


@pytest.mark.parametrize(
    "target",
    [[3, 2], [6], [1, 6, 1], [2, 3], [1, 1, 2, 1, 3], [6, 1]],
    ids=str,
)
def test_reshape_keeps_row_major_order(target, dtype_name, make_random):
    data = make_random((2, 3), dtype_name)
    r = Tensor(data, dtype=dtype_name).reshape(target)
    assert r.shape == target
    assert r.strides == row_major_strides(target)
    assert r.dtype == Tensor(data, dtype=dtype_name).dtype
    assert bits(r) == data.reshape(target).tobytes()


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "shape",
    [
        [2, 3],
        (2, 3),
        np.array([2, 3]),
        np.array([2, 3], dtype=np.uint8),
        np.array([2, 3], dtype=np.int32),
        [np.int64(2), np.uint16(3)],
        [Index(2), Index(3)],
        range(2, 4),
        b"\x02\x03",
    ],
    ids=["list", "tuple", "int64-array", "uint8-array", "int32-array", "numpy-ints", "index",
         "range", "bytes"],
)
def test_reshape_accepts_any_sequence_of_integers(shape):
    data = np.arange(6, dtype=np.float32)
    r = Tensor(data).reshape(shape)
    assert r.shape == [2, 3]
    np.testing.assert_array_equal(r.to_numpy(), data.reshape(2, 3))


class Shape(str):
    pass


@pytest.mark.parametrize("shape", ["6", "", "[2, 3]", Shape("6")], ids=repr)
def test_reshape_refuses_strings(shape):
    with pytest.raises(TypeError) as info:
        Tensor(np.zeros(6)).reshape(shape)
    assert str(info.value) == "Can't extract `str` to `Vec`"
    assert info.value.__notes__ == ["while processing 'shape'"]


@pytest.mark.parametrize(
    "shape",
    [6, None, 6.0, {2, 3}, {2: 0, 3: 0}, iter([2, 3]), (n for n in (2, 3)), object(),
     # sequences of something other than integers
     [2.0, 3.0], ["2", "3"], [2, None], [[2], [3]], [np.float64(6.0)]],
    ids=["int", "None", "float", "set", "dict", "iterator", "generator", "object",
         "[2.0, 3.0]", "['2', '3']", "[2, None]", "[[2], [3]]", "[np.float64(6.0)]"],
)
def test_reshape_refuses_non_sequences_and_non_integer_extents(shape):
    with pytest.raises(TypeError) as info:
        Tensor(np.zeros(6)).reshape(shape)
    assert info.value.__notes__ == ["while processing 'shape'"]


@pytest.mark.parametrize(
    "shape",
    [[-1, 3], [2, -3], [-6], [2**64], [2**64 + 6], [Index(-1), 6], np.array([-1, 6])],
    ids=["-1,3", "2,-3", "-6", "2**64", "2**64+6", "index-1", "array-1"],
)
def test_reshape_negative_or_huge_extent_raises_overflow_error(shape):
    t = Tensor(np.zeros(6))
    with pytest.raises(OverflowError) as info:
        t.reshape(shape)
    assert info.value.__notes__ == ["while processing 'shape'"]
    assert t.shape == [6]


@pytest.mark.parametrize(
    "source, target",
    [
        ((2, 3), [4]),
        ((2, 3), [7]),
        ((2, 3), [2, 2]),
        ((2, 3), []),
        ((2, 3), [0]),
        ((2, 3), [6, 0]),
        ((), [0]),
        ((), [2]),
        ((0,), [1]),
        ((0,), []),
        # Products that overflow a signed machine word are refused even where
        # a zero extent makes the element count zero.
        ((6,), [2**32, 2**32]),
        ((6,), [2**63, 1]),
        ((6,), [2**64 - 1]),
        ((0,), [2**40, 2**40, 0]),
        ((0,), [2**63, 0]),
    ],
    ids=str,
)
def test_reshape_to_incompatible_shape(source, target, dtype_name):
    t = Tensor(np.zeros(source), dtype=dtype_name)
    with pytest.raises(ValueError) as info:
        t.reshape(target)
    assert str(info.value) == INCOMPATIBLE_SHAPE
    assert t.shape == list(source)


@pytest.mark.parametrize(
    "source, dims, target, message",
    [((2, 3), (0, 1), [6], INCOMPATIBLE_LAYOUT), ((2, 3), (0, 1), [3, 2], INCOMPATIBLE_LAYOUT),
     ((2, 3, 4), (0, 2), [24], INCOMPATIBLE_LAYOUT), ((2, 3, 4), (1, 2), [2, 12], INCOMPATIBLE_LAYOUT),
     ((2, 2), (1, 0), [2, 2], INCOMPATIBLE_LAYOUT),
     # the element count is checked before the layout
     ((2, 3), (0, 1), [7], INCOMPATIBLE_SHAPE)],
)
def test_reshape_of_non_row_major_tensor_fails(source, dims, target, message, dtype_name):
    t = Tensor(np.zeros(source), dtype=dtype_name).transpose(*dims)
    with pytest.raises(ValueError) as info:
        t.reshape(target)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "source, dims, target",
    [
        ((1, 3), (0, 1), [3]),  # [3, 1] with strides [1, 3]: the extent-1 axis does not count
        ((3, 1), (0, 1), [3]),
        ((1, 1, 4), (0, 1), [2, 2]),
        ((2, 1, 3), (1, 0), [6]),
    ],
)
def test_transposes_that_stay_row_major_can_be_reshaped(source, dims, target):
    data = np.arange(np.prod(source), dtype=np.float32).reshape(source)
    r = Tensor(data).transpose(*dims).reshape(target)
    assert r.shape == target
    np.testing.assert_array_equal(r.to_numpy(), np.swapaxes(data, *dims).reshape(target))


@pytest.mark.parametrize(
    "chain",
    [[[1]], [[1, 1]], [[1, 1, 1], []], [[1], []], [[], [1, 1]], [()]],
    ids=str,
)
def test_single_element_reshapes(chain, dtype_name):
    t = Tensor(np.ones(()), dtype=dtype_name)
    for target in chain:
        t = t.reshape(target)
        assert t.shape == list(target)
        assert t.strides == [1] * len(target)
        assert t.to_numpy().reshape(()) == np.ones((), dtype=np.dtype(dtype_name))


@pytest.mark.parametrize("dims", [None, (0, 1), (1, 2), (0, 2)], ids=str)
@pytest.mark.parametrize("target", [[0], [5, 0], [0, 0, 7], [2, 0]], ids=str)
def test_empty_tensors_reshape_to_any_empty_shape(dims, target, dtype_name):
    t = Tensor(np.zeros((2, 0, 3)), dtype=dtype_name)
    if dims is not None:
        t = t.transpose(*dims)
    r = t.reshape(target)
    assert r.shape == target
    assert r.strides == [0] * len(target)
    assert r.to_numpy().size == 0


def test_reshape_result_is_independent_of_operand():
    data = np.arange(6, dtype=np.float32)
    t = Tensor(data)
    r = t.reshape([2, 3])
    out = r.to_numpy()
    out[...] = 0
    np.testing.assert_array_equal(t.to_numpy(), data)
    np.testing.assert_array_equal(r.to_numpy(), data.reshape(2, 3))
    assert t.shape == [6] and t.strides == [1]


# --- transpose ------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, dims",
    [
        ((2, 3), (0, 1)),
        ((1, 3), (0, 1)),
        ((2, 3), (1, 0)),
        ((2, 3), (1, 1)),
        ((2, 3), (0, 0)),
        ((2, 3, 4), (0, 2)),
        ((2, 3, 4), (2, 1)),
        ((4, 1, 3), (0, 1)),
        ((2, 3, 4, 5), (3, 0)),
        ((2, 0), (0, 1)),
        ((5,), (0, 0)),
    ],
    ids=str,
)
def test_transpose_swaps_extents_and_strides(shape, dims, dtype_name, make_random):
    data = make_random(shape, dtype_name)
    t = Tensor(data, dtype=dtype_name)
    r = t.transpose(*dims)
    expected_shape = list(shape)
    expected_strides = list(t.strides)
    a, b = dims
    expected_shape[a], expected_shape[b] = expected_shape[b], expected_shape[a]
    expected_strides[a], expected_strides[b] = expected_strides[b], expected_strides[a]
    assert r.shape == expected_shape
    assert r.strides == expected_strides
    assert r.dtype == t.dtype
    out = r.to_numpy()
    assert out.dtype == np.dtype(dtype_name)
    np.testing.assert_array_equal(out, np.swapaxes(data, a, b))


def test_transposing_back_restores_row_major(make_random):
    data = make_random((2, 3, 4), "float32")
    r = Tensor(data).transpose(0, 2).transpose(1, 2).transpose(0, 1)
    # (2,3,4) -> (4,3,2) -> (4,2,3) -> (2,4,3)
    expected = np.swapaxes(np.swapaxes(np.swapaxes(data, 0, 2), 1, 2), 0, 1)
    assert r.shape == list(expected.shape)
    np.testing.assert_array_equal(r.to_numpy(), expected)
    back = Tensor(data).transpose(0, 1).transpose(0, 1)
    assert back.strides == [12, 4, 1]
    assert back.reshape([24]).to_numpy().tobytes() == data.tobytes()


@pytest.mark.parametrize(
    "shape, dims, length, index",
    [
        ((2, 3), (0, 2), 2, 2),
        ((2, 3), (2, 0), 2, 2),
        ((2, 3), (5, 7), 2, 5),
        ((2, 3), (7, 5), 2, 7),
        ((2, 3), (1, 9), 2, 9),
        ((), (0, 0), 0, 0),
        ((4,), (0, 1), 1, 1),
        ((2, 3, 4), (3, 3), 3, 3),
        ((2, 3), (2**64 - 1, 0), 2, 2**64 - 1),
    ],
    ids=str,
)
def test_transpose_axis_out_of_range_is_a_fault(shape, dims, length, index, panic_exception):
    t = Tensor(np.zeros(shape), dtype="bool")
    with pytest.raises(panic_exception) as info:
        t.transpose(*dims)
    assert str(info.value) == f"index out of bounds: the len is {length} but the index is {index}"
    assert t.shape == list(shape)


@pytest.mark.parametrize(
    "dims, parameter",
    [((-1, 0), "dim0"), ((0, -1), "dim1"), ((-1, -1), "dim0"), ((2**64, 0), "dim0"),
     ((0, 2**70), "dim1")],
    ids=str,
)
def test_transpose_negative_or_huge_axis_raises_overflow_error(dims, parameter):
    with pytest.raises(OverflowError) as info:
        Tensor(np.zeros((2, 3))).transpose(*dims)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "dims, parameter",
    [((0.0, 1), "dim0"), ((0, "1"), "dim1"), ((None, 1), "dim0"), ((0, [1]), "dim1")],
    ids=str,
)
def test_transpose_non_integer_axis_raises_type_error(dims, parameter):
    with pytest.raises(TypeError) as info:
        Tensor(np.zeros((2, 3))).transpose(*dims)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_transpose_accepts_index_objects():
    r = Tensor(np.zeros((2, 3))).transpose(np.int64(0), Index(1))
    assert r.shape == [3, 2]


# --- zeros_like / ones_like -----------------------------------------------


@pytest.mark.parametrize("method, fill", [("zeros_like", 0), ("ones_like", 1)])
@pytest.mark.parametrize("shape", [(), (1,), (3,), (2, 3), (2, 0, 4), (2, 3, 4)], ids=str)
def test_fill_values_and_dtypes(method, fill, shape, dtype_name, make_random):
    data = make_random(shape, dtype_name)
    t = Tensor(data, dtype=dtype_name, requires_grad=True)
    r = getattr(t, method)()
    assert r.dtype == t.dtype
    assert r.shape == list(shape)
    assert r.strides == row_major_strides(list(shape))
    assert r.requires_grad is False
    out = r.to_numpy()
    assert out.dtype == np.dtype(dtype_name)
    # Bit for bit: +0.0 from negative operands too, 1 as each format's own
    # pattern, bools as the bytes 0 and 1.
    assert bits(r) == np.full(shape, fill, dtype=np.dtype(dtype_name)).tobytes()
    # The operand is only read.
    assert bits(t) == data.tobytes()


@pytest.mark.parametrize("method", ["zeros_like", "ones_like"])
@pytest.mark.parametrize("shape, dims", [((2, 3), (0, 1)), ((2, 3, 4), (0, 2)), ((2, 3, 4), (1, 2))])
def test_fill_of_transposed_tensor_is_row_major(method, shape, dims, dtype_name):
    t = Tensor(np.zeros(shape), dtype=dtype_name).transpose(*dims)
    r = getattr(t, method)()
    assert r.shape == t.shape
    assert r.strides == row_major_strides(t.shape)
    # Row-major, so it reshapes where the transposed operand would not.
    assert r.reshape([int(np.prod(shape))]).shape == [int(np.prod(shape))]
