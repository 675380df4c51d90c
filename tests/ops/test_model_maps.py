"""The activations, clip, pow, maximum, minimum and where beyond the one
model each has in test_operation_table.py: their other arguments and
defaults, ties and special values, numbers and arrays where tensors may
stand, and the arguments they refuse."""

import numpy as np
import pytest

import quarn
import quarn.nn.functional as F
import quarn_core
from quarn import Tensor

torch = pytest.importorskip("torch")
tf = torch.nn.functional


def both_ways(ours, theirs, x, rtol=2e-6):
    """Values and gradients (for weights w) of our function and PyTorch's at x."""
    w = np.random.default_rng(5).standard_normal(x.shape).astype(np.float32)
    t = Tensor(x, requires_grad=True)
    y = ours(t)
    quarn.sum(y * Tensor(w)).backward()
    tt = torch.tensor(x, requires_grad=True)
    ty = theirs(tt)
    (ty * torch.tensor(w)).sum().backward()
    np.testing.assert_allclose(y.to_numpy(), ty.detach().numpy(), rtol=rtol, atol=1e-6)
    np.testing.assert_allclose(np.asarray(t.grad()), tt.grad.numpy(), rtol=4 * rtol, atol=1e-5)


# Values on both sides of every kink, the kinks themselves, and far out.
POINTS = np.array([-30, -8, -2.5, -1, -0.5, -1e-3, 0, 1e-3, 0.5, 1, 2, 5.5, 6, 6.5, 19.9, 25], np.float32)


@pytest.mark.parametrize(
    "ours, theirs",
    [
        (F.gelu, tf.gelu),
        (lambda t: F.gelu(t, approximate="tanh"), lambda t: tf.gelu(t, approximate="tanh")),
        (F.relu6, tf.relu6),
        (F.leaky_relu, tf.leaky_relu),
        (lambda t: F.leaky_relu(t, negative_slope=-0.3), lambda t: tf.leaky_relu(t, -0.3)),
        (F.elu, tf.elu),
        (F.softplus, tf.softplus),
        (lambda t: F.softplus(t, beta=0.5, threshold=100.0), lambda t: tf.softplus(t, 0.5, 100.0)),
        (F.hardtanh, tf.hardtanh),
        (lambda t: F.hardtanh(t, min_val=-1.0, max_val=-1.0), lambda t: tf.hardtanh(t, -1.0, -1.0)),
        (lambda t: quarn.clip(t, min=-1.0), lambda t: torch.clamp(t, min=-1.0)),
        (lambda t: quarn.clip(t, max=2.0), lambda t: torch.clamp(t, max=2.0)),
        (lambda t: quarn.clip(t, 3.0, -3.0), lambda t: torch.clamp(t, 3.0, -3.0)),
        (lambda t: quarn.clip(t, -1.0, 1.0), lambda t: torch.clamp(t, -1.0, 1.0)),
        (F.silu, tf.silu),
    ],
    ids=["gelu", "gelu-tanh", "relu6", "leaky", "leaky-negative", "elu", "softplus", "softplus-wide",
         "hardtanh", "hardtanh-point", "clip-min", "clip-max", "clip-crossed", "clip-bounds", "silu"],
)
def test_activations_and_their_gradients_match_pytorch_at_the_kinks(ours, theirs):
    both_ways(ours, theirs, POINTS)


@pytest.mark.parametrize("exponent", [2.0, 0.5, -1.0, 3.0, -2.0, 1.5, 0.0, 1.0, 64.0, -0.5])
def test_tensor_to_a_number_matches_pytorch(exponent):
    x = np.array([0.25, 0.5, 1.0, 1.5, 2.0, 3.0, 7.5], np.float32)
    both_ways(lambda t: t ** exponent, lambda t: t ** exponent, x)
    # negative bases: integer exponents keep the sign, others give NaN
    neg = -x
    got = (Tensor(neg) ** exponent).to_numpy()
    want = (torch.tensor(neg) ** exponent).numpy()
    np.testing.assert_allclose(got, want, rtol=2e-6)


@pytest.mark.parametrize("base", [2.5, 0.5, 1.0, 0.0])
def test_a_number_to_a_tensor_matches_pytorch(base):
    x = np.array([-3.0, -0.5, 0.0, 0.5, 2.0, 7.0], np.float32)
    both_ways(lambda t: base ** t, lambda t: base ** t, x)


def test_pow_follows_c_at_every_special_pair():
    specials = np.array([0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, -2.0, 3.0, np.inf, -np.inf, np.nan, 1e-45, 1e38],
                        np.float32)
    a, b = np.meshgrid(specials, specials)
    with np.errstate(all="ignore"):  # binary64 rounded once: the correctly rounded value at these pairs
        want = np.power(a.astype(np.float64), b.astype(np.float64)).astype(np.float32)
    got = quarn.pow(Tensor(a), Tensor(b)).to_numpy()
    np.testing.assert_array_equal(got, want)  # NaN matches NaN; -0 and 0 compare equal
    numbers = ~np.isnan(want)
    np.testing.assert_array_equal(np.signbit(got[numbers]), np.signbit(want[numbers]))


@pytest.mark.parametrize("op", ["maximum", "minimum"])
def test_ties_split_the_gradient_and_nan_wins(op):
    a = np.array([1.0, 2.0, 3.0, np.nan, 5.0, -0.0], np.float32)
    b = np.array([1.0, 3.0, 2.0, 4.0, np.nan, 0.0], np.float32)
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    y = getattr(quarn, op)(ta, tb)
    quarn.sum(y).backward()
    pa, pb = torch.tensor(a, requires_grad=True), torch.tensor(b, requires_grad=True)
    py = getattr(torch, op)(pa, pb)
    py.sum().backward()
    np.testing.assert_array_equal(y.to_numpy(), py.detach().numpy())
    np.testing.assert_array_equal(np.asarray(ta.grad()), pa.grad.numpy())
    np.testing.assert_array_equal(np.asarray(tb.grad()), pb.grad.numpy())


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_numbers_take_the_tensor_operand_dtype(dtype):
    t = Tensor(np.array([[-1.0, 2.0], [3.0, -4.0]], np.float32), dtype=dtype)
    for result in (quarn.maximum(t, 0.0), quarn.minimum(1.5, t), quarn.where([True, False], t, 7.0),
                   quarn.where(np.array([[True], [False]]), -1.0, t), t ** 2.0, 2.0 ** t):
        assert result.dtype == t.dtype
        assert isinstance(result, Tensor)
    np.testing.assert_array_equal(quarn.maximum(t, 0.0).to_numpy().astype(np.float32), [[0, 2], [3, 0]])
    np.testing.assert_array_equal(quarn.where([True, False], t, 7.0).to_numpy().astype(np.float32), [[-1, 7], [3, 7]])


def test_where_sends_the_gradient_by_the_condition_and_broadcasts():
    cond = np.array([[True, False, True]])
    a = np.arange(6, dtype=np.float32).reshape(2, 3)
    b = np.array([10.0], np.float32)
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    y = quarn.where(Tensor(cond, dtype="bool"), ta, tb)
    np.testing.assert_array_equal(y.to_numpy(), np.where(cond, a, b))
    quarn.sum(y * Tensor(np.full((2, 3), 2.0, np.float32))).backward()
    np.testing.assert_array_equal(np.asarray(ta.grad()), np.where(cond, 2.0, 0.0) * np.ones((2, 3)))
    assert float(np.asarray(tb.grad()).sum()) == 4.0  # two rows, one place each that b fills


GRAD = dict(requires_grad=True)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda t: F.gelu(t, approximate="exact"), ValueError, "approximate"),
        (lambda t: F.gelu(t, approximate=1), TypeError, None),
        (lambda t: F.hardtanh(t, 1.0, -1.0), ValueError, "min_val"),
        (lambda t: quarn.clip(t), ValueError, "min"),
        (lambda t: quarn.clip(t, "a"), TypeError, None),
        (lambda t: F.leaky_relu(t, negative_slope=[1]), TypeError, None),
        (lambda t: quarn.pow(2.0, 3.0), TypeError, None),
        (lambda t: quarn.pow(t, "x"), TypeError, None),
        (lambda t: quarn.maximum(t, "x"), TypeError, None),
        (lambda t: quarn.maximum(t, Tensor(np.ones(3, np.float32), dtype="float16")), ValueError, "mismatch"),
        (lambda t: quarn.minimum(t, Tensor(np.ones(2, np.float32), **GRAD)), RuntimeError, "broadcast"),
        (lambda t: quarn.where(Tensor(np.ones(3, np.float32)), t, t), TypeError, "bool"),
        (lambda t: quarn.where([True, False], t, t), RuntimeError, "broadcast"),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_recorded(call, error, match, graph_len):
    t = Tensor(np.ones(3, np.float32), requires_grad=True)
    before = graph_len()
    with pytest.raises(error, match=match):
        call(t)
    assert graph_len() - before <= 1  # at most the leaf made inside the call


def test_the_compiled_type_has_no_power_operator():
    t = quarn_core.Tensor(np.ones(2, np.float32))
    with pytest.raises(TypeError):
        t ** 2.0  # noqa: B018
    with pytest.raises(TypeError):
        2.0 ** t  # noqa: B018
    assert isinstance(quarn.pow(t, 2.0), quarn_core.Tensor) and not isinstance(quarn.pow(t, 2.0), Tensor)
    with pytest.raises(TypeError):
        Tensor(np.ones(2, np.float32)) ** "2"  # noqa: B018
    assert pow(Tensor(np.ones(2, np.float32)), 2.0, None).tolist() == [1.0, 1.0]
