"""quarn.Tensor: the compiled tensor with the everyday Python protocol, while
quarn_core.Tensor keeps exactly its own behaviour."""

import copy
import operator
import pickle

import ml_dtypes
import numpy as np
import pytest

import quarn
import quarn.nn.functional as F
import quarn_core

Core = quarn_core.Tensor
User = quarn.Tensor


def test_user_tensor_is_a_core_tensor_and_the_core_type_stays_closed():
    t = User([1.0, 2.0])
    assert type(t) is User and isinstance(t, Core)
    with pytest.raises(TypeError):
        type("Sub", (Core,), {})


OPERATIONS = [
    ("add", lambda a, b: a + b),
    ("scalar", lambda a, b: a * 2.0),
    ("reflected", lambda a, b: 2.0 * a),
    ("matmul", lambda a, b: a @ b.transpose(0, 1)),
    ("compare", lambda a, b: a != b),
    ("map", lambda a, b: quarn.exp(a)),
    ("method", lambda a, b: a.sigmoid()),
    ("reduce", lambda a, b: a.sum(axis=0)),
    ("relu", lambda a, b: F.relu(a)),
    ("loss", lambda a, b: F.mse_loss(a, b)),
    ("reshape", lambda a, b: a.reshape([4])),
    ("fill", lambda a, b: a.zeros_like()),
]


@pytest.mark.parametrize("kinds", [(Core, Core), (User, Core), (Core, User), (User, User)], ids=str)
@pytest.mark.parametrize("name, op", OPERATIONS, ids=[n for n, _ in OPERATIONS])
def test_any_user_operand_makes_a_user_result(name, op, kinds):
    a = kinds[0](np.arange(4.0).reshape(2, 2), requires_grad=True)
    b = kinds[1](np.ones((2, 2)))
    uses_b = name in ("add", "matmul", "compare", "loss")
    expected = User if kinds[0] is User or (uses_b and kinds[1] is User) else Core
    out = op(a, b)
    assert type(out) is expected
    plain = op(Core(a.to_numpy()), Core(b.to_numpy()))
    assert np.array_equal(out.to_numpy(), plain.to_numpy())


@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_one_element_gives_numbers(shape, dtype):
    t = User(np.full(shape, 2.75), dtype=dtype)
    assert t.item() == 2.75 and isinstance(t.item(), float)
    assert float(t) == 2.75 and int(t) == 2
    assert f"{t:.1f}" == "2.8" and round(float(t), 1) == 2.8
    assert bool(t) is True and bool(User(np.zeros(shape), dtype=dtype)) is False
    assert User(np.full(shape, True), dtype="bool").item() is True


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda t: t.item(), ValueError, "only a tensor with one element can be converted to a Python number"),
        (lambda t: float(t), ValueError, "only a tensor with one element"),
        (lambda t: bool(t), ValueError, "the truth value of a tensor with more than one element is ambiguous"),
        (lambda t: bool(t.reshape([3, 0]) if False else User(np.zeros(0))), ValueError, "no elements"),
        (lambda t: len(User(1.0)), TypeError, "len() of a 0-d tensor"),
    ],
)
def test_ambiguous_numbers_are_refused(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(User([1.0, 2.0]))


def test_the_core_type_keeps_its_own_protocol():
    t = Core([1.0, 2.0])
    assert bool(t) is True  # its truth value is the object's
    for call in (operator.neg, abs, lambda x: 1.0 - x, float):
        with pytest.raises(TypeError):
            call(t)


@pytest.mark.parametrize(
    "t, text",
    [
        (lambda: User([[1.0, 2.5]]), "quarn.Tensor([[1. , 2.5]])"),
        (lambda: User(3.0, dtype="float16", requires_grad=True), "quarn.Tensor(3., dtype=float16, requires_grad=True)"),
        (lambda: User([True, False], dtype="bool"), "quarn.Tensor([ True, False], dtype=bool)"),
    ],
)
def test_repr_prints_the_values_as_numpy_does(t, text):
    assert repr(t()) == text == str(t())


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize(
    "op, value, slope",
    [
        (operator.neg, lambda x: -x, lambda x: -np.ones_like(x)),
        (operator.pos, lambda x: x, lambda x: np.ones_like(x)),
        (abs, np.abs, np.sign),
        (lambda t: 1.5 - t, lambda x: 1.5 - x, lambda x: -np.ones_like(x)),
    ],
)
def test_unary_arithmetic_with_gradients(op, value, slope, dtype):
    x = np.array([-2.0, -0.5, 0.75, 3.0]).astype(ml_dtypes.bfloat16 if dtype == "bfloat16" else dtype)
    t = User(x, dtype=dtype, requires_grad=True)
    y = op(t)
    assert type(y) is User
    assert np.array_equal(y.to_numpy(), value(x.astype(np.float64)).astype(x.dtype))
    quarn.sum(y * 1.0).backward()
    assert np.array_equal(np.asarray(t.grad(), np.float64), slope(x.astype(np.float64)))


def test_numpy_reads_a_copy():
    t = User([[1.0, 2.0]], dtype="float16")
    a = np.asarray(t)
    assert a.dtype == np.float16 and a.tolist() == [[1.0, 2.0]] == t.tolist()
    assert np.asarray(t, dtype=np.float64).dtype == np.float64
    with pytest.raises(ValueError, match="immutable"):
        t.__array__(copy=False)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16", "bool"])
@pytest.mark.parametrize("clone", [lambda t: pickle.loads(pickle.dumps(t)), copy.copy, copy.deepcopy],
                         ids=["pickle", "copy", "deepcopy"])
def test_copies_are_fresh_leaves_with_the_same_values(clone, dtype):
    t = User(np.array([[0.1, -2.0]]), dtype=dtype, requires_grad=dtype != "bool")
    c = clone(t)
    assert type(c) is User and c is not t
    assert (c.dtype, c.requires_grad, c.shape) == (t.dtype, t.requires_grad, t.shape)
    assert c.to_numpy().tobytes() == t.to_numpy().tobytes()
    if t.requires_grad:  # a leaf of this graph: its own gradient
        (c * 2.0).sum().backward()
        assert c.grad().tolist() == [[2.0, 2.0]] and t.grad() is None


SHAPES = [
    (lambda t: t.reshape(4, -1), lambda a: a.reshape(4, -1)),
    (lambda t: t.reshape((-1,)), lambda a: a.reshape(-1)),
    (lambda t: t.reshape([2, 3, 4]), lambda a: a.reshape(2, 3, 4)),
    (lambda t: t.T, lambda a: a.T),
    (lambda t: t.permute(1, 2, 0), lambda a: a.transpose(1, 2, 0)),
    (lambda t: t.permute([2, 0, 1]), lambda a: a.transpose(2, 0, 1)),
    (lambda t: t.transpose(-1, 0), lambda a: np.swapaxes(a, -1, 0)),
    (lambda t: t.unsqueeze(-1).unsqueeze(0), lambda a: a[None, ..., None]),
    (lambda t: t.reshape(2, 1, 12).squeeze(), lambda a: a.reshape(2, 12)),
    (lambda t: t.reshape(2, 1, 12).squeeze(-2), lambda a: a.reshape(2, 12)),
    (lambda t: t.flatten(), lambda a: a.ravel()),
]


@pytest.mark.parametrize("ours, numpy", SHAPES)
def test_shape_methods_match_numpy_and_carry_gradients(ours, numpy):
    x = np.arange(24.0).reshape(2, 3, 4)
    t = User(x, requires_grad=True)
    y = ours(t)
    assert type(y) is User and np.array_equal(y.to_numpy(), numpy(x))
    weights = np.arange(y.to_numpy().size, dtype=np.float64).reshape(y.shape)
    quarn.sum(y * User(weights)).backward()
    expected = np.zeros(24)
    expected[numpy(np.arange(24.0).reshape(2, 3, 4)).ravel().astype(int)] = weights.ravel()
    assert np.array_equal(np.asarray(t.grad(), np.float64).reshape(-1), expected)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda t: t.reshape(-1, -1), ValueError, "only specify one unknown dimension"),
        (lambda t: t.reshape(5, -1), ValueError, "cannot reshape tensor of size 24 into shape (5, -1)"),
        (lambda t: t.reshape(-2, 12), ValueError, "negative dimensions not allowed"),
        (lambda t: t.transpose(0, 3), IndexError, "axis 3 is out of bounds for tensor of dimension 3"),
        (lambda t: t.permute(0, 0, 1), ValueError, "not a permutation"),
        (lambda t: t.squeeze(0), ValueError, "size not equal to one"),
        (lambda t: t.unsqueeze(4), IndexError, "axis 4 is out of bounds for tensor of dimension 4"),
    ],
)
def test_shape_refusals(call, error, message):
    with pytest.raises(error) as info:
        call(User(np.zeros((2, 3, 4))))
    assert message in str(info.value)


def test_import_leaves_bfloat16_until_a_tensor_asks_for_it():
    import subprocess
    import sys

    script = ("import sys, quarn; assert 'ml_dtypes' not in sys.modules; "
              "t = quarn.Tensor([1.5], dtype='bfloat16'); assert str(t.to_numpy().dtype) == 'bfloat16'; print('ok')")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ok", out.stderr


# ---- Dtype conversion ---------------------------------------------------------------------

NUMPY_TYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16, "bool": np.bool_}
# NumPy asks for versioned (read-only capable) DLPack capsules from 2.1 on;
# before that it takes the legacy capsule, which is always a copy.
VERSIONED_NUMPY = np.lib.NumpyVersion(np.__version__) >= "2.1.0"
SHORT = {"float32": "f32", "float16": "f16", "bfloat16": "bf16", "bool": "bool"}
# Ties and near-ties of every narrowing, overflow to infinity, signed zeros,
# subnormals of each 16-bit format, NaN and infinities.
EDGES = np.array([0.0, -0.0, 1.0, -2.5, 1 + 2.0 ** -8, 1 + 2.0 ** -11, 1 + 3 * 2.0 ** -11, 65504.0, 65520.0,
                  3.0e38, 2.0 ** -24, 2.0 ** -25, 1e-40, np.inf, -np.inf, np.nan], dtype=np.float32)


def cast_input(dtype, rng):
    x = np.concatenate([EDGES, rng.standard_normal(32).astype(np.float32) * 100]).reshape(6, 8)
    if dtype == "bool":
        return x > 0
    with np.errstate(over="ignore"):
        return x.astype(NUMPY_TYPES[dtype])


@pytest.mark.parametrize("layout", ["row-major", "transposed"])
@pytest.mark.parametrize("to", list(NUMPY_TYPES))
@pytest.mark.parametrize("start", list(NUMPY_TYPES))
def test_cast_matches_numpy_bit_for_bit(start, to, layout, rng):
    x = cast_input(start, rng)
    t = User(x, dtype=start)
    if layout == "transposed":
        t, x = t.T, x.T
    y = t.astype(to)
    with np.errstate(over="ignore", invalid="ignore"):
        want = x.astype(NUMPY_TYPES[to])
    got = y.to_numpy()
    assert type(y) is User and y.dtype == SHORT[to] and got.dtype == want.dtype
    nan = np.isnan(want.astype(np.float32)) if to != "bool" else np.zeros(want.shape, bool)
    assert np.array_equal(np.isnan(got.astype(np.float32)) if to != "bool" else nan, nan)
    assert got[~nan].tobytes() == want[~nan].tobytes()
    # An element map keeps the operand's layout instead of gathering it.
    assert y.strides == t.strides


@pytest.mark.parametrize("spelling", ["float16", "f16", np.float16, np.dtype("float16")])
def test_astype_and_to_read_every_dtype_spelling(spelling):
    t = User([1.0, 2.0])
    assert t.astype(spelling).dtype == "f16" == t.to(spelling).dtype == t.to("cpu", spelling).dtype
    assert t.astype("float32") is t and t.to("cpu") is t and quarn.cast(t, np.float32) is t
    with pytest.raises(ValueError, match="invalid data type: 'float64'"):
        t.astype(np.float64)
    with pytest.raises(ValueError, match="device"):
        t.to(device="cuda")


@pytest.mark.parametrize("start, to", [("float32", "float16"), ("float32", "bfloat16"), ("float16", "float32"),
                                       ("bfloat16", "float16"), ("float16", "bfloat16")])
def test_cast_gradient_is_g_cast_back(start, to, rng):
    x = rng.standard_normal((3, 4)).astype(NUMPY_TYPES[start])
    t = User(x, dtype=start, requires_grad=True)
    y = t.astype(to)
    assert y.requires_grad
    w = (rng.standard_normal((3, 4)) * 3).astype(np.float32)
    quarn.sum(y * User(w, dtype=to)).backward()
    # The gradient reaching y is w in y's dtype; the rule casts it back once.
    want = w.astype(NUMPY_TYPES[to]).astype(NUMPY_TYPES[start])
    assert t.grad().dtype == want.dtype and t.grad().tobytes() == want.tobytes()


def test_a_bool_on_either_side_of_a_cast_takes_no_gradient(graph_len):
    t = User([0.0, 1.5, -2.0], requires_grad=True)
    mask = User([True, False, True], dtype="bool", requires_grad=True)
    before = graph_len()
    as_bool, as_float = t.astype("bool"), mask.astype("float16")
    assert graph_len() == before and not as_bool.requires_grad and not as_float.requires_grad
    assert as_bool.tolist() == [False, True, True] and as_float.tolist() == [1.0, 0.0, 1.0]
    quarn.sum(t * mask).backward()
    assert t.grad().tolist() == [1.0, 0.0, 1.0] and mask.grad() is None


# ---- Bool operands in quarn.Tensor's arithmetic ------------------------------------------------

PROMOTING = [
    ("t + m", lambda t, m: t + m, lambda x, b: x + b),
    ("m - t", lambda t, m: m - t, lambda x, b: b - x),
    ("t * m", lambda t, m: t * m, lambda x, b: x * b),
    ("m / t", lambda t, m: m / t, lambda x, b: b / x),
    ("t @ m", lambda t, m: t @ m.transpose(0, 1), lambda x, b: x @ b.T),
    ("m @ t", lambda t, m: m.transpose(0, 1) @ t, lambda x, b: b.T @ x),
]


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("name, op, model", PROMOTING, ids=[p[0] for p in PROMOTING])
def test_a_bool_operand_promotes_to_the_float_dtype(name, op, model, dtype):
    x = np.array([[1.0, -2.0, 0.5], [4.0, 0.25, -1.0]]).astype(NUMPY_TYPES[dtype])
    b = np.array([[True, False, True], [False, False, True]])
    t = User(x, dtype=dtype, requires_grad=True)
    y = op(t, User(b, dtype="bool"))
    assert type(y) is User and y.dtype == SHORT[dtype]
    want = model(x.astype(np.float64), b.astype(np.float64))
    np.testing.assert_allclose(y.to_numpy().astype(np.float64), want, rtol=1e-2)
    quarn.sum(y * 1.0).backward()  # the gradient reaches the float operand
    assert t.grad() is not None
    with pytest.raises(ValueError, match="DType mismatch"):  # quarn_core.Tensor keeps refusing the mix
        op(Core(x, dtype=dtype), Core(b, dtype="bool"))


# A number counts as float32, so a bool meets it as float32.
SCALAR_PROMOTING = [
    ("2 * m", lambda m: 2.0 * m, lambda b: 2.0 * b),
    ("m - 1", lambda m: m - 1.0, lambda b: b - 1.0),
    ("1 - m", lambda m: 1.0 - m, lambda b: 1.0 - b),
    ("m / 4", lambda m: m / 4.0, lambda b: b / 4.0),
    ("3 / m", lambda m: 3.0 / m, lambda b: 3.0 / b),
    ("m + 0.5", lambda m: m + 0.5, lambda b: b + 0.5),
]


@pytest.mark.parametrize("name, op, model", SCALAR_PROMOTING, ids=[p[0] for p in SCALAR_PROMOTING])
def test_a_bool_tensor_and_a_number_compute_in_float32(name, op, model):
    b = np.array([True, False, True])
    y = op(User(b, dtype="bool"))
    assert type(y) is User and y.dtype == "f32" and not y.requires_grad
    with np.errstate(divide="ignore"):
        assert np.array_equal(y.to_numpy(), model(b.astype(np.float32)))
    with pytest.raises((TypeError, ValueError)):
        op(Core(b, dtype="bool"))


def test_masking_by_a_comparison_keeps_the_gradient_of_the_kept_elements():
    t = User([-1.0, 0.0, 2.0, 3.0], requires_grad=True)
    y = t * (t > 0)
    assert y.tolist() == [-0.0, 0.0, 2.0, 3.0]
    quarn.sum(y).backward()
    assert t.grad().tolist() == [0.0, 0.0, 1.0, 1.0]


@pytest.mark.parametrize("reduce, want", [(lambda m: m.sum(), 4.0), (lambda m: quarn.sum(m, axis=0), [2.0, 1.0, 1.0]),
                                          (lambda m: m.mean(), 4.0 / 6), (lambda m: quarn.mean(m, axis=1), [2 / 3, 2 / 3])])
def test_sum_and_mean_of_bools_count_in_float32(reduce, want):
    b = np.array([[True, False, True], [True, True, False]])
    got = reduce(User(b, dtype="bool"))
    assert got.dtype == "f32" and np.allclose(got.to_numpy(), want)
    with pytest.raises(TypeError, match="not supported"):
        reduce(Core(b, dtype="bool"))


# ---- Layout: reshape that copies, broadcasting, iteration ------------------------------------

COPYING = [
    (lambda t: t.T.reshape(-1), lambda a: a.T.reshape(-1)),
    (lambda t: t.T.flatten(), lambda a: a.T.ravel()),
    (lambda t: t.permute(2, 0, 1).reshape(4, 6), lambda a: a.transpose(2, 0, 1).reshape(4, 6)),
    (lambda t: t.transpose(0, 1).unsqueeze(0), lambda a: a.transpose(1, 0, 2)[None]),
    (lambda t: t.T.contiguous(), lambda a: a.T),
    (lambda t: t.reshape(6, 4).unsqueeze(0).broadcast_to((3, 6, 4)), lambda a: np.broadcast_to(a.reshape(6, 4), (3, 6, 4))),
    (lambda t: t.reshape(2, 1, 12).expand(2, 5, -1), lambda a: np.broadcast_to(a.reshape(2, 1, 12), (2, 5, 12))),
    (lambda t: t.T.expand(2, 4, 3, 2), lambda a: np.broadcast_to(a.T, (2, 4, 3, 2))),
]


@pytest.mark.parametrize("ours, numpy", COPYING)
def test_layout_copies_match_numpy_and_carry_gradients(ours, numpy, rng):
    x = np.arange(24.0).reshape(2, 3, 4)
    t = User(x, requires_grad=True)
    y = ours(t)
    want = numpy(x)
    assert type(y) is User and np.array_equal(y.to_numpy(), want)
    w = rng.standard_normal(want.shape)
    quarn.sum(y * User(w)).backward()
    # The model's gradient: each input element collects the weights of
    # every place it was copied to.
    expected = np.zeros(24)
    np.add.at(expected, numpy(np.arange(24).reshape(2, 3, 4)).ravel(), w.ravel())
    got = np.asarray(t.grad(), np.float64)
    got = got.reshape(-1, 24).sum(axis=0) if got.size > 24 else got.reshape(-1)
    np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5)


def test_only_a_layout_that_cannot_be_relabelled_is_copied():
    t = User(np.arange(6.0).reshape(2, 3))
    assert t.contiguous() is t and t.broadcast_to([2, 3]) is t
    assert t.reshape(3, 2).strides == [2, 1]
    with pytest.raises(ValueError, match="incompatible memory layout"):  # the core type keeps refusing
        Core(np.arange(6.0).reshape(2, 3)).transpose(0, 1).reshape([6])


@pytest.mark.parametrize("call, message", [
    (lambda t: t.broadcast_to((3, 3)), "cannot broadcast a tensor of shape [2, 3] to shape [3, 3]"),
    (lambda t: t.broadcast_to((3,)), "cannot broadcast a tensor of shape [2, 3] to shape [3]"),
    (lambda t: t.broadcast_to((2 ** 40, 2 ** 40, 2, 3)), "cannot broadcast"),
    (lambda t: t.expand(-1, 3, 3), "-1 is not allowed"),
    (lambda t: t.expand(3), "must be at least the number of axes"),
])
def test_broadcast_refusals(call, message, graph_len):
    t = User(np.zeros((2, 3)), requires_grad=True)
    before = graph_len()
    with pytest.raises(ValueError) as info:
        call(t)
    assert message in str(info.value) and graph_len() == before


@pytest.mark.skipif(not hasattr(User, "__getitem__"), reason="needs single-index selection, t[i]")
def test_iteration_yields_the_sub_tensors_of_the_first_axis():
    x = np.arange(6.0).reshape(3, 2)
    rows = list(User(x))
    assert len(rows) == 3 and all(type(r) is User for r in rows)
    assert [r.tolist() for r in rows] == x.tolist()


# ---- NumPy and DLPack ------------------------------------------------------------------------

ARRAY_OPERATORS = [
    ("a + t", lambda a, t: a + t), ("t + a", lambda a, t: t + a), ("a - t", lambda a, t: a - t),
    ("t - a", lambda a, t: t - a), ("a * t", lambda a, t: a * t), ("a / t", lambda a, t: a / t),
    ("t / a", lambda a, t: t / a), ("a @ t", lambda a, t: a @ t.T), ("t @ a", lambda a, t: t.T @ a),
    ("a < t", lambda a, t: a < t), ("t >= a", lambda a, t: t >= a), ("a == t", lambda a, t: a == t),
]


@pytest.mark.parametrize("kind", ["ndarray", "float64 ndarray", "list"])
@pytest.mark.parametrize("name, op", ARRAY_OPERATORS, ids=[n for n, _ in ARRAY_OPERATORS])
def test_an_array_operand_is_a_constant_of_the_tensors_dtype(name, op, kind):
    x = np.array([[1.0, -2.0, 0.5], [4.0, 0.25, -1.0]], np.float16)
    a = np.array([[0.5, -2.0, 3.0], [4.0, 1.0, 0.1]])
    if kind == "ndarray":
        a = a.astype(np.float16)
    operand = a.tolist() if kind == "list" else a
    t = User(x, dtype="float16", requires_grad=True)
    y = op(operand, t)
    assert type(y) is User
    want = op(a.astype(np.float16), x)  # NumPy's own result on the same float16 values
    assert y.to_numpy().dtype == want.dtype
    np.testing.assert_allclose(y.to_numpy().astype(np.float64), want.astype(np.float64), rtol=2e-3)


def test_the_core_type_takes_no_array_operand():
    with pytest.raises(TypeError):
        Core([1.0, 2.0]) + [1.0, 2.0]
    with pytest.raises((TypeError, ValueError)):
        Core([[1.0, 2.0]]) @ np.ones((2, 2), np.float32)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bool"])  # NumPy takes no bfloat16 through DLPack
def test_numpy_shares_the_elements_read_only(dtype):
    x = np.array([[1.0, 0.0, -2.5], [3.0, 4.0, 0.5]]).astype(NUMPY_TYPES[dtype])
    t = User(x, dtype=dtype).T
    a = np.from_dlpack(t)
    assert a.dtype == x.dtype and a.tobytes() == x.T.tobytes()
    if not VERSIONED_NUMPY:
        return  # a copy of its own
    assert not a.flags.writeable
    assert a.strides == tuple(s * x.itemsize for s in t.strides)
    with pytest.raises(ValueError, match="read-only"):
        a[0, 0] = 7
    assert np.from_dlpack(t, copy=True).flags.writeable
    quarn.clear_graph()
    del t  # the capsule's reference keeps the elements alive after the tensor goes
    assert a.tobytes() == x.T.tobytes()


try:
    import torch
except ImportError:
    torch = None


@pytest.mark.skipif(torch is None, reason="exchanges with PyTorch")
@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16", "bool"])
def test_pytorch_gets_a_copy_and_gives_one(dtype):
    x = np.array([[1.0, 0.0], [-2.5, 3.0]]).astype(NUMPY_TYPES[dtype])
    t = User(x, dtype=dtype)
    p = torch.from_dlpack(t)
    p.zero_()  # PyTorch ignores the read-only flag: it must hold a copy
    assert t.to_numpy().tobytes() == x.tobytes()
    source = torch.from_dlpack(np.ascontiguousarray(x.T)) if dtype != "bfloat16" else torch.tensor(
        x.T.astype(np.float32)).to(torch.bfloat16)
    back = quarn.from_dlpack(source.T)  # strided, not row-major
    assert type(back) is User and not back.requires_grad and back.dtype == SHORT[dtype]
    assert back.to_numpy().tobytes() == x.tobytes()
    source.zero_()
    assert back.to_numpy().tobytes() == x.tobytes()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"copy": False}, BufferError, "shared only read-only"),
    ({"max_version": (1, 0), "copy": False}, BufferError, "shared only read-only"),
    ({"max_version": (1, 0), "dl_device": (2, 0), "copy": None}, BufferError, "device (2, 0)"),
    ({"stream": 1}, ValueError, "stream must be None"),
])
def test_dlpack_export_refusals(kwargs, error, message):
    with pytest.raises(error) as info:
        User([1.0]).__dlpack__(**kwargs)
    assert message in str(info.value)


@pytest.mark.parametrize("make, message", [
    (lambda: np.zeros(3), "float64"),
    (lambda: np.zeros(3, np.int32), "int32"),
    (lambda: np.zeros(3, np.uint8), "uint8"),
    (lambda: np.zeros(2, np.complex64), "complex64"),
])
def test_dlpack_import_refuses_other_element_types(make, message):
    with pytest.raises(TypeError, match=message):
        quarn.from_dlpack(make())


class _Impostor:
    def __dlpack__(self, **kwargs):
        return "dltensor"


@pytest.mark.parametrize("x", [42, "dltensor", _Impostor()], ids=["int", "str", "impostor"])
def test_dlpack_import_refuses_what_is_no_capsule(x):
    with pytest.raises(TypeError, match="expected an unused DLPack capsule"):
        quarn.from_dlpack(x)


def test_a_capsule_is_consumed_once_and_released():
    import sys

    a = np.arange(4, dtype=np.float32)
    before = sys.getrefcount(a)
    capsule = a.__dlpack__(max_version=(1, 0)) if VERSIONED_NUMPY else a.__dlpack__()
    assert sys.getrefcount(a) > before  # the capsule holds the array
    t = quarn.from_dlpack(capsule)
    assert sys.getrefcount(a) == before and t.tolist() == [0.0, 1.0, 2.0, 3.0]
    with pytest.raises(TypeError, match="unused DLPack capsule"):
        quarn.from_dlpack(capsule)
    legacy = User([1.0, 2.0]).__dlpack__()  # the legacy capsule round-trips too
    assert quarn.from_dlpack(legacy).tolist() == [1.0, 2.0]


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16", "bool"])
def test_from_numpy_copies_in_the_arrays_dtype(dtype):
    a = np.array([[1.0, 0.0], [2.5, -1.0]]).astype(NUMPY_TYPES[dtype])[:, ::-1]
    t = quarn.from_numpy(a)
    assert type(t) is User and t.dtype == SHORT[dtype] and t.to_numpy().tobytes() == a.tobytes()
    a[...] = a[0, 0]
    assert t.to_numpy().tobytes() != a.tobytes()
    with pytest.raises(TypeError, match="float64"):
        quarn.from_numpy(np.zeros(2))
    with pytest.raises(TypeError, match="numpy.ndarray"):
        quarn.from_numpy([1.0])


@pytest.mark.parametrize("targets, named", [([0, 2 ** 64 - 1, 1], 2 ** 64 - 1), ([2 ** 63, 0, 9], 2 ** 63),
                                            ([0, 7, 2 ** 63], 7)])
def test_unsigned_targets_beyond_int64_are_named_as_given(targets, named):
    logits = User(np.zeros((3, 5)), requires_grad=True)
    with pytest.raises(IndexError, match=f"Target {named} is out of bounds for 5 classes"):
        F.cross_entropy(logits, np.array(targets, dtype=np.uint64))


def test_bfloat16_made_by_a_cast_or_an_import_can_be_read_back_in_a_fresh_interpreter():
    import subprocess
    import sys

    script = ("import sys, numpy as np, quarn_core as q; assert 'ml_dtypes' not in sys.modules; "
              "t = q._functions.cast(q.Tensor([1.5]), 'bfloat16'); assert 'ml_dtypes' in sys.modules; "
              "assert t.to_numpy().tolist() == [1.5]; print('ok')")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ok", out.stderr
