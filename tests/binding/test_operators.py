"""The operator protocol of Tensor: which operand kinds each slot serves, when
a slot answers NotImplemented so that Python raises its own TypeError (or
falls back to identity for ==), how numbers on either side are classified and
narrowed, how != mirrors ==, the spelled-out reflected comparisons, the
slots the class deliberately lacks, and the relu binding.

Values and messages of the engine behind each operator are checked in
tests/engine; here the question is which path Python takes."""

import operator
import re
from decimal import Decimal
from fractions import Fraction

import ml_dtypes
import numpy as np
import pytest

import quarn_core
from quarn_core import Tensor

relu = quarn_core.nn.functional.relu

NP_TYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
NUMERIC = list(NP_TYPES)


def bits(t):
    """Raw element bytes, so NaNs and signed zeros compare exactly."""
    a = t.to_numpy() if isinstance(t, Tensor) else np.asarray(t)
    return a.dtype, a.shape, np.ascontiguousarray(a).tobytes()


def f32(values):
    return Tensor(np.asarray(values, dtype=np.float32))


X = [-2.5, -0.0, 0.0, 1.0, 3.0, 7.0, 1e-3, 65504.0]


class IndexOnly:
    """Converts to a number through __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Refuses:
    """Its float conversion fails with something other than TypeError."""

    def __float__(self):
        raise ValueError("no number here")


class NotAFloat:
    def __float__(self):
        return "1.0"


# --- operands a slot does not serve ---------------------------------------------

UNSERVED = {
    "2 - t": lambda t, m: 2 - t,
    "2.5 - t": lambda t, m: 2.5 - t,
    "True - t": lambda t, m: True - t,
    "t @ 2": lambda t, m: t @ 2,
    "2 @ t": lambda t, m: 2 @ t,
    "t @ 2.0": lambda t, m: t @ 2.0,
    "t @ list": lambda t, m: t @ [[1.0]],
    "m & True": lambda t, m: m & True,
    "True & m": lambda t, m: True & m,
    "m | 1": lambda t, m: m | 1,
    "0 | m": lambda t, m: 0 | m,
    "m ^ 1.0": lambda t, m: m ^ 1.0,
    "False ^ m": lambda t, m: False ^ m,
    "t + 'a'": lambda t, m: t + "a",
    "'a' + t": lambda t, m: "a" + t,
    "t * 'a'": lambda t, m: t * "a",
    "t / 'a'": lambda t, m: t / "a",
    "'a' / t": lambda t, m: "a" / t,
    "t + None": lambda t, m: t + None,
    "t - [1.0]": lambda t, m: t - [1.0],
    "t + 1j": lambda t, m: t + 1j,
    "1j * t": lambda t, m: 1j * t,
    "t + object": lambda t, m: t + object(),
    "t + 10**400": lambda t, m: t + 10**400,
    "10**400 + t": lambda t, m: 10**400 + t,
    "t * 10**400": lambda t, m: t * 10**400,
    "10**400 * t": lambda t, m: 10**400 * t,
    "t - 10**400": lambda t, m: t - 10**400,
    "t / 10**400": lambda t, m: t / 10**400,
    "10**400 / t": lambda t, m: 10**400 / t,
    "t + float() refuses": lambda t, m: t + Refuses(),
    "float() refuses * t": lambda t, m: Refuses() * t,
    "t / float() is not a float": lambda t, m: t / NotAFloat(),
    "t + huge __index__": lambda t, m: t + IndexOnly(10**400),
    "t // 2": lambda t, m: t // 2,
    "2 // t": lambda t, m: 2 // t,
    "t % 2": lambda t, m: t % 2,
    "t ** 2": lambda t, m: t**2,
    "2 ** t": lambda t, m: 2**t,
    "pow(t, 2)": lambda t, m: pow(t, 2),
    "divmod(t, 2)": lambda t, m: divmod(t, 2),
    "t << 1": lambda t, m: t << 1,
    "t >> 1": lambda t, m: t >> 1,
    "-t": lambda t, m: -t,
    "+t": lambda t, m: +t,
    "abs(t)": lambda t, m: abs(t),
    "t < 'a'": lambda t, m: t < "a",
    "'a' <= t": lambda t, m: "a" <= t,
    "t > None": lambda t, m: t > None,
    "t >= 10**400": lambda t, m: t >= 10**400,
    "10**400 < t": lambda t, m: 10**400 < t,
    "t < float() refuses": lambda t, m: t < Refuses(),
}


@pytest.mark.parametrize("expression", list(UNSERVED))
def test_unserved_operands_end_in_pythons_type_error(expression, graph_len):
    t = Tensor([1.0, 2.0], requires_grad=True)
    m = Tensor([True, False], dtype="bool", requires_grad=True)
    with pytest.raises(TypeError) as info:
        UNSERVED[expression](t, m)
    # Python's own wording about the operand types, not a conversion error of
    # ours: it names the class and carries no argument note.
    assert "quarn.Tensor" in str(info.value)
    assert not getattr(info.value, "__notes__", None)
    # Nothing was handed to a front end, so nothing was recorded.
    assert graph_len() == 2


@pytest.mark.parametrize(
    "expression, message",
    [
        (lambda b: 1.0 + b, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
        (lambda b: 2 * b, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        (lambda b: b / 2.0, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
        (lambda b: b - True, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
    ],
    ids=["1.0+b", "2*b", "b/2.0", "b-True"],
)
def test_front_end_errors_of_number_operands_are_raised(expression, message):
    with pytest.raises(ValueError) as info:
        expression(Tensor([True, False], dtype="bool"))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "statement, plain",
    [
        ("u += 1.5", lambda t, o: t + 1.5),
        ("u -= o", lambda t, o: t - o),
        ("u *= o", lambda t, o: t * o),
        ("u /= 4.0", lambda t, o: t / 4.0),
        ("u @= o.transpose(0, 1)", lambda t, o: t @ o.transpose(0, 1)),
    ],
)
def test_augmented_assignment_binds_a_new_tensor(statement, plain):
    t = f32([[1.0, 2.0], [3.0, 4.0]])
    o = f32([[0.5, -1.0], [2.0, 8.0]])
    before = bits(t)
    scope = {"u": t, "o": o}
    exec(statement, scope)
    assert scope["u"] is not t
    assert bits(scope["u"]) == bits(plain(t, o))
    assert bits(t) == before


@pytest.mark.parametrize("statement", ["u &= o", "u |= o", "u ^= o"])
def test_augmented_logic_binds_a_new_tensor(statement):
    t = Tensor([True, True, False], dtype="bool")
    o = Tensor([True, False, False], dtype="bool")
    scope = {"u": t, "o": o}
    exec(statement, scope)
    assert scope["u"] is not t
    assert t.to_numpy().tolist() == [True, True, False]
    op = {"&": operator.and_, "|": operator.or_, "^": operator.xor}[statement[2]]
    assert scope["u"].to_numpy().tolist() == op(np.array([True, True, False]), np.array([True, False, False])).tolist()


@pytest.mark.parametrize("statement", ["u //= 2", "u %= 2", "u **= 2", "u <<= 1", "u &= True", "u @= 2.0", "u -= 'a'"])
def test_augmented_assignment_without_a_plain_form_raises(statement):
    scope = {"u": Tensor([True, False], dtype="bool") if "&" in statement else f32([1.0, 2.0])}
    with pytest.raises(TypeError):
        exec(statement, scope)


# --- numbers as operands -------------------------------------------------------

NUMBERS = {
    "True": True,
    "False": False,
    "int": 3,
    # 2**60 + 2**36 + 1 becomes 2**60 + 2**36 as binary64, a tie that binary32
    # rounds to even (2**60); rounding the int straight to binary32 would
    # give 2**60 + 2**37.
    "int rounded twice": 2**60 + 2**36 + 1,
    "float": 0.1,
    "float beyond binary32": 1e300,
    "negative float beyond binary32": -1e300,
    "float below binary32": 1e-50,
    "nan": float("nan"),
    # Round to nearest at both ends of binary32: just below the overflow tie,
    # the tie itself (to even, which is infinity), the tie at half the
    # smallest subnormal (to even, which is zero), and just above it.
    "below the overflow tie": float(np.finfo(np.float32).max) + 2.0**102,
    "overflow tie": float(np.finfo(np.float32).max) + 2.0**103,
    "underflow tie": 2.0**-150,
    "above the underflow tie": 2.0**-150 * (1 + 2.0**-20),
    "np.float64": np.float64(0.1),
    "np.float32": np.float32(0.1),
    "np.float16": np.float16(0.1),
    "bfloat16 scalar": ml_dtypes.bfloat16(0.1),
    "np.int64": np.int64(-3),
    "np.uint8": np.uint8(200),
    "np.bool_": np.bool_(True),
    "0-d float64 array": np.array(2.5),
    "0-d int16 array": np.array(7, dtype=np.int16),
    "0-d float16 array": np.array(0.1, dtype=np.float16),
    "Fraction": Fraction(1, 3),
    "Decimal": Decimal("0.1"),
    "__index__ only": IndexOnly(5),
    "__float__": Floaty(0.1),
}

# Each form next to what it computes on the binary32 number v.
FORMS = {
    "t + n": (lambda t, n: t + n, lambda x, v: x + v),
    "n + t": (lambda t, n: n + t, lambda x, v: x + v),
    "t - n": (lambda t, n: t - n, lambda x, v: x - v),
    "t * n": (lambda t, n: t * n, lambda x, v: x * v),
    "n * t": (lambda t, n: n * t, lambda x, v: x * v),
    # Division by a number is a product with its binary32 reciprocal.
    "t / n": (lambda t, n: t / n, lambda x, v: x * (np.float32(1) / v)),
    "n / t": (lambda t, n: n / t, lambda x, v: v / x),
    "t == n": (lambda t, n: t == n, lambda x, v: x == v),
    "t < n": (lambda t, n: t < n, lambda x, v: x < v),
    "t >= n": (lambda t, n: t >= n, lambda x, v: x >= v),
    "n == t": (lambda t, n: n == t, lambda x, v: x == v),
    "n < t": (lambda t, n: n < t, lambda x, v: x > v),
    "n <= t": (lambda t, n: n <= t, lambda x, v: x >= v),
    "n > t": (lambda t, n: n > t, lambda x, v: x < v),
    "n >= t": (lambda t, n: n >= t, lambda x, v: x <= v),
    "t.__req__(n)": (lambda t, n: t.__req__(n), lambda x, v: x == v),
    "t.__rlt__(n)": (lambda t, n: t.__rlt__(n), lambda x, v: v < x),
    "t.__rgt__(n)": (lambda t, n: t.__rgt__(n), lambda x, v: v > x),
}


# A NumPy array on the left of a comparison answers it itself, and so does a
# NumPy scalar under NumPy 1: the tensor is never asked.
NUMPY_1 = np.lib.NumpyVersion(np.__version__) < "2.0.0"


def numpy_answers_on_the_left(number):
    return isinstance(number, np.ndarray) or (NUMPY_1 and isinstance(number, np.generic))


LEFT_COMPARISONS = {"n == t", "n < t", "n <= t", "n > t", "n >= t"}
NUMBER_FORMS = [
    (name, form)
    for name in NUMBERS
    for form in FORMS
    if not (form in LEFT_COMPARISONS and numpy_answers_on_the_left(NUMBERS[name]))
]


@pytest.mark.parametrize("name, form", NUMBER_FORMS)
def test_numbers_are_converted_as_python_floats_then_narrowed(name, form):
    number = NUMBERS[name]
    apply, reference = FORMS[form]
    x = np.array(X, dtype=np.float32)
    # NumPy's own operators see the IEEE flags our kernels leave behind when
    # a NumPy scalar is the left operand.
    with np.errstate(all="ignore"):
        v = np.float32(float(number))
        got = apply(Tensor(x), number)
        want = np.asarray(reference(x, v))
    assert isinstance(got, Tensor)
    assert got.requires_grad is False
    assert bits(got) == bits(want)


@pytest.mark.parametrize(
    "number, expected",
    [
        (1e300, np.inf),
        (-1e300, -np.inf),
        (True, 1.0),
        (False, 0.0),
        (2**24 + 1, 2.0**24),
        # Through binary64 first: rounding straight to binary32 would give
        # 2**60 + 2**37, so this row tells the two roundings apart.
        (2**60 + 2**36 + 1, 2.0**60),
        (float(np.finfo(np.float32).max) + 2.0**102, float(np.finfo(np.float32).max)),
        (-float(np.finfo(np.float32).max) - 2.0**103, -np.inf),
        (2.0**-150, 0.0),
        (2.0**-150 * (1 + 2.0**-20), 2.0**-149),
    ],
    ids=["1e300", "-1e300", "True", "False", "2**24+1", "int rounded twice", "below overflow tie", "overflow tie",
         "underflow tie", "above underflow tie"],
)
def test_number_is_narrowed_before_the_sum(number, expected):
    got = Tensor([0.0, 1.0]) + number
    with np.errstate(over="ignore"):
        assert bits(got) == bits(np.array([0.0, 1.0], np.float32) + np.float32(expected))


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("op", ["+", "*"])
@pytest.mark.parametrize("number", [2, 0.1, True, np.float32(-1.5), np.int64(3), np.array(0.1)], ids=repr)
def test_number_on_the_left_equals_number_on_the_right(dtype, op, number, graph_len):
    apply = operator.add if op == "+" else operator.mul
    x = Tensor(np.arange(-3, 3, dtype=np.float32).reshape(2, 3) / 4, dtype=dtype, requires_grad=True)
    xt = x.transpose(0, 1)
    left, right = apply(number, xt), apply(xt, number)
    assert bits(left) == bits(right)
    assert left.strides == right.strides == xt.strides
    assert left.requires_grad is right.requires_grad is True
    # Leaf, transpose, then one node per expression: both use the
    # tensor-with-number front end.
    assert graph_len() == 4
    left.backward()
    from_left = x.grad()
    right.backward()
    assert bits(from_left) == bits(x.grad())


# --- the element-wise quotient with a number on the left ------------------------


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("number", [2.0, -0.1, 3])
def test_number_over_tensor_gradient(dtype, number, graph_len):
    np_type = NP_TYPES[dtype]
    xs = np.array([[0.5, -2.0, 3.0], [0.1, -7.5, 12.0]], dtype=np.float32).astype(np_type)
    ws = np.array([[1.0, -0.5, 3.0], [0.25, 2.0, -1.5]], dtype=np.float32).astype(np_type)
    x = Tensor(xs, dtype=dtype, requires_grad=True)
    w = Tensor(ws, dtype=dtype)
    q = number / x
    assert q.requires_grad is True
    assert graph_len() == 2
    (q * w).backward()

    # g * (-s / x^2): s rounded to the dtype, every step in binary32 and
    # rounded back to the dtype, as for the quotient rule.
    def rounded(v):
        return np.asarray(v, dtype=np.float32).astype(np_type).astype(np.float32)

    s = rounded(np.float32(number))
    x32 = xs.astype(np.float32)
    step = rounded(-s / rounded(x32 * x32))
    expected = rounded(ws.astype(np.float32) * step).astype(np_type)
    assert bits(x.grad()) == bits(expected)


def test_number_over_tensor_gradient_at_zero():
    x = Tensor([0.0, -0.0, 2.0], requires_grad=True)
    (2.0 / x).backward()
    with np.errstate(all="ignore"):
        want = np.float32(-2.0) / (np.array([0.0, -0.0, 2.0], np.float32) ** 2)
    assert bits(x.grad()) == bits(want)
    x = Tensor([0.0], requires_grad=True)
    (0.0 / x).backward()
    assert np.isnan(x.grad()).all()


def test_number_over_constant_tensor_records_nothing(graph_len):
    c = f32([1.0, 4.0])
    q = 2.0 / c
    assert q.requires_grad is False
    assert graph_len() == 0
    assert q.to_numpy().tolist() == [2.0, 0.5]


# --- comparisons ---------------------------------------------------------------

SWAPS = {
    "<": (operator.lt, operator.gt),
    "<=": (operator.le, operator.ge),
    ">": (operator.gt, operator.lt),
    ">=": (operator.ge, operator.le),
    "==": (operator.eq, operator.eq),
}


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("op", list(SWAPS))
@pytest.mark.parametrize("number", [1, 2.0, -0.0, True, np.float64(0.1), np.int64(-3), float("nan")], ids=repr)
def test_number_on_the_left_is_asked_of_the_tensor_swapped(dtype, op, number):
    if numpy_answers_on_the_left(number):
        pytest.skip("this NumPy answers comparisons with its scalars on the left itself")
    left_op, swapped = SWAPS[op]
    x = np.array([-3.0, -0.0, 0.0, 0.1, 1.0, 2.0, np.nan, np.inf], dtype=np.float32)
    t = Tensor(x, dtype=dtype)
    got = left_op(number, t)
    assert isinstance(got, Tensor) and got.dtype == "bool"
    assert bits(got) == bits(swapped(t, number))


NOT_EQUAL_FALLS_BACK = {
    "t != 'a'": (lambda t: t != "a", True),
    "'a' != t": (lambda t: "a" != t, True),
    "t == 'a'": (lambda t: t == "a", False),
    "'a' == t": (lambda t: "a" == t, False),
    "t != None": (lambda t: t != None, True),  # noqa: E711 - the protocol is the subject
    "t == None": (lambda t: t == None, False),  # noqa: E711
    "t != [1.0, 2.0]": (lambda t: t != [1.0, 2.0], True),
    "t == 10**400": (lambda t: t == 10**400, False),
    "t != 10**400": (lambda t: t != 10**400, True),
    "t == float() refuses": (lambda t: t == Refuses(), False),
    "t != float() refuses": (lambda t: t != Refuses(), True),
}


@pytest.mark.parametrize("expression", list(NOT_EQUAL_FALLS_BACK))
def test_equality_with_unsupported_operands_falls_back_to_identity(expression):
    apply, expected = NOT_EQUAL_FALLS_BACK[expression]
    assert apply(f32([1.0, 2.0])) is expected


# --- conversion failures that are not the operand's ------------------------------

# Every form whose slot converts the other operand to a number.
CLASSIFYING = {
    "t + x": operator.add, "x + t": lambda t, x: x + t, "t - x": operator.sub,
    "t * x": operator.mul, "x * t": lambda t, x: x * t,
    "t / x": operator.truediv, "x / t": lambda t, x: x / t,
    "t == x": operator.eq, "x == t": lambda t, x: x == t, "t != x": operator.ne,
    "t < x": operator.lt, "x < t": lambda t, x: x < t, "t <= x": operator.le,
    "t > x": operator.gt, "t >= x": operator.ge, "x >= t": lambda t, x: x >= t,
}


class Stop(BaseException):
    pass


class OutOfMemory(MemoryError):
    pass


def converts_by_raising(method, exc):
    def convert(self):
        raise exc

    return type("Hostile", (), {method: convert})()


@pytest.mark.parametrize("method", ["__float__", "__index__"])
@pytest.mark.parametrize(
    "exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, Stop, MemoryError, OutOfMemory]
)
@pytest.mark.parametrize("expression", list(CLASSIFYING))
def test_interrupts_and_memory_errors_during_classification_pass_on(expression, exc_type, method, graph_len):
    t = Tensor([1.0, 2.0], requires_grad=True)
    exc = exc_type("raised by the operand")
    with pytest.raises(exc_type) as info:
        CLASSIFYING[expression](t, converts_by_raising(method, exc))
    assert info.value is exc and not getattr(exc, "__notes__", None)
    assert graph_len() == 1


@pytest.mark.parametrize("exc_type", [ArithmeticError, RuntimeError, LookupError, Warning])
@pytest.mark.parametrize("expression", list(CLASSIFYING))
def test_ordinary_conversion_errors_mean_not_a_number(expression, exc_type):
    # As if the operand had no conversion at all: Python's TypeError, or the
    # identity fallback of == and !=.
    def outcome(x):
        try:
            return CLASSIFYING[expression](f32([1.0, 2.0]), x)
        except TypeError:
            return TypeError

    assert outcome(converts_by_raising("__float__", exc_type())) is outcome(object())


NOT_EQUAL_OF_TENSORS = {
    "t != 1.0": (lambda t, u, m: t != 1.0, [False, True]),
    "1.0 != t": (lambda t, u, m: 1.0 != t, [False, True]),
    "t != 5": (lambda t, u, m: t != 5, [True, True]),
    "t != t": (lambda t, u, m: t != t, [False, True]),  # NaN is unequal to itself
    "t != u": (lambda t, u, m: t != u, [True, True]),
    "u != t": (lambda t, u, m: u != t, [True, True]),
    "m != m": (lambda t, u, m: m != m, [False, False]),
    "t != np.float32": (lambda t, u, m: t != np.float32(1.0), [False, True]),
    "np.int64 != t": (lambda t, u, m: np.int64(7) != t, [True, True]),
}


@pytest.mark.parametrize("expression", list(NOT_EQUAL_OF_TENSORS))
def test_not_equal_is_element_wise_and_mirrors_equal(expression):
    if expression.startswith("np.") and NUMPY_1:
        pytest.skip("this NumPy answers comparisons with its scalars on the left itself")
    t = f32([1.0, np.nan])
    u = f32([3.0, 4.0])
    m = Tensor([False, False], dtype="bool")
    build, expected = NOT_EQUAL_OF_TENSORS[expression]
    result = build(t, u, m)
    assert isinstance(result, Tensor) and result.dtype == "bool" and not result.requires_grad
    np.testing.assert_array_equal(result.to_numpy(), expected)


@pytest.mark.parametrize(
    "make_operands, message",
    [
        (lambda: (f32([1.0, 2.0]), Tensor([1.0, 2.0], dtype="float16")),
         "Tensor device or dtype mismatch for element-wise == operation."),
        (lambda: (f32([1.0, 2.0]), Tensor([True, False], dtype="bool")),
         "Tensor device or dtype mismatch for element-wise == operation."),
        (lambda: (f32([1.0, 2.0]), f32([1.0, 2.0, 3.0])), "Shape mismatch: cannot broadcast [2] and [3]"),
        (lambda: (Tensor([True], dtype="bool"), 1.0), "Tensor device or dtype mismatch for scalar == operation."),
    ],
    ids=["f16", "bool", "shape", "bool with number"],
)
def test_not_equal_raises_what_equal_raises(make_operands, message):
    t, other = make_operands()
    with pytest.raises(RuntimeError) as info:
        t != other
    assert str(info.value) == message
    with pytest.raises(RuntimeError) as info:
        t == other
    assert str(info.value) == message


class OwnInequality:
    """An operand that a tensor does not accept; its own != then answers."""

    def __ne__(self, other):
        return "asked"

    __hash__ = None


def test_not_equal_with_an_operand_equal_does_not_accept_follows_python():
    assert (f32([1.0]) != OwnInequality()) == "asked"
    assert (f32([1.0]) != object()) is True


# --- the spelled-out reflected comparisons ---------------------------------------


@pytest.mark.parametrize("method", ["__req__", "__rlt__", "__rgt__"])
@pytest.mark.parametrize(
    "other, exc, text",
    [
        (Tensor([1.0]), TypeError, "quarn.Tensor"),
        ("2.0", TypeError, "str"),
        (None, TypeError, "NoneType"),
        (10**400, OverflowError, "too large"),
        (Refuses(), ValueError, "no number here"),
        (NotAFloat(), TypeError, "returned non-float"),
    ],
    ids=["tensor", "str", "None", "huge int", "raises ValueError", "non-float"],
)
def test_reflected_methods_refuse_non_numbers_with_a_note(method, other, exc, text):
    t = f32([1.0, 2.0])
    with pytest.raises(exc) as info:
        getattr(t, method)(other)
    assert text in str(info.value)
    assert info.value.__notes__ == ["while processing 'other'"]


@pytest.mark.parametrize(
    "method, operator_text",
    [("__req__", "=="), ("__rlt__", ">"), ("__rgt__", "<")],
)
def test_reflected_methods_are_the_swapped_scalar_comparisons(method, operator_text):
    # The Bool refusal names the comparison that actually runs.
    with pytest.raises(RuntimeError) as info:
        getattr(Tensor([True], dtype="bool"), method)(1.0)
    assert str(info.value) == f"Tensor device or dtype mismatch for scalar {operator_text} operation."
    t = Tensor([1.0, 2.0, 3.0], requires_grad=True)
    got = getattr(t, method)(other=2)
    assert got.dtype == "bool" and got.requires_grad is False


# --- slots the class does not fill ---------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: Tensor([False, False], dtype="bool"),
        lambda: Tensor(False, dtype="bool"),
        lambda: Tensor([]),
        lambda: Tensor(np.zeros((2, 0), np.float32)),
        lambda: Tensor(0.0),
        lambda: Tensor([0.0, -0.0], dtype="float16"),
        lambda: Tensor(float("nan"), dtype="bfloat16"),
        lambda: f32([1.0, 2.0]) == 5.0,
    ],
    ids=["all false", "0-d false", "empty", "2x0", "0-d zero", "f16 zeros", "bf16 nan", "comparison"],
)
def test_every_tensor_is_true(make):
    t = make()
    assert bool(t) is True
    assert not (not t)
    assert (t or "unreached") is t


def test_tensors_are_unhashable():
    t = f32([1.0])
    with pytest.raises(TypeError):
        hash(t)
    with pytest.raises(TypeError):
        {t}
    with pytest.raises(TypeError):
        {t: 1}


def test_repr_and_str_are_the_interpreters_default():
    t = f32([1.0])
    assert re.fullmatch(r"<quarn\.Tensor object at 0x[0-9a-fA-F]+>", repr(t))
    assert str(t) == repr(t)


@pytest.mark.parametrize(
    "use",
    [len, iter, list, int, float, complex, operator.index, round, lambda t: t[0], lambda t: 1.0 in t],
    ids=["len", "iter", "list", "int", "float", "complex", "index", "round", "subscript", "in"],
)
def test_no_sequence_or_number_conversion(use):
    with pytest.raises(TypeError):
        use(f32([1.0]))


# --- ~ --------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_invert_refuses_half_precision_without_recording(dtype, graph_len):
    t = Tensor([1.0, 0.0], dtype=dtype, requires_grad=True)
    with pytest.raises(RuntimeError) as info:
        ~t
    assert str(info.value) == "Logical NOT is only supported for Bool data type."
    assert graph_len() == 1


def test_invert_of_a_bool_tensor_that_requires_grad(graph_len):
    flags = Tensor([[True, False, True]], dtype="bool", requires_grad=True)
    got = ~flags
    assert got.to_numpy().tolist() == [[False, True, False]]
    assert got.requires_grad is False
    assert graph_len() == 1
    assert (~got).to_numpy().tolist() == [[True, False, True]]


# --- relu ----------------------------------------------------------------------


class Foreign:
    pass


@pytest.mark.parametrize(
    "argument, type_name",
    [([1.0], "list"), (3, "int"), (None, "NoneType"), (Foreign(), "Foreign"), ("t", "str"),
     (np.array([1.0, -1.0], dtype=np.float32), "numpy.ndarray")],
    ids=["list", "int", "None", "class", "str", "ndarray"],
)
def test_relu_refuses_non_tensors_with_a_note(argument, type_name, graph_len):
    with pytest.raises(TypeError) as info:
        relu(argument)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'Tensor'"
    assert info.value.__notes__ == ["while processing 'py_tensor'"]
    with pytest.raises(TypeError) as info:
        relu(py_tensor=argument)
    assert info.value.__notes__ == ["while processing 'py_tensor'"]
    assert graph_len() == 0


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None, None), {}), ((), {"x": None}), ((None,), {"py_tensor": None}), ((), {"input": None})],
    ids=["none", "two", "wrong keyword", "twice", "other keyword"],
)
def test_relu_argument_binding(args, kwargs):
    t = f32([1.0])
    args = tuple(t if a is None else a for a in args)
    kwargs = {k: t for k in kwargs}
    with pytest.raises(TypeError) as info:
        relu(*args, **kwargs)
    assert "relu()" in str(info.value)
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("requires_grad", [False, True])
def test_relu_result_follows_its_argument(dtype, requires_grad, graph_len):
    t = Tensor([-1.0, 0.0, 2.5], dtype=dtype, requires_grad=requires_grad)
    by_position, by_keyword = relu(t), relu(py_tensor=t)
    assert bits(by_position) == bits(by_keyword)
    assert bits(by_position) == bits(np.array([0.0, 0.0, 2.5], dtype=NP_TYPES[dtype]))
    assert by_position.requires_grad is by_keyword.requires_grad is requires_grad
    assert graph_len() == (3 if requires_grad else 0)


@pytest.mark.parametrize("op", [relu, lambda y: 2.0 / y], ids=["relu", "number over tensor"])
def test_operation_on_an_intermediate_takes_the_next_id(op, node_id_of):
    x = Tensor([-1.0, 4.0], requires_grad=True)
    assert node_id_of(op(x * 3.0)) == 2


@pytest.mark.parametrize("requires_grad", [False, True])
def test_relu_on_bool_records_before_it_fails(requires_grad, graph_len, node_id_of):
    flags = Tensor([True, False], dtype="bool", requires_grad=requires_grad)
    with pytest.raises(TypeError) as info:
        relu(flags)
    assert str(info.value) == "Tensor Dtype not supported for this operation: relu"
    assert not getattr(info.value, "__notes__", None)
    assert graph_len() == (2 if requires_grad else 0)
    if requires_grad:
        # The failed relu holds id 1, so the next recorded operation gets 2.
        assert node_id_of(flags.reshape([2, 1])) == 2
