"""The optimisers step for step against PyTorch's on the same gradients, the
kernels' refusals, saving and restoring their state, and the schedules."""

import numpy as np
import pytest

import quarn
import quarn_core
from quarn import nn, optim

torch = pytest.importorskip("torch")

SHAPES = [(7, 5), (5,), (1,), (300,)]

CASES = [
    ("SGD", dict(lr=0.1)),
    ("SGD", dict(lr=0.05, momentum=0.9)),
    ("SGD", dict(lr=0.05, momentum=0.9, dampening=0.3, weight_decay=0.01)),
    ("SGD", dict(lr=0.05, momentum=0.8, nesterov=True, weight_decay=1e-3)),
    ("Adam", dict(lr=1e-2)),
    ("Adam", dict(lr=1e-2, betas=(0.8, 0.99), weight_decay=0.05)),
    ("Adam", dict(lr=1e-2, amsgrad=True)),
    ("Adam", dict(lr=1e-2, betas=(0.3, 0.9))),   # lerp weight above one half
    ("AdamW", dict(lr=1e-2)),
    ("AdamW", dict(lr=3e-3, weight_decay=0.1, amsgrad=True, eps=1e-6)),
]


@pytest.mark.parametrize("name, kwargs", CASES, ids=[f"{n}-{i}" for i, (n, _) in enumerate(CASES)])
def test_hundred_steps_match_pytorch(name, kwargs, rng):
    init = [rng.standard_normal(s).astype(np.float32) for s in SHAPES]
    ours = [nn.Parameter(a) for a in init]
    theirs = [torch.tensor(a, requires_grad=True) for a in init]
    opt = getattr(optim, name)(ours, **kwargs)
    topt = getattr(torch.optim, name)(theirs, **kwargs)
    for step in range(100):
        opt.zero_grad()
        for p, t in zip(ours, theirs):
            # gradients that drift in scale and sign, some exactly zero
            g = (rng.standard_normal(p.shape) * (1 + step % 7)).astype(np.float32)
            g[rng.random(p.shape) < 0.1] = 0.0
            p.grad = g
            t.grad = torch.from_numpy(g.copy())
        opt.step()
        topt.step()
    for p, t in zip(ours, theirs):
        np.testing.assert_allclose(p.data, t.detach().numpy(), rtol=2e-5, atol=2e-6)


def test_training_through_backward_matches_pytorch(rng):
    x = rng.standard_normal((16, 4)).astype(np.float32)
    y = rng.integers(0, 3, 16)
    model = nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Linear(8, 3))
    tmodel = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.Tanh(), torch.nn.Linear(8, 3))
    with torch.no_grad():
        for p, t in zip(model.parameters(), tmodel.parameters()):
            t.copy_(torch.from_numpy(p.data))
    opt = optim.Adam(model.parameters(), lr=0.01)
    topt = torch.optim.Adam(tmodel.parameters(), lr=0.01)
    for _ in range(30):
        opt.zero_grad()
        loss = nn.CrossEntropyLoss()(model(quarn.Tensor(x)), y)
        loss.backward()
        opt.step()
        topt.zero_grad()
        tloss = torch.nn.functional.cross_entropy(tmodel(torch.from_numpy(x)), torch.from_numpy(y))
        tloss.backward()
        topt.step()
        np.testing.assert_allclose(loss.item(), tloss.item(), rtol=1e-4)
    for p, t in zip(model.parameters(), tmodel.parameters()):
        np.testing.assert_allclose(p.data, t.detach().numpy(), rtol=1e-4, atol=1e-5)


def test_parameters_without_gradient_are_left_alone():
    a, b = nn.Parameter([1.0, 2.0]), nn.Parameter([3.0])
    opt = optim.Adam([a, b], lr=0.1)
    opt.zero_grad()
    (a * 2.0).backward()
    opt.step()
    assert b.data.tolist() == [3.0] and b not in opt.state
    assert a.data.tolist() != [1.0, 2.0] and opt.state[a]["step"] == 1


def test_param_groups_take_their_own_hyperparameters():
    a, b = nn.Parameter([1.0]), nn.Parameter([1.0])
    opt = optim.SGD([{"params": [a]}, {"params": [b], "lr": 0.5}], lr=0.1)
    opt.zero_grad()
    a.grad = np.ones(1)
    b.grad = np.ones(1)
    opt.step()
    assert a.data.tolist() == [np.float32(0.9)] and b.data.tolist() == [0.5]
    with pytest.raises(ValueError, match="more than one group"):
        opt.add_param_group({"params": [a]})
    with pytest.raises(ValueError, match="unknown hyperparameters"):
        optim.SGD([{"params": [nn.Parameter([1.0])], "betas": (0.9, 0.9)}])
    with pytest.raises(ValueError, match="Nesterov"):
        optim.SGD([a], lr=0.1, nesterov=True)


@pytest.mark.parametrize("name, kwargs", [("SGD", dict(lr=0.1, momentum=0.9)), ("AdamW", dict(amsgrad=True))])
def test_state_dict_resumes_the_same_run(name, kwargs, rng):
    grads = [rng.standard_normal(3).astype(np.float32) for _ in range(6)]

    def run(ps, opt, gs):
        for g in gs:
            opt.zero_grad()
            ps[0].grad = g
            opt.step()

    straight = [nn.Parameter(np.ones(3))]
    run(straight, getattr(optim, name)(straight, **kwargs), grads)
    first = [nn.Parameter(np.ones(3))]
    opt = getattr(optim, name)(first, **kwargs)
    run(first, opt, grads[:3])
    saved = opt.state_dict()
    resumed = [nn.Parameter(first[0].data)]
    opt2 = getattr(optim, name)(resumed, **kwargs)
    opt2.load_state_dict(saved)
    run(resumed, opt2, grads[3:])
    np.testing.assert_array_equal(resumed[0].data, straight[0].data)
    with pytest.raises(ValueError, match="shape"):
        bad = {"state": {0: {k: (np.zeros(4) if isinstance(v, np.ndarray) else v) for k, v in saved["state"][0].items()}},
               "param_groups": saved["param_groups"]}
        opt2.load_state_dict(bad)


def arrays(n=4):
    return np.zeros(n, np.float32), np.ones(n, np.float32)


@pytest.mark.parametrize("make, error, message", [
    (lambda: (np.zeros(4, np.float64), np.ones(4, np.float32)), TypeError, "param must be a float32"),
    (lambda: ([0.0] * 4, np.ones(4, np.float32)), TypeError, "param must be a numpy.ndarray, not list"),
    (lambda: (np.zeros(8, np.float32)[::2], np.ones(4, np.float32)), ValueError, "C-contiguous"),
    (lambda: (np.zeros(4, np.float32), np.ones(5, np.float32)), ValueError, "grad must have the parameter's shape"),
    (lambda: (np.zeros((4, 1), np.float32), np.ones(4, np.float32)), ValueError, "parameter's shape"),
])
def test_kernels_refuse_bad_arrays(make, error, message):
    p, g = make()
    with pytest.raises(error, match=message):
        quarn_core._functions._sgd_step(p, g, None, 0.1, 0.0, 0.0, 0.0, False, False)
    m, v = np.zeros(4, np.float32), np.zeros(4, np.float32)
    with pytest.raises(error, match=message):
        quarn_core._functions._adam_step(p, g, m, v, None, 0.1, 0.9, 0.99, 1e-8, 0.0, 0.1, 0.1, False)


def test_kernels_refuse_read_only_and_overlapping_state():
    p, g = arrays()
    frozen = p.copy()
    frozen.setflags(write=False)
    with pytest.raises(ValueError, match="writeable"):
        quarn_core._functions._sgd_step(frozen, g, None, 0.1, 0.0, 0.0, 0.0, False, False)
    with pytest.raises(ValueError, match="share memory"):
        quarn_core._functions._adam_step(p, g, p, np.zeros(4, np.float32), None, 0.1, 0.9, 0.99, 1e-8, 0.0, 0.1,
                                         0.1, False)
    with pytest.raises(ValueError, match="momentum needs"):
        quarn_core._functions._sgd_step(p, g, None, 0.1, 0.9, 0.0, 0.0, False, False)
    assert p.tolist() == [0.0] * 4


def test_large_parameter_gives_the_same_bits_on_any_thread_count(rng):
    n = 300_001
    results = []
    default = quarn.get_num_threads()
    try:
        for threads in (1, 2, 3):
            quarn.set_num_threads(threads)
            p = nn.Parameter(np.linspace(-1, 1, n))
            opt = optim.AdamW([p], lr=0.01)
            for seed in range(3):
                opt.zero_grad()
                p.grad = np.random.default_rng(seed).standard_normal(n)
                opt.step()
            results.append(p.data.copy())
    finally:
        quarn.set_num_threads(default)
    assert all(np.array_equal(results[0], r) for r in results[1:])


@pytest.mark.parametrize("make, tmake", [
    (lambda o: optim.lr_scheduler.StepLR(o, step_size=3, gamma=0.5),
     lambda o: torch.optim.lr_scheduler.StepLR(o, step_size=3, gamma=0.5)),
    (lambda o: optim.lr_scheduler.CosineAnnealingLR(o, T_max=7, eta_min=0.01),
     lambda o: torch.optim.lr_scheduler.CosineAnnealingLR(o, T_max=7, eta_min=0.01)),
])
def test_schedules_match_pytorch(make, tmake):
    opt = optim.SGD([nn.Parameter([1.0])], lr=0.3)
    topt = torch.optim.SGD([torch.zeros(1, requires_grad=True)], lr=0.3)
    sched, tsched = make(opt), tmake(topt)
    lrs, tlrs = [], []
    for _ in range(25):
        lrs.append(opt.param_groups[0]["lr"])
        tlrs.append(topt.param_groups[0]["lr"])
        opt.step()
        topt.step()
        sched.step()
        tsched.step()
    np.testing.assert_allclose(lrs, tlrs, rtol=1e-12)
    assert sched.get_last_lr() == [opt.param_groups[0]["lr"]]


def test_a_transposed_gradient_is_read_in_place(rng):
    """A 2-D gradient in Fortran order (a transposed weight's) updates as its
    C-ordered copy does; other layouts are refused."""
    g = np.asfortranarray(rng.standard_normal((6, 40)).astype(np.float32))
    assert not g.flags.c_contiguous
    results = []
    for grad in (g, np.ascontiguousarray(g)):
        p = np.ones((6, 40), np.float32)
        m, v = np.zeros_like(p), np.zeros_like(p)
        quarn_core._functions._adam_step(p, grad, m, v, None, 0.1, 0.9, 0.99, 1e-8, 0.0, 0.1, 0.1, False)
        results.append((p, m, v))
    for a, b in zip(*results):
        np.testing.assert_array_equal(a, b)
    p = np.ones((6, 40), np.float32)
    with pytest.raises(ValueError, match="param must be a C-contiguous"):
        quarn_core._functions._sgd_step(np.asfortranarray(p), g, None, 0.1, 0.0, 0.0, 0.0, False, False)
    cube = np.asfortranarray(np.ones((2, 3, 4), np.float32))
    with pytest.raises(ValueError, match="grad must be a C-contiguous"):
        quarn_core._functions._sgd_step(np.ones((2, 3, 4), np.float32), cube, None, 0.1, 0.0, 0.0, 0.0, False, False)
