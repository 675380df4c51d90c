"""The operations a training loop needs beyond the operators: element maps,
reductions, softmax and the losses, forward and backward, in every dtype."""

import ml_dtypes
import numpy as np
import pytest

import quarn
import quarn.nn.functional as F
import quarn_core
from quarn import Tensor

try:
    import torch
except ImportError:  # the comparisons with PyTorch are skipped
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="compares with PyTorch")

RNG = np.random.default_rng(11)
X = RNG.standard_normal((4, 5)).astype(np.float32)
POSITIVE = np.abs(X) + 0.25
TARGETS = [1, 0, 4, 2]

# name: (ours, PyTorch's, input)
OPERATIONS = {
    "exp": (lambda t: t.exp(), lambda t: torch.exp(t), X),
    "log": (lambda t: quarn.log(t), lambda t: torch.log(t), POSITIVE),
    "tanh": (lambda t: quarn.tanh(t), lambda t: torch.tanh(t), X),
    "sigmoid": (lambda t: t.sigmoid(), lambda t: torch.sigmoid(t), X),
    "sum": (lambda t: t.sum(), lambda t: torch.sum(t), X),
    "sum axis 0": (lambda t: quarn.sum(t, axis=0), lambda t: t.sum(0), X),
    "sum axes keepdims": (lambda t: t.sum(axis=(0, -1), keepdims=True), lambda t: t.sum((0, 1), keepdim=True), X),
    "mean axis -1": (lambda t: t.mean(axis=-1), lambda t: t.mean(-1), X),
    "mean": (lambda t: quarn.mean(t), lambda t: torch.mean(t), X),
    "log_softmax": (lambda t: F.log_softmax(t), lambda t: torch.log_softmax(t, -1), X),
    "softmax axis 0": (lambda t: F.softmax(t, axis=0), lambda t: torch.softmax(t, 0), X),
    "cross_entropy": (lambda t: F.cross_entropy(t, TARGETS),
                      lambda t: torch.nn.functional.cross_entropy(t, torch.tensor(TARGETS)), X),
    "mse_loss": (lambda t: F.mse_loss(t, Tensor(X * 0.5)),
                 lambda t: torch.nn.functional.mse_loss(t, torch.tensor(X * 0.5)), X),
}


@needs_torch
@pytest.mark.parametrize("name", OPERATIONS)
def test_values_and_gradients_match_pytorch(name):
    ours, theirs, x = OPERATIONS[name]
    weights = RNG.standard_normal(np.shape(theirs(torch.tensor(x)))).astype(np.float32)
    t = Tensor(x, requires_grad=True)
    y = ours(t)
    (y * Tensor(weights)).backward()
    tx = torch.tensor(x, requires_grad=True)
    ty = theirs(tx)
    (ty * torch.tensor(weights)).sum().backward()
    assert y.shape == list(ty.shape)
    np.testing.assert_allclose(y.to_numpy(), ty.detach().numpy(), rtol=2e-6, atol=1e-7)
    np.testing.assert_allclose(t.grad(), tx.grad.numpy(), rtol=2e-5, atol=1e-6)


@pytest.mark.parametrize("name", ["tanh", "sum axis 0", "log_softmax", "cross_entropy", "mse_loss"])
def test_gradients_match_finite_differences(name):
    ours, _, x = OPERATIONS[name]
    x64 = x.astype(np.float64)
    t = Tensor(x, requires_grad=True)
    ours(t).backward()
    numeric = np.zeros_like(x64)
    h = 1e-2
    for index in np.ndindex(x.shape):
        step = np.zeros_like(x64)
        step[index] = h
        up = ours(Tensor((x64 + step).astype(np.float32))).to_numpy().astype(np.float64).sum()
        down = ours(Tensor((x64 - step).astype(np.float32))).to_numpy().astype(np.float64).sum()
        numeric[index] = (up - down) / (2 * h)
    np.testing.assert_allclose(t.grad(), numeric, rtol=2e-2, atol=2e-3)


@needs_torch
@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
@pytest.mark.parametrize("name", ["exp", "tanh", "sigmoid", "sum axis 0", "mean", "log_softmax", "cross_entropy"])
def test_half_precision_computes_in_float32_and_rounds_once(name, dtype):
    ours, theirs, x = OPERATIONS[name]
    np_type = np.float16 if dtype == "float16" else ml_dtypes.bfloat16
    halves = x.astype(np_type)
    y = ours(Tensor(halves, dtype=dtype))
    assert y.dtype == {"float16": "f16", "bfloat16": "bf16"}[dtype]
    exact = theirs(torch.tensor(halves.astype(np.float64))).numpy()
    got = y.to_numpy().astype(np.float64)
    # Within one unit in the last place of the format: one rounding of a
    # binary32 result that is itself within a few binary32 ulps.
    spacing = np.abs(np.asarray(exact)).astype(np_type).astype(np.float64) * (2.0 ** -10 if dtype == "float16" else 2.0 ** -7)
    assert np.all(np.abs(got - exact) <= spacing + 1e-30)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: Tensor(X).sum(axis=2), IndexError, "axis 2 is out of bounds for tensor of dimension 2"),
        (lambda: Tensor(X).mean(axis=(-3,)), IndexError, "axis -3 is out of bounds for tensor of dimension 2"),
        (lambda: Tensor(X).sum(axis=(0, -2)), ValueError, "duplicate value in 'axis'"),
        (lambda: F.softmax(Tensor(1.0)), IndexError, "axis -1 is out of bounds for tensor of dimension 0"),
        (lambda: F.cross_entropy(Tensor(X), [1, 2, 3, 5]), IndexError, "Target 5 is out of bounds for 5 classes."),
        (lambda: F.cross_entropy(Tensor(X), [1, -1, 3, 0]), IndexError, "Target -1 is out of bounds for 5 classes."),
        *[(lambda t=t: F.cross_entropy(Tensor(X), t), TypeError,
           "cross_entropy expects targets as a one-axis array of integer class indices")
          for t in ([True, False, True, False], [False, 2, 1, 0], np.array([1, 0, 1, 0], bool))],
        (lambda: F.cross_entropy(Tensor(X), [1, 2]), ValueError,
         "Expected input batch_size (4) to match target batch_size (2)."),
        (lambda: F.cross_entropy(Tensor(X[0]), [1]), ValueError, "cross_entropy expects logits of shape [N, C], got [5]"),
        (lambda: F.cross_entropy(Tensor(X), [0.5, 1, 2, 3]), TypeError,
         "cross_entropy expects targets as a one-axis array of integer class indices"),
        (lambda: F.mse_loss(Tensor(X), Tensor(X, dtype="float16")), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
        (lambda: F.mse_loss(Tensor(X[:, 0]), Tensor(X[:, :1])), ValueError,
         "mse_loss expects pred and target of the same shape, got [4] and [4, 1]; broadcast one of them explicitly"),
        *[(lambda n=n: getattr(Tensor([True], dtype="bool"), n)(), TypeError, f"Tensor Dtype not supported for this operation: {n}")
          for n in ("exp", "log", "tanh", "sigmoid")],
        # quarn.Tensor counts bools in sum and mean; quarn_core.Tensor refuses them.
        *[(lambda n=n: getattr(quarn_core.Tensor([True], dtype="bool"), n)(), TypeError,
           f"Tensor Dtype not supported for this operation: {n}") for n in ("sum", "mean")],
        (lambda: F.log_softmax(Tensor([True], dtype="bool")), TypeError, "Tensor Dtype not supported for this operation: log_softmax"),
    ],
)
def test_bad_input_is_refused_before_anything_is_recorded(call, error, message, graph_len):
    Tensor(X, requires_grad=True)
    before = graph_len()
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert graph_len() == before


@needs_torch
def test_loss_broadcast_further_still_gives_the_true_gradient():
    t = Tensor(X, requires_grad=True)
    loss = F.cross_entropy(t, TARGETS)
    (loss + Tensor(np.ones(3, np.float32))).backward()  # the loss counted three times
    tx = torch.tensor(X, requires_grad=True)
    (3 * torch.nn.functional.cross_entropy(tx, torch.tensor(TARGETS))).backward()
    np.testing.assert_allclose(t.grad(), tx.grad.numpy(), rtol=1e-5, atol=1e-7)


@needs_torch
def test_a_training_loop_with_the_loss_in_the_graph_matches_pytorch():
    rng = np.random.default_rng(5)
    w1, w2 = (rng.standard_normal((6, 8)) / 3).astype(np.float32), (rng.standard_normal((8, 3)) / 3).astype(np.float32)
    tw1, tw2 = torch.tensor(w1, requires_grad=True), torch.tensor(w2, requires_grad=True)
    for _ in range(5):
        x = rng.standard_normal((10, 6)).astype(np.float32)
        targets = rng.integers(0, 3, 10)
        quarn.clear_graph()
        qw1, qw2 = Tensor(w1, requires_grad=True), Tensor(w2, requires_grad=True)
        loss = F.cross_entropy(quarn.tanh(Tensor(x) @ qw1) @ qw2, targets)
        loss.backward()
        tw1.grad = tw2.grad = None
        tloss = torch.nn.functional.cross_entropy(torch.tanh(torch.tensor(x) @ tw1) @ tw2, torch.tensor(targets))
        tloss.backward()
        np.testing.assert_allclose(loss.to_numpy(), tloss.item(), rtol=1e-5)
        for ours, theirs in ((qw1, tw1), (qw2, tw2)):
            np.testing.assert_allclose(ours.grad(), theirs.grad.numpy(), rtol=1e-4, atol=1e-6)
        w1 = w1 - 0.5 * qw1.grad()
        w2 = w2 - 0.5 * qw2.grad()
        with torch.no_grad():
            tw1 -= 0.5 * tw1.grad
            tw2 -= 0.5 * tw2.grad


@pytest.mark.parametrize("targets", [[], np.array([], np.int64), np.array([])], ids=["list", "int array", "float array"])
def test_an_empty_batch_of_targets_is_accepted_however_it_is_given(targets):
    loss = F.cross_entropy(Tensor(np.zeros((0, 5), np.float32)), targets)
    assert loss.shape == [] and np.isnan(loss.to_numpy())
