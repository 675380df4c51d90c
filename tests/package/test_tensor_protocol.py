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
