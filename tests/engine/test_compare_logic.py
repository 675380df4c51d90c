"""Comparisons (tensor with tensor, tensor with number) and the logical
operations: IEEE semantics on every half-precision pattern, the rounding of
the number to the tensor's dtype, broadcasting, result layout, and every
message."""

import ml_dtypes
import numpy as np
import pytest

from quarn_core import Tensor

NP_TYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
ALL_BITS = np.arange(65536, dtype=np.uint16)

COMPARISONS = {
    "==": lambda a, b: a == b,
    ">=": lambda a, b: a >= b,
    ">": lambda a, b: a > b,
    "<=": lambda a, b: a <= b,
    "<": lambda a, b: a < b,
}


def bools(t):
    out = t.to_numpy()
    assert out.dtype == np.bool_
    return out


# --- comparisons ----------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
@pytest.mark.parametrize("op", list(COMPARISONS))
@pytest.mark.parametrize("shift", [1, 255, 32768, 40000])
def test_every_half_pattern_compared(dtype, op, shift):
    # NaNs, both zeros, subnormals and infinities all meet each other here;
    # NumPy and ml_dtypes compare by IEEE value.
    a = ALL_BITS.view(NP_TYPES[dtype])
    b = np.roll(ALL_BITS, shift).view(NP_TYPES[dtype])
    got = bools(COMPARISONS[op](Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)))
    np.testing.assert_array_equal(got, COMPARISONS[op](a, b))


@pytest.mark.parametrize("op", list(COMPARISONS))
def test_f32_specials_compared(op):
    specials = np.array([0.0, -0.0, 1.0, -1.0, np.inf, -np.inf, np.nan, 1e-45, -1e-45], dtype=np.float32)
    a = np.repeat(specials, specials.size)
    b = np.tile(specials, specials.size)
    got = bools(COMPARISONS[op](Tensor(a), Tensor(b)))
    np.testing.assert_array_equal(got, COMPARISONS[op](a, b))


@pytest.mark.parametrize("op", list(COMPARISONS))
def test_bool_tensors_compare_false_below_true(op):
    a = np.array([False, False, True, True])
    b = np.array([False, True, False, True])
    got = bools(COMPARISONS[op](Tensor(a, dtype="bool"), Tensor(b, dtype="bool")))
    np.testing.assert_array_equal(got, COMPARISONS[op](a.astype(int), b.astype(int)))


def test_bool_less_than_example():
    got = Tensor([False, True], dtype="bool") < Tensor([True, True], dtype="bool")
    np.testing.assert_array_equal(bools(got), [True, False])


@pytest.mark.parametrize("dtype", list(NP_TYPES))
@pytest.mark.parametrize("op", list(COMPARISONS))
def test_compare_broadcast_and_transposed(rng, dtype, op):
    a = (rng.integers(-3, 4, size=(70, 90)) / 2).astype(NP_TYPES[dtype])
    b = (rng.integers(-3, 4, size=(90,)) / 2).astype(NP_TYPES[dtype])
    c = (rng.integers(-3, 4, size=(90, 70)) / 2).astype(NP_TYPES[dtype])
    ta, tb, tc = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype), Tensor(c, dtype=dtype)
    np.testing.assert_array_equal(bools(COMPARISONS[op](ta, tb)), COMPARISONS[op](a, b))
    np.testing.assert_array_equal(bools(COMPARISONS[op](tc.transpose(0, 1), ta)), COMPARISONS[op](c.T, a))
    both = COMPARISONS[op](tc.transpose(0, 1), tc.transpose(0, 1))
    assert both.strides == [1, 70]  # two transposed operands: column-major result


@pytest.mark.parametrize("op", list(COMPARISONS))
def test_compare_dtype_mismatch(op):
    with pytest.raises(RuntimeError) as info:
        COMPARISONS[op](Tensor([1.0]), Tensor([1.0, 2.0], dtype="float16"))
    assert str(info.value) == f"Tensor device or dtype mismatch for element-wise {op} operation."


def test_compare_shape_mismatch():
    with pytest.raises(RuntimeError) as info:
        Tensor(np.zeros((2, 3), np.float32)) < Tensor(np.zeros(4, np.float32))
    assert str(info.value) == "Shape mismatch: cannot broadcast [2, 3] and [4]"


# --- comparisons with a number ----------------------------------------------------


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
@pytest.mark.parametrize("op", list(COMPARISONS))
@pytest.mark.parametrize("number", [0.1, 0.0, -0.0, 1.0, -2.5, 65504.0, 70000.0, 3.4e38, float("nan")])
def test_every_half_pattern_against_a_number(dtype, op, number):
    a = ALL_BITS.view(NP_TYPES[dtype])
    with np.errstate(over="ignore"):
        s = np.array(np.float32(number)).astype(NP_TYPES[dtype])  # rounded to the dtype first
    got = bools(COMPARISONS[op](Tensor(a, dtype=dtype), number))
    np.testing.assert_array_equal(got, COMPARISONS[op](a, s))


@pytest.mark.parametrize("dtype", list(NP_TYPES))
def test_number_rounded_to_the_dtype_is_equal(dtype):
    assert bools(Tensor([0.1], dtype=dtype) == 0.1).tolist() == [True]


def test_f16_number_beyond_range_is_infinity():
    t = Tensor([np.inf, 65504.0], dtype="float16")
    assert bools(t == 70000.0).tolist() == [True, False]
    assert bools(t < 70000.0).tolist() == [False, True]


def test_bf16_largest_f32_is_infinity():
    t = Tensor([np.inf], dtype="bfloat16")
    assert bools(t == float(np.finfo(np.float32).max)).tolist() == [True]


@pytest.mark.parametrize("op", list(COMPARISONS))
def test_nan_is_false_against_everything(op):
    t = Tensor([np.nan, -np.nan])
    assert not bools(COMPARISONS[op](t, 1.0)).any()
    assert not bools(COMPARISONS[op](t, float("nan"))).any()
    assert not bools(COMPARISONS[op](t, t)).any()


def test_zeros_of_both_signs_are_equal():
    for dtype in NP_TYPES:
        assert bools(Tensor([-0.0], dtype=dtype) == Tensor([0.0], dtype=dtype)).all()
        assert bools(Tensor([-0.0], dtype=dtype) == 0.0).all()


def test_reflected_forms_map_onto_the_scalar_comparisons():
    t = Tensor([1.0, 2.0, 3.0])
    np.testing.assert_array_equal(bools(2.0 < t), [False, False, True])
    np.testing.assert_array_equal(bools(2.0 >= t), [True, True, False])
    np.testing.assert_array_equal(bools(t.__rlt__(2.0)), bools(t > 2.0))
    np.testing.assert_array_equal(bools(t.__rgt__(2.0)), bools(t < 2.0))
    np.testing.assert_array_equal(bools(t.__req__(2.0)), bools(t == 2.0))


def test_scalar_compare_keeps_transposed_strides(rng):
    t = Tensor(rng.standard_normal((2, 3)).astype(np.float32)).transpose(0, 1)
    got = t > 0.0
    assert got.strides == [1, 3]
    np.testing.assert_array_equal(bools(got), t.to_numpy() > 0)


@pytest.mark.parametrize("op", list(COMPARISONS))
def test_scalar_compare_rejects_bool(op):
    with pytest.raises(RuntimeError) as info:
        COMPARISONS[op](Tensor([True], dtype="bool"), 1.0)
    assert str(info.value) == f"Tensor device or dtype mismatch for scalar {op} operation."


def test_results_never_require_grad():
    a = Tensor([1.0, 2.0], requires_grad=True)
    assert not (a < a).requires_grad
    assert not (a == 1.0).requires_grad
    m = Tensor([True, False], dtype="bool", requires_grad=True)
    assert not (m & m).requires_grad and not (~m).requires_grad


# --- logic --------------------------------------------------------------------------

LOGIC = {
    "and": (lambda a, b: a & b, np.logical_and),
    "or": (lambda a, b: a | b, np.logical_or),
    "xor": (lambda a, b: a ^ b, np.logical_xor),
}


@pytest.mark.parametrize("op", list(LOGIC))
@pytest.mark.parametrize(
    "shape_a, shape_b", [([2, 1], [3]), ([4], [4]), ([], [5]), ([0, 3], [3]), ([65, 70], [70, 65])]
)
def test_logic_values_and_broadcasting(rng, op, shape_a, shape_b):
    apply, reference = LOGIC[op]
    a = rng.random(shape_a) < 0.5
    b = rng.random(shape_b) < 0.5
    tb = Tensor(b, dtype="bool")
    if shape_b == [70, 65]:
        tb, b = tb.transpose(0, 1), b.T
    got = apply(Tensor(a, dtype="bool"), tb)
    np.testing.assert_array_equal(bools(got), reference(a, b))


def test_and_of_column_and_row():
    got = Tensor([[True], [False]], dtype="bool") & Tensor([True, False, True], dtype="bool")
    assert got.shape == [2, 3]
    np.testing.assert_array_equal(bools(got), [[True, False, True], [False, False, False]])


@pytest.mark.parametrize("op", list(LOGIC))
@pytest.mark.parametrize("left, right", [("bool", "float32"), ("float32", "bool"), ("float16", "float16")])
def test_logic_rejects_non_bool_before_shapes(op, left, right):
    apply, _ = LOGIC[op]
    with pytest.raises(RuntimeError) as info:
        apply(Tensor([1.0, 0.0], dtype=left), Tensor([1.0, 0.0, 1.0], dtype=right))
    assert str(info.value) == "Logical operations are only supported for Bool data types."


def test_logic_shape_mismatch():
    with pytest.raises(RuntimeError) as info:
        Tensor([True, False], dtype="bool") ^ Tensor([True, False, True], dtype="bool")
    assert str(info.value) == "Shape mismatch: cannot broadcast [2] and [3]"


def test_not(rng):
    a = rng.random((5, 7)) < 0.5
    t = Tensor(a, dtype="bool")
    np.testing.assert_array_equal(bools(~t), ~a)
    tt = t.transpose(0, 1)
    assert (~tt).strides == [1, 7]
    np.testing.assert_array_equal(bools(~tt), ~a.T)
    scalar = ~Tensor(True, dtype="bool")
    assert scalar.shape == [] and bools(scalar).tolist() is False


def test_not_rejects_numeric():
    with pytest.raises(RuntimeError) as info:
        ~Tensor([1.0])
    assert str(info.value) == "Logical NOT is only supported for Bool data type."
