"""Tensor(data, dtype=None, device="cpu", requires_grad=False)."""

import types

import ml_dtypes
import numpy as np
import pytest

from quarn_core import Tensor

DEVICE_ERROR = "The device string is invalid or not supported."
# NumPy refuses this data; an argument refused before NumPy sees it raises
# our error instead.
RAGGED = [[1.0], [1.0, 2.0]]


def dtype_error(name):
    return f"Unsupported or invalid data type: '{name}'"


def raised_by(func, *args, **kwargs):
    """The exception that a call raises, for comparing against NumPy's own."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    return info.value


# --- device ---------------------------------------------------------------


class Name(str):
    pass


class AlwaysCpu(str):
    """Its own lower() is never asked: names are lowered as a str."""

    def lower(self):
        return "cpu"


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", "cPu", Name("CpU"), AlwaysCpu("CPU")])
def test_device_is_compared_after_lower_casing(device):
    t = Tensor([1.0, 2.0], device=device)
    assert t.device == "cpu"
    np.testing.assert_array_equal(t.to_numpy(), [1.0, 2.0])


@pytest.mark.parametrize(
    "device",
    [
        "cuda",
        "",
        " cpu",
        "cpu ",
        "cpu\x00",
        "cpu\x00x",
        "\u00c7PU",  # lower-cases to a c with cedilla, not to "c"
        "\uff23\uff30\uff35",  # fullwidth CPU lower-cases to fullwidth letters
        "cpu\u0130",  # a capital I with dot becomes two code points
        "cp\ud800",  # a lone surrogate is still a string, just not "cpu"
        AlwaysCpu("gpu"),
    ],
)
def test_other_devices_raise_value_error(device):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], device=device)
    assert str(info.value) == DEVICE_ERROR


def type_name(value):
    """The name an error message gives the type of `value`."""
    kind = type(value)
    return kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__name__}"


@pytest.mark.parametrize(
    "parameter, value, expected",
    [
        *[("device", device, "str") for device in (1, None, b"cpu", ["cpu"])],
        *[("requires_grad", flag, "bool")
          for flag in (1, 0, None, "yes", 1.0, np.int64(1), np.array(True), [True])],
    ],
    ids=repr,
)
def test_arguments_of_another_type_raise_type_error_with_note(parameter, value, expected):
    with pytest.raises(TypeError) as info:
        Tensor([1.0], **{parameter: value})
    assert str(info.value) == f"'{type_name(value)}' object is not an instance of '{expected}'"
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "kwargs",
    [
        {"dtype": "float64"},
        {"dtype": object()},
        {"dtype": "bool", "requires_grad": True},
    ],
)
def test_device_is_checked_before_dtype_and_data(kwargs):
    with pytest.raises(ValueError) as info:
        Tensor(RAGGED, device="gpu", **kwargs)
    assert str(info.value) == DEVICE_ERROR


def test_argument_types_are_checked_before_the_device_value():
    with pytest.raises(TypeError) as info:
        Tensor([1.0], device="gpu", requires_grad=1)
    assert info.value.__notes__ == ["while processing 'requires_grad'"]


# --- dtype resolution -----------------------------------------------------


@pytest.mark.parametrize(
    "dtype, expected",
    [
        (None, "f32"),
        ("float32", "f32"),
        ("f32", "f32"),
        ("float16", "f16"),
        ("f16", "f16"),
        ("bfloat16", "bf16"),
        ("bf16", "bf16"),
        ("bool", "bool"),
        (np.float32, "f32"),
        (np.float16, "f16"),
        (bool, "bool"),
        (ml_dtypes.bfloat16, "bf16"),
        (np.dtype("float32"), "f32"),
        (np.dtype("float16"), "f16"),
        (np.dtype("bool"), "bool"),
        (np.dtype(ml_dtypes.bfloat16), "bf16"),
        (np.dtype(">f4"), "f32"),
        (Name("float16"), "f16"),
    ],
    ids=repr,
)
def test_dtype_resolution(dtype, expected):
    t = Tensor([1.0, 0.0], dtype=dtype)
    assert t.dtype == expected


def test_numpy_bool_type_resolves_through_its_name():
    # The type's __name__ is "bool" on NumPy 2 but "bool_" on NumPy 1, and
    # only the former is an element type name.
    if np.bool_.__name__ == "bool":
        assert Tensor([1.0, 0.0], dtype=np.bool_).dtype == "bool"
    else:
        with pytest.raises(ValueError, match="^Unsupported or invalid data type: 'bool_'$"):
            Tensor([1.0, 0.0], dtype=np.bool_)


def test_dtype_without_name_goes_through_numpy_dtype():
    # Reading __name__ fails here with something other than AttributeError;
    # that failure is dropped and numpy.dtype() sees the object's dtype field.
    class HasDtype:
        @property
        def __name__(self):
            raise RuntimeError("no name")

        dtype = np.dtype("float16")

    assert Tensor([1.0], dtype=HasDtype()).dtype == "f16"


@pytest.mark.parametrize(
    "dtype, name",
    [
        ("F32", "F32"),
        ("Float32", "Float32"),
        ("float32 ", "float32 "),
        (" f16", " f16"),
        ("float64", "float64"),
        ("int32", "int32"),
        ("", ""),
        ("BF16", "BF16"),
        (float, "float"),
        (int, "int"),
        (np.float64, "float64"),
        (np.dtype("int8"), "int8"),
        (np.dtype("complex64"), "complex64"),
        # Names that cannot be valid text reach the message unchanged.
        ("f\x00", "f\x00"),
        ("float32\x00", "float32\x00"),
        ("\udcff", "\udcff"),
        ("f32 ", "f32 "),
    ],
    ids=repr,
)
def test_unknown_dtype_names_raise_value_error_before_the_data_is_read(dtype, name):
    with pytest.raises(ValueError) as info:
        Tensor(RAGGED, dtype=dtype)
    assert str(info.value) == dtype_error(name)


@pytest.mark.parametrize("name", [3, None, b"float32"])
def test_dtype_name_attribute_must_be_a_string(name):
    with pytest.raises(TypeError):
        Tensor([1.0], dtype=types.SimpleNamespace(__name__=name))


def test_numpy_dtype_refusal_passes_through_unchanged():
    class NotADtype:
        pass

    dtype = NotADtype()
    expected = raised_by(np.dtype, dtype)
    actual = raised_by(Tensor, [1.0], dtype=dtype)
    assert type(actual) is type(expected)
    assert str(actual) == str(expected)


# --- requires_grad --------------------------------------------------------


@pytest.mark.parametrize(
    "flag, expected",
    [(True, True), (False, False), (np.True_, True), (np.False_, False)],
    ids=repr,
)
def test_requires_grad_accepts_python_and_numpy_bools(flag, expected):
    t = Tensor([1.0], requires_grad=flag)
    assert t.requires_grad is expected


# --- argument binding -----------------------------------------------------


# Refused before NumPy sees the data, which it would refuse with ValueError.
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((), {"dtype": "float32"}),
        ((RAGGED,), {"devise": "cpu"}),
        ((RAGGED,), {"require_grad": True}),
        ((RAGGED,), {"data": [2.0]}),
        ((RAGGED, None, "cpu", False, None), {}),
        ((RAGGED, None), {"dtype": None}),
    ],
)
def test_bad_argument_binding_raises_type_error(args, kwargs):
    with pytest.raises(TypeError):
        Tensor(*args, **kwargs)


def test_all_parameters_by_position_and_by_keyword():
    a = Tensor([1.0, 2.0], "float16", "cpu", True)
    b = Tensor(data=[1.0, 2.0], dtype="float16", device="cpu", requires_grad=True)
    for t in (a, b):
        assert (t.dtype, t.requires_grad, t.shape) == ("f16", True, [2])


# --- NumPy's conversion ---------------------------------------------------


@pytest.mark.parametrize(
    "data, dtype",
    [
        ([[1.0], [1.0, 2.0]], None),
        ([[1.0], [1.0, 2.0]], "bool"),
        ("abc", None),
        (object(), None),
        ([1.0, "x"], "float16"),
        ({"a": 1}, None),
    ],
    ids=["ragged", "ragged-bool", "string", "object", "mixed-list", "dict"],
)
def test_numpy_exceptions_pass_through_unchanged(data, dtype):
    numpy_name = {None: "float32", "bool": "bool", "float16": "float16"}[dtype]
    expected = raised_by(np.array, data, dtype=numpy_name)
    actual = raised_by(Tensor, data, dtype=dtype)
    assert type(actual) is type(expected)
    assert str(actual) == str(expected)


@pytest.mark.parametrize(
    "data, dtype",
    [
        ([1, 2, 3], None),
        ([[1, 2], [3, 4]], "float16"),
        ([0.1, 1e-8, 65520.0, -1e5], "float16"),
        ([0.1, 1.00390625, 3.0e38, 1e39], "bfloat16"),
        ([0.1, 1e-46, 3.5e38], "float32"),
        ([2, 0, -1.5, float("nan")], "bool"),
        ([True, False], None),
        (np.array([[True, False, True], [False, False, True]]), None),
        (np.arange(5, dtype=np.int64), "float32"),
        (np.array([1.5, -0.0]), "bool"),
        (np.array([[1.5, -2.0], [0.25, 3.0]], dtype=">f4"), None),
        (np.array([1.5, -2.0], dtype=">f2"), "float16"),
    ],
    ids=repr,
)
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
def test_values_are_those_numpy_produces(data, dtype):
    numpy_name = dtype or "float32"
    expected = np.array(data, dtype=numpy_name)
    out = Tensor(data, dtype=dtype).to_numpy()
    assert out.dtype == expected.dtype
    assert out.shape == expected.shape
    # Compare bits, so signed zeros and NaNs count as well.
    assert out.tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "data, shape",
    [
        (2.5, []),
        (3, []),
        (True, []),
        (np.float16(1.5), []),
        (np.array(4.0), []),
        ([], [0]),
        ([[]], [1, 0]),
        ([1.0], [1]),
        ((1.0, 2.0, 3.0), [3]),
        (np.zeros((2, 0, 3)), [2, 0, 3]),
        (np.zeros((1, 1, 1, 1)), [1, 1, 1, 1]),
    ],
    ids=repr,
)
def test_shapes_follow_numpy(data, shape):
    t = Tensor(data)
    assert t.shape == shape
    assert t.ndim == len(shape)
    assert t.dtype == "f32"


def layouts(base):
    """The same logical values in memory orders NumPy keeps through copying."""
    return {
        "c-order": base,
        "fortran": np.asfortranarray(base),
        "swapped-axes": np.ascontiguousarray(base.transpose(1, 0, 2)).transpose(1, 0, 2),
        "strided-slice": np.repeat(np.repeat(base, 2, axis=1), 3, axis=2)[:, ::2, ::3],
        "reversed": np.ascontiguousarray(base[::-1, :, ::-1])[::-1, :, ::-1],
    }


@pytest.mark.parametrize(
    "layout", ["c-order", "fortran", "swapped-axes", "strided-slice", "reversed"]
)
def test_any_input_layout_gives_row_major_tensor(layout, dtype_name, make_random):
    base = make_random((3, 4, 5), dtype_name)
    data = layouts(base)[layout]
    np.testing.assert_array_equal(data, base)
    t = Tensor(data, dtype=dtype_name)
    assert t.shape == [3, 4, 5]
    assert t.strides == [20, 5, 1]
    out = t.to_numpy()
    assert out.dtype == np.dtype(dtype_name)
    assert out.tobytes() == np.ascontiguousarray(base).tobytes()


def test_fortran_2d_input_of_every_shape(make_random):
    for shape in [(1, 7), (7, 1), (2, 2), (5, 3)]:
        base = make_random(shape, "float32")
        t = Tensor(np.asfortranarray(base))
        assert t.strides == [shape[1], 1]
        np.testing.assert_array_equal(t.to_numpy(), base)


@pytest.mark.parametrize("copy_first", [False, True])
def test_source_changes_after_construction_do_not_reach_the_tensor(copy_first, dtype_name):
    source = np.array([[1, 0, 1], [0, 1, 1]], dtype=np.dtype(dtype_name))
    before = source.copy()
    # With the NumPy dtype already right, numpy.array() still copies, and the
    # tensor must not keep a view of either array.
    t = Tensor(source.copy() if copy_first else source, dtype=dtype_name)
    source[...] = 0
    source[0, 0] = 7
    np.testing.assert_array_equal(t.to_numpy(), before)


def test_source_is_not_referenced_after_construction():
    import weakref

    class Data(list):
        pass

    data = Data([1.0, 2.0])
    ref = weakref.ref(data)
    t = Tensor(data)
    del data
    assert ref() is None
    assert t.shape == [2]
