"""The arguments of the reductions, losses and layers beyond the table
test's one call each: every reduction of every loss, weights, ignored
targets, label smoothing and probability targets, the refusals, and the
Python-level functions (linear, dropout)."""

import itertools

import numpy as np
import pytest

import quarn
import quarn.nn.functional as F
from quarn import Tensor

torch = pytest.importorskip("torch")
TF = torch.nn.functional


def both(*arrays, grad=True):
    ours = [Tensor(a, requires_grad=grad) for a in arrays]
    theirs = [torch.tensor(a, requires_grad=grad) for a in arrays]
    return ours, theirs


def backward_weighted(ours_out, theirs_out, rng):
    w = rng.standard_normal(ours_out.shape).astype(np.float32)
    quarn.sum(ours_out * Tensor(w)).backward()
    (theirs_out * torch.tensor(w)).sum().backward()


def true_grad(t, shape):
    """A leaf's stored gradient keeps the broadcast shape it was computed at
    (a bias added to rows: one row per row); summed back it is the leaf's."""
    g = np.asarray(t.grad(), np.float64)
    g = g.sum(axis=tuple(range(g.ndim - len(shape))))
    return g.sum(axis=tuple(i for i, e in enumerate(shape) if e == 1 and g.shape[i] != 1), keepdims=True)


def assert_grads(ours, theirs, rtol=2e-5, atol=1e-5):
    for o, t in zip(ours, theirs):
        if t.grad is not None:
            np.testing.assert_allclose(true_grad(o, tuple(t.shape)), t.grad.numpy(), rtol=rtol, atol=atol)


# ---- Element-wise losses ---------------------------------------------------------------

W = np.array([0.5, 2.0, 1.0, 0.0, 1.5], np.float32)
POINT_LOSSES = {
    "mse_loss": ({}, "real"),
    "l1_loss": ({}, "real"),
    "smooth_l1_loss": ({"beta": 0.3}, "real"),
    "huber_loss": ({"delta": 2.0}, "real"),
    "binary_cross_entropy": ({"weight": W}, "unit"),
    "binary_cross_entropy_with_logits": ({"weight": W, "pos_weight": W[::-1].copy()}, "real"),
}


@pytest.mark.parametrize("reduction", ["mean", "sum", "none"])
@pytest.mark.parametrize("name", POINT_LOSSES)
def test_element_losses_match_pytorch_in_every_reduction(name, reduction, rng):
    kwargs, domain = POINT_LOSSES[name]
    a, b = (3 * rng.standard_normal((4, 5))).astype(np.float32), rng.random((4, 5)).astype(np.float32)
    if domain == "unit":
        a = (1 / (1 + np.exp(-a))).astype(np.float32)
    (qa, qb), (ta, tb) = both(a, b)
    ours = getattr(F, name)(qa, qb, reduction=reduction,
                            **{k: Tensor(v) if isinstance(v, np.ndarray) else v for k, v in kwargs.items()})
    theirs = getattr(TF, name)(ta, tb, reduction=reduction,
                               **{k: torch.tensor(v) if isinstance(v, np.ndarray) else v for k, v in kwargs.items()})
    np.testing.assert_allclose(ours.to_numpy(), theirs.detach().numpy(), rtol=2e-6, atol=1e-6)
    backward_weighted(ours, theirs, rng)
    assert_grads([qa, qb], [ta, tb])


@pytest.mark.parametrize("scale", [100.0, 1e4, 1e30])
def test_logits_far_out_give_finite_losses_and_gradients(scale, rng):
    x = np.array([-1.0, 1.0, -1.0, 1.0], np.float32) * np.float32(scale)
    y = np.array([1.0, 0.0, 0.0, 1.0], np.float32)
    (qx, qy), (tx, ty) = both(x, y)
    ours = F.binary_cross_entropy_with_logits(qx, qy, reduction="none")
    theirs = TF.binary_cross_entropy_with_logits(tx, ty, reduction="none")
    assert np.all(np.isfinite(ours.to_numpy()))
    np.testing.assert_allclose(ours.to_numpy(), theirs.detach().numpy(), rtol=1e-6, atol=1e-42)
    backward_weighted(ours, theirs, rng)
    assert np.all(np.isfinite(qx.grad())) and np.all(np.isfinite(qy.grad()))
    assert_grads([qx, qy], [tx, ty], rtol=1e-6, atol=0)


def test_probabilities_of_zero_and_one_are_clamped_as_pytorch_clamps_them():
    p = np.array([0.0, 1.0, 0.0, 1.0], np.float32)
    y = np.array([1.0, 0.0, 0.0, 1.0], np.float32)
    ours = F.binary_cross_entropy(Tensor(p, requires_grad=True), Tensor(y), reduction="none")
    np.testing.assert_array_equal(ours.to_numpy(), [100.0, 100.0, 0.0, 0.0])


# ---- Class losses -----------------------------------------------------------------------

CLASS_CASES = [dict(weight=w, ignore=i, smoothing=s, reduction=r)
               for w, i, s, r in itertools.product([False, True], [False, True], [0.0, 0.2], ["mean", "sum", "none"])]


@pytest.mark.parametrize("case", CLASS_CASES, ids=lambda c: "-".join(f"{k}={v}" for k, v in c.items()))
@pytest.mark.parametrize("name", ["cross_entropy", "nll_loss"])
def test_index_targets_match_pytorch(name, case, rng):
    if name == "nll_loss" and case["smoothing"]:
        pytest.skip("nll_loss has no label smoothing")
    x = rng.standard_normal((6, 5)).astype(np.float32)
    targets = [0, 3, 4, 3, 1, 2]
    kw, tkw = {"reduction": case["reduction"]}, {"reduction": case["reduction"]}
    if case["weight"]:
        kw["weight"], tkw["weight"] = Tensor(W + 0.25), torch.tensor(W + 0.25)
    if case["ignore"]:
        kw["ignore_index"] = tkw["ignore_index"] = 3
    if case["smoothing"]:
        kw["label_smoothing"] = tkw["label_smoothing"] = case["smoothing"]
    (qx,), (tx,) = both(x)
    ours = getattr(F, name)(qx, targets, **kw)
    theirs = getattr(TF, name)(tx, torch.tensor(targets), **tkw)
    np.testing.assert_allclose(ours.to_numpy(), theirs.detach().numpy(), rtol=2e-6, atol=1e-6)
    backward_weighted(ours, theirs, rng)
    assert_grads([qx], [tx])


@pytest.mark.parametrize("reduction", ["mean", "sum", "none"])
@pytest.mark.parametrize("smoothing, weighted", [(0.0, False), (0.3, False), (0.1, True)])
def test_probability_targets_match_pytorch_for_logits_and_targets(reduction, smoothing, weighted, rng):
    x = rng.standard_normal((4, 5)).astype(np.float32)
    p = rng.random((4, 5)).astype(np.float32)
    p /= p.sum(1, keepdims=True)
    (qx, qp), (tx, tp) = both(x, p)
    kw = {"reduction": reduction, "label_smoothing": smoothing}
    ours = F.cross_entropy(qx, qp, weight=Tensor(W) if weighted else None, **kw)
    theirs = TF.cross_entropy(tx, tp, weight=torch.tensor(W) if weighted else None, **kw)
    np.testing.assert_allclose(ours.to_numpy(), theirs.detach().numpy(), rtol=2e-6, atol=1e-6)
    backward_weighted(ours, theirs, rng)
    assert_grads([qx, qp], [tx, tp])


def test_the_plain_cross_entropy_keeps_its_values_when_any_argument_is_given(rng):
    """The plain call's own path and the general one agree: the same mean
    through a unit weight, an unused ignore_index and zero smoothing."""
    x = Tensor(rng.standard_normal((5, 4)).astype(np.float32))
    plain = F.cross_entropy(x, [0, 1, 2, 3, 0]).item()
    general = F.cross_entropy(x, [0, 1, 2, 3, 0], weight=Tensor(np.ones(4, np.float32))).item()
    assert general == pytest.approx(plain, rel=1e-6)


def test_every_row_ignored_gives_nan_as_pytorch_does():
    x = Tensor(np.zeros((2, 3), np.float32), requires_grad=True)
    assert np.isnan(F.nll_loss(x, [-100, -100]).item())
    assert F.nll_loss(x, [-100, -100], reduction="sum").item() == 0.0


# ---- Refusals ----------------------------------------------------------------------------

def t(*shape, grad=False, dtype="float32"):
    return Tensor(np.full(shape, 0.5, np.float32), dtype=dtype, requires_grad=grad)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: F.l1_loss(t(3), t(3), reduction="average"), ValueError, "average is not a valid value for reduction"),
        (lambda: F.huber_loss(t(3), t(3, 1)), ValueError, "same shape"),
        (lambda: F.huber_loss(t(3), t(3), delta=0.0), RuntimeError, "non-positive values for delta"),
        (lambda: F.smooth_l1_loss(t(3), t(3), beta=-1.0), RuntimeError, "negative values for beta"),
        (lambda: F.binary_cross_entropy(t(3) * 3.0, t(3)), RuntimeError, "between 0 and 1"),
        (lambda: F.binary_cross_entropy(t(3), t(3), weight=t(3, grad=True)), RuntimeError, "does not compute a gradient"),
        (lambda: F.binary_cross_entropy_with_logits(t(3), t(3), pos_weight=t(2)), RuntimeError, "Broadcast failed"),
        (lambda: F.nll_loss(t(2, 3), [0, 3]), IndexError, "Target 3 is out of bounds for 3 classes."),
        (lambda: F.nll_loss(t(2, 3, 1), [0, 1]), ValueError, "shape [N, C]"),
        (lambda: F.cross_entropy(t(2, 3), [0, 1], weight=t(2)), RuntimeError, "for all 3 classes"),
        (lambda: F.cross_entropy(t(2, 3), [0, 1], label_smoothing=1.5), RuntimeError, "between 0.0 and 1.0"),
        (lambda: F.cross_entropy(t(2, 3), t(3, 2)), ValueError, "class probabilities"),
        (lambda: F.cross_entropy(t(2, 3), t(2, 3, dtype="float16")), TypeError, "dtype"),
        (lambda: quarn.var(t(3), ddof=1, correction=1), ValueError, "can't be provided simultaneously"),
        (lambda: quarn.std(t(3), axis=1), IndexError, "out of bounds"),
        (lambda: F.layer_norm(t(3, 4), (3,)), RuntimeError, "expected input with shape [*, 3]"),
        (lambda: F.layer_norm(t(3, 4), 4, weight=t(3)), RuntimeError, "Expected weight to be of same shape"),
        (lambda: F.layer_norm(t(3, 4), 4, bias=t(4, dtype="float16")), TypeError, "dtype"),
        (lambda: F.pad(t(3, 4), (1,)), ValueError, "divisible by 2"),
        (lambda: F.pad(t(3, 4), (1, 1) * 3), ValueError, "two times the input dimension"),
        (lambda: F.pad(t(3, 4), (-1, 0)), ValueError, "negative"),
        (lambda: F.pad(t(3, 4), (4, 0), mode="reflect"), RuntimeError, "less than the corresponding input dimension"),
        (lambda: F.pad(t(3, 4), (1, 0), mode="circular"), ValueError, "pad mode"),
        (lambda: F.dropout(t(3), p=1.5), ValueError, "between 0 and 1"),
        (lambda: F.dropout(t(3), p=-0.1), ValueError, "between 0 and 1"),
    ],
)
def test_bad_arguments_are_refused_as_users_expect(call, error, message, graph_len):
    before = graph_len()
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)
    # Only the leaves made for the call; nothing recorded.
    assert graph_len() - before <= 1


# ---- Reductions --------------------------------------------------------------------------

@pytest.mark.parametrize("ddof", [0, 1, 2.5])
@pytest.mark.parametrize("axis, keepdims", [(None, False), (0, True), ((0, 2), False), (-1, False)])
def test_var_and_std_follow_numpy_with_either_keyword(ddof, axis, keepdims, rng):
    x = rng.standard_normal((3, 4, 5)).astype(np.float32) + 100
    for ours, model in ((quarn.var, np.var), (quarn.std, np.std)):
        want = model(x.astype(np.float64), axis=axis, keepdims=keepdims, ddof=ddof)
        for kw in ({"ddof": ddof}, {"correction": ddof}):
            got = ours(Tensor(x), axis=axis, keepdims=keepdims, **kw).to_numpy()
            np.testing.assert_allclose(got, want, rtol=1e-5)
    assert quarn.var(Tensor(x)).item() == pytest.approx(np.var(x.astype(np.float64)), rel=1e-5)  # ddof 0 by default


def test_std_of_a_constant_group_passes_no_gradient_as_pytorch_does(rng):
    x = np.array([[2.0, 2.0, 2.0], [1.0, 2.0, 4.0]], np.float32)
    (qx,), (tx,) = both(x)
    backward_weighted(quarn.std(qx, axis=1, ddof=1), torch.std(tx, 1, correction=1), rng)
    assert_grads([qx], [tx])
    assert np.all(qx.grad()[0] == 0)


@pytest.mark.parametrize("name", ["prod", "var", "std"])
def test_reductions_of_empty_groups_differentiate_to_empty_gradients(name):
    x = Tensor(np.zeros((3, 0), np.float32), requires_grad=True)
    y = getattr(quarn, name)(x, axis=1)
    np.testing.assert_array_equal(y.to_numpy(), np.ones(3) if name == "prod" else np.full(3, np.nan))
    quarn.sum(y).backward()
    assert x.grad().shape == (3, 0)


@pytest.mark.parametrize("row", [[2.0, 3.0, 4.0], [0.0, 3.0, 4.0], [0.0, 3.0, 0.0], [0.0, 0.0, 0.0]])
def test_prod_gradient_is_the_product_of_the_others_with_zeros_among_them(row):
    x = Tensor(np.array(row, np.float32), requires_grad=True)
    quarn.prod(x).backward()
    others = [np.prod([v for j, v in enumerate(row) if j != i]) for i in range(len(row))]
    np.testing.assert_array_equal(x.grad(), others)


@pytest.mark.parametrize("dtype", ["bool", "float32", "bfloat16"])
@pytest.mark.parametrize("axis, keepdims", [(None, False), (1, True), ((0, 2), False), ((), False)])
def test_any_and_all_follow_numpy_and_are_never_recorded(dtype, axis, keepdims, rng, graph_len):
    x = rng.integers(0, 2, (3, 4, 2)).astype(np.float32) * rng.standard_normal((3, 4, 2)).astype(np.float32)
    x[0, 0, 0] = np.nan  # counts as true, as in NumPy
    x[1] = 0.0
    arr = x.astype(bool) if dtype == "bool" else x
    tensor = Tensor(arr, dtype=dtype, requires_grad=True)
    before = graph_len()
    for ours, model in ((quarn.any, np.any), (quarn.all, np.all)):
        got = ours(tensor, axis=axis, keepdims=keepdims)
        assert got.dtype == "bool" and not got.requires_grad
        np.testing.assert_array_equal(got.to_numpy(), model(x, axis=axis, keepdims=keepdims))
    assert graph_len() == before
    empty = Tensor(np.zeros((0, 3), np.float32))
    np.testing.assert_array_equal(quarn.all(empty, axis=0).to_numpy(), [True] * 3)
    np.testing.assert_array_equal(quarn.any(empty, axis=0).to_numpy(), [False] * 3)


# ---- Layers ------------------------------------------------------------------------------

@pytest.mark.parametrize("shape, normalized", [((4, 7), (7,)), ((2, 3, 4), (3, 4)), ((5,), (5,)), ((3, 40), (40,))])
@pytest.mark.parametrize("weight, bias", [(True, True), (True, False), (False, True), (False, False)])
def test_layer_norm_matches_pytorch_with_and_without_parameters(shape, normalized, weight, bias, rng):
    arrays = [rng.standard_normal(shape).astype(np.float32) * 3 + 1]
    if weight:
        arrays.append(rng.standard_normal(normalized).astype(np.float32))
    if bias:
        arrays.append(rng.standard_normal(normalized).astype(np.float32))
    ours, theirs = both(*arrays)
    qw = ours[1] if weight else None
    qb = ours[-1] if bias else None
    tw = theirs[1] if weight else None
    tb = theirs[-1] if bias else None
    y = F.layer_norm(ours[0], list(normalized), qw, qb, eps=1e-3)
    ty = TF.layer_norm(theirs[0], normalized, tw, tb, eps=1e-3)
    np.testing.assert_allclose(y.to_numpy(), ty.detach().numpy(), rtol=1e-5, atol=1e-5)
    backward_weighted(y, ty, rng)
    assert_grads(ours, theirs, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("dtype, np_dtype", [("float16", np.float16), ("bfloat16", "bfloat16")])
def test_layer_norm_in_half_precision_is_the_binary32_result_rounded_once(dtype, np_dtype, rng):
    x = rng.standard_normal((6, 33)).astype(np_dtype)
    w = rng.standard_normal(33).astype(np_dtype)
    got = F.layer_norm(Tensor(x, dtype=dtype), 33, Tensor(w, dtype=dtype)).to_numpy().astype(np.float64)
    wide = F.layer_norm(Tensor(x.astype(np.float32)), 33, Tensor(w.astype(np.float32))).to_numpy()
    # Rounded once: within half a last place of the binary32 result, plus a
    # last place for binary32's own error near a rounding boundary.
    ulp = np.float64(2.0 ** (-10 if dtype == "float16" else -7)) * np.exp2(np.floor(np.log2(np.abs(wide) + 1e-30)))
    assert np.all(np.abs(got - wide) <= 0.5 * ulp + 1e-6 * np.abs(wide) + 1e-30)


@pytest.mark.parametrize("mode, np_mode", [("constant", "constant"), ("reflect", "reflect"), ("replicate", "edge")])
@pytest.mark.parametrize("pads", [(1, 2), (0, 1, 2, 0), (2, 2, 1, 1, 0, 1)])
def test_pad_matches_numpy_values_and_pytorch_gradients(mode, np_mode, pads, rng):
    x = rng.standard_normal((2, 3, 4)).astype(np.float32)
    widths = [(0, 0)] * (3 - len(pads) // 2) + [(pads[2 * k], pads[2 * k + 1]) for k in range(len(pads) // 2)][::-1]
    kw = {"constant_values": 1.5} if mode == "constant" else {}
    got = F.pad(Tensor(x), pads, mode=mode, value=1.5 if mode == "constant" else 0.0)
    np.testing.assert_array_equal(got.to_numpy(), np.pad(x, widths, mode=np_mode, **kw))
    if mode != "constant" and len(pads) == 6:
        return  # PyTorch pads at most three axes of a batch in these modes
    (qx,), (tx,) = both(x)
    tx_in = tx if mode == "constant" else tx.unsqueeze(0) if len(pads) == 4 else tx
    ty = TF.pad(tx_in, pads, mode=mode, value=1.5) if mode == "constant" else TF.pad(tx_in, pads, mode=mode)
    ty = ty.reshape(got.shape)
    backward_weighted(F.pad(qx, pads, mode=mode, value=1.5), ty, rng)
    assert_grads([qx], [tx])


# ---- linear and dropout --------------------------------------------------------------------

@pytest.mark.parametrize("with_bias", [True, False])
@pytest.mark.parametrize("x_shape", [(4, 3), (2, 5, 3), (3,)])
def test_linear_is_pytorchs_with_weight_out_by_in(with_bias, x_shape, rng):
    arrays = [rng.standard_normal(x_shape).astype(np.float32), rng.standard_normal((6, 3)).astype(np.float32)]
    if with_bias:
        arrays.append(rng.standard_normal(6).astype(np.float32))
    ours, theirs = both(*arrays)
    y, ty = F.linear(*ours), TF.linear(*theirs)
    np.testing.assert_allclose(y.to_numpy(), ty.detach().numpy(), rtol=1e-5, atol=1e-6)
    backward_weighted(y, ty, rng)
    assert_grads(ours, theirs, rtol=1e-5, atol=1e-5)


def test_dropout_is_deterministic_when_seeded_and_scales_what_it_keeps():
    x = Tensor(np.arange(1, 2001, dtype=np.float32).reshape(40, 50), requires_grad=True)
    a = F.dropout(x, 0.25, generator=np.random.default_rng(5)).to_numpy()
    b = F.dropout(x, 0.25, generator=np.random.default_rng(5)).to_numpy()
    np.testing.assert_array_equal(a, b)
    kept = a != 0
    np.testing.assert_allclose(a[kept], x.to_numpy()[kept] / 0.75, rtol=1e-6)
    assert 0.2 < 1 - kept.mean() < 0.3
    quarn.manual_seed(11)
    c = F.dropout(x, 0.25).to_numpy()
    quarn.manual_seed(11)
    np.testing.assert_array_equal(F.dropout(x, 0.25).to_numpy(), c)
    y = F.dropout(x, 0.5, generator=np.random.default_rng(1))
    quarn.sum(y).backward()
    np.testing.assert_array_equal(x.grad(), np.where(y.to_numpy() != 0, 2.0, 0.0))


def test_dropout_of_nothing_everything_or_in_evaluation():
    x = Tensor(np.ones((3, 4), np.float32))
    assert F.dropout(x, 0.0) is x
    assert F.dropout(x, 0.9, training=False) is x
    np.testing.assert_array_equal(F.dropout(x, 1.0).to_numpy(), np.zeros((3, 4)))
