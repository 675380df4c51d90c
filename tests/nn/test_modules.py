"""Modules: registration and walking, modes, dtype, state dicts with strict
checks, seeded initialisation, and each layer against PyTorch."""

import numpy as np
import pytest

import quarn
from quarn import Tensor, nn
from quarn.nn import functional as F


class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 3))
        self.extra = nn.ModuleList([nn.Linear(3, 3, bias=False)])
        self.scale = nn.Parameter(np.ones(3))

    def forward(self, x):
        return self.extra[0](self.body(x)) * self.scale


def test_registration_order_names_and_children():
    net = Net()
    names = [n for n, _ in net.named_parameters()]
    assert names == ["scale", "body.0.weight", "body.0.bias", "body.2.weight", "body.2.bias", "extra.0.weight"]
    assert [type(c).__name__ for c in net.children()] == ["Sequential", "ModuleList"]
    assert len(list(net.parameters())) == 6
    shared = nn.Sequential(net.body[0], net.body[0])   # a shared module's parameters count once
    assert len(list(shared.parameters())) == 2
    net.scale = None                                    # reassigning drops the registration
    assert "scale" not in dict(net.named_parameters())


def test_train_eval_reach_every_module_and_to_sets_the_dtype():
    net = Net()
    assert net.eval() is net and not any(m.training for m in net.modules())
    net.train()
    assert all(m.training for m in net.modules())
    net.to("bfloat16")
    assert {p.dtype for p in net.parameters()} == {"bfloat16"}
    assert {p.data.dtype for p in net.parameters()} == {np.dtype(np.float32)}
    with pytest.raises(ValueError, match="float32, float16 or bfloat16"):
        net.to("int32")


def test_state_dict_round_trip_and_strict_checks():
    a, b = Net(), Net()
    sd = a.state_dict()
    assert list(sd) == [n for n, _ in a.named_parameters()]
    b.load_state_dict(sd)
    for (_, pa), (_, pb) in zip(a.named_parameters(), b.named_parameters()):
        np.testing.assert_array_equal(pa.data, pb.data)
    sd["body.0.weight"][...] = 7.0                  # a copy, not a view
    assert not (a.body[0].weight.data == 7.0).any()

    missing = {k: v for k, v in sd.items() if k != "scale"}
    with pytest.raises(KeyError, match="missing keys: 'scale'"):
        b.load_state_dict(missing)
    with pytest.raises(KeyError, match="unexpected keys: 'other'"):
        b.load_state_dict({**sd, "other": np.zeros(1)})
    before = b.body[0].weight.data.copy()
    with pytest.raises(ValueError, match=r"'body.2.bias': \(4,\) given, \(3,\) expected"):
        b.load_state_dict({**sd, "body.2.bias": np.zeros(4)})
    np.testing.assert_array_equal(b.body[0].weight.data, before)   # nothing changed
    result = b.load_state_dict(missing, strict=False)
    assert result.missing_keys == ["scale"] and result.unexpected_keys == []


def test_seeded_initialisation_is_reproducible_and_in_pytorch_bounds():
    quarn.manual_seed(5)
    first = nn.Linear(50, 20)
    quarn.manual_seed(5)
    again = nn.Linear(50, 20)
    other = nn.Linear(50, 20, generator=np.random.default_rng(5))
    np.testing.assert_array_equal(first.weight.data, again.weight.data)
    np.testing.assert_array_equal(first.weight.data, other.weight.data)
    bound = 1 / np.sqrt(50)
    for p in (first.weight.data, first.bias.data):
        assert np.abs(p).max() <= bound and np.abs(p).max() > 0.8 * bound
    assert first.weight.shape == (20, 50)


@pytest.fixture
def torch():
    return pytest.importorskip("torch")


def test_linear_and_losses_match_pytorch(torch, rng):
    lin = nn.Linear(5, 4)
    x = rng.standard_normal((3, 5)).astype(np.float32)
    y = rng.integers(0, 4, 3)
    loss = nn.CrossEntropyLoss()(lin(Tensor(x)), y)
    loss.backward()
    tl = torch.nn.Linear(5, 4)
    with torch.no_grad():
        tl.weight.copy_(torch.from_numpy(lin.weight.data))
        tl.bias.copy_(torch.from_numpy(lin.bias.data))
    tloss = torch.nn.CrossEntropyLoss()(tl(torch.from_numpy(x)), torch.from_numpy(y))
    tloss.backward()
    np.testing.assert_allclose(loss.item(), tloss.item(), rtol=1e-5)
    np.testing.assert_allclose(lin.weight.grad, tl.weight.grad.numpy(), rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(lin.bias.grad, tl.bias.grad.numpy(), rtol=1e-5, atol=1e-6)
    target = rng.standard_normal((3, 4)).astype(np.float32)
    mse = nn.MSELoss()(lin(Tensor(x)), Tensor(target)).item()
    np.testing.assert_allclose(mse, torch.nn.MSELoss()(tl(torch.from_numpy(x)), torch.from_numpy(target)).item(),
                               rtol=1e-5)


ACTIVATIONS = [
    ("relu", lambda: nn.ReLU(), lambda t: t.nn.ReLU()),
    ("relu", lambda: nn.Tanh(), lambda t: t.nn.Tanh()),
    ("relu", lambda: nn.Sigmoid(), lambda t: t.nn.Sigmoid()),
    ("softmax", lambda: nn.Softmax(dim=1), lambda t: t.nn.Softmax(dim=1)),
    ("log_softmax", lambda: nn.LogSoftmax(dim=0), lambda t: t.nn.LogSoftmax(dim=0)),
    ("gelu", lambda: nn.GELU(), lambda t: t.nn.GELU()),
    ("gelu", lambda: nn.GELU("tanh"), lambda t: t.nn.GELU(approximate="tanh")),
    ("silu", lambda: nn.SiLU(), lambda t: t.nn.SiLU()),
    ("leaky_relu", lambda: nn.LeakyReLU(0.2), lambda t: t.nn.LeakyReLU(0.2)),
]


@pytest.mark.parametrize("fn_name, ours, theirs", ACTIVATIONS,
                         ids=[f"{type(a[1]()).__name__}-{i}" for i, a in enumerate(ACTIVATIONS)])
def test_activation_modules_match_pytorch(fn_name, ours, theirs, torch, rng):
    assert hasattr(F, fn_name)  # the function the module calls
    x = rng.standard_normal((3, 4)).astype(np.float32)
    np.testing.assert_allclose(ours()(Tensor(x)).to_numpy(), theirs(torch)(torch.from_numpy(x)).numpy(),
                               rtol=1e-5, atol=1e-6)


def test_flatten_and_sequential_indexing():
    x = Tensor(np.arange(24, dtype=np.float32).reshape(2, 3, 4))
    assert nn.Flatten()(x).shape == [2, 12]
    assert nn.Flatten(0, 1)(x).shape == [6, 4]
    with pytest.raises(IndexError):
        nn.Flatten(2, 1)(x)
    seq = nn.Sequential(nn.Linear(2, 2), nn.ReLU(), nn.Linear(2, 2))
    assert len(seq) == 3 and isinstance(seq[-1], nn.Linear) and len(seq[:2]) == 2
    with pytest.raises(TypeError, match="Module"):
        nn.Sequential(nn.ReLU(), lambda x: x)


def test_layer_norm_module_matches_pytorch(torch, rng):
    x = rng.standard_normal((3, 6)).astype(np.float32)
    ln = nn.LayerNorm(6)
    np.testing.assert_allclose(ln(Tensor(x)).to_numpy(),
                               torch.nn.LayerNorm(6)(torch.from_numpy(x)).detach().numpy(), rtol=1e-5, atol=1e-5)


def test_embedding_module_picks_rows(rng):
    emb = nn.Embedding(10, 3)
    ids = np.array([1, 7, 1])
    np.testing.assert_array_equal(emb(ids).to_numpy(), emb.weight.data[ids])


def test_dropout_module_is_the_identity_in_eval_mode():
    drop = nn.Dropout(0.5, generator=np.random.default_rng(0))
    x = Tensor(np.ones((20, 20), np.float32))
    kept = drop(x).to_numpy()
    assert set(np.unique(kept)) <= {0.0, 2.0} and 0 < (kept == 0).sum() < 400
    assert drop.eval()(x) is x


def test_copies_and_pickles_are_independent_models():
    import copy
    import pickle

    net = Net().to("float16")
    net(Tensor(np.ones((2, 4), np.float32), dtype="float16"))   # leaves exist in this step
    for other in (copy.deepcopy(net), pickle.loads(pickle.dumps(net))):
        names = [n for n, _ in other.named_parameters()]
        assert names == [n for n, _ in net.named_parameters()]
        for (_, a), (_, b) in zip(net.named_parameters(), other.named_parameters()):
            assert a is not b and a.dtype == b.dtype == "float16"
            np.testing.assert_array_equal(a.data, b.data)
        other.body[0].weight.data[...] = 0.0
        assert net.body[0].weight.data.any()


LAYER_CALLS = [
    # function, the layer, its input, the arguments the function must get (after the input)
    ("embedding", lambda: nn.Embedding(5, 2), lambda m: [m.weight]),
    ("layer_norm", lambda: nn.LayerNorm([2, 3], eps=1e-3), lambda m: [[2, 3], m.weight, m.bias, 1e-3]),
    ("dropout", lambda: nn.Dropout(0.25), lambda m: [0.25, True, quarn._random.default_generator()]),
    ("conv2d", lambda: nn.Conv2d(4, 6, 3, stride=2, padding=1, groups=2),
     lambda m: [m.weight, m.bias, 2, 1, 1, 2]),
    ("max_pool2d", lambda: nn.MaxPool2d(2, 1, 1), lambda m: [2, 1, 1]),
    ("avg_pool2d", lambda: nn.AvgPool2d(3), lambda m: [3, None, 0]),
    ("gelu", lambda: nn.GELU("tanh"), lambda m: ["tanh"]),
    ("silu", lambda: nn.SiLU(), lambda m: []),
    ("leaky_relu", lambda: nn.LeakyReLU(0.3), lambda m: [0.3]),
]


@pytest.mark.parametrize("name, make, expected", LAYER_CALLS, ids=[c[0] for c in LAYER_CALLS])
def test_layers_call_their_function_in_pytorch_order(name, make, expected, monkeypatch):
    """Each layer hands its function the PyTorch-ordered arguments, its
    parameters as this step's leaves."""
    calls = []
    monkeypatch.setattr(F, name, lambda *args: calls.append(args) or "result", raising=False)
    layer = make()
    x = Tensor(np.ones((2, 3), np.float32))
    assert layer(x) == "result"
    got = calls[0][1:]
    want = [p.tensor() if isinstance(p, nn.Parameter) else p for p in expected(layer)]
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g is w or g == w
    if name == "conv2d":
        assert layer.weight.shape == (6, 2, 3, 3)


def test_linear_without_bias_on_a_batch_and_on_one_sample(rng):
    lin = nn.Linear(3, 2, bias=False)
    assert lin.bias is None and [n for n, _ in lin.named_parameters()] == ["weight"]
    x = rng.standard_normal((4, 3)).astype(np.float32)
    np.testing.assert_allclose(lin(Tensor(x)).to_numpy(), x @ lin.weight.data.T, rtol=1e-6)
    np.testing.assert_allclose(lin(Tensor(x[0])).to_numpy(), x[0] @ lin.weight.data.T, rtol=1e-6)
