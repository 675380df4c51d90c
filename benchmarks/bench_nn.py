"""Training steps written with quarn.nn and quarn.optim, one thread.

Run after building the module:  python benchmarks/bench_nn.py

The digits MLP of examples/train_mlp.py (64-128-10, ReLU, batch 32, softmax
cross-entropy; random inputs of the digits' shape): one whole step, from
zero_grad() to the optimiser's update, against PyTorch's step with the same
model and optimiser (torch.nn + torch.optim, default settings). The
bfloat16 step keeps float32 master weights on both sides (PyTorch's under
autocast); a PyTorch model cast wholly to bfloat16 is shown too. And the
toolkit loop against the hand-written one it replaces (clear_graph(), fresh
leaves from NumPy arrays, gradients summed back by hand, a NumPy momentum
update). Figures are medians over rounds in which the contenders take
turns; ratios are our time divided by theirs.

Targets:
  Adam step, float32              <= 0.5 vs PyTorch
  Adam step, bfloat16             <= 0.5 vs PyTorch
  toolkit loop / hand-written     <= 1.10
"""

import numpy as np

import quarn
from quarn import Tensor, nn, optim
from quarn.nn.functional import cross_entropy, relu
from _record import record, section
from _timing import median_times, one_thread

try:
    import torch
except ImportError:  # the PyTorch column is then left empty
    torch = None

N_IN, HIDDEN, N_OUT, BATCH = 64, 128, 10, 32


def quarn_step(dtype, make_opt):
    quarn.manual_seed(0)
    model = nn.Sequential(nn.Linear(N_IN, HIDDEN), nn.ReLU(), nn.Linear(HIDDEN, N_OUT)).to(dtype)
    opt = make_opt(model.parameters())
    loss_fn = nn.CrossEntropyLoss()
    rng = np.random.default_rng(1)
    x = rng.random((BATCH, N_IN), dtype=np.float32)
    y = rng.integers(0, N_OUT, BATCH)

    def step():
        opt.zero_grad()
        loss = loss_fn(model(Tensor(x, dtype=dtype)), y)
        loss.backward()
        opt.step()
        return loss.item()

    return step


def hand_written_step():
    """The step examples/train_mlp.py had before quarn.nn, as it was: the
    same model, SGD with momentum, every part written out, the loss read
    out as the new example reads it."""
    rng = np.random.default_rng(0)
    params = [(rng.standard_normal(s) * 0.1).astype(np.float32) for s in
              ((N_IN, HIDDEN), (HIDDEN,), (HIDDEN, N_OUT), (N_OUT,))]
    velocity = [np.zeros_like(p) for p in params]
    x = rng.random((BATCH, N_IN), dtype=np.float32)
    y = rng.integers(0, N_OUT, BATCH)

    def sum_to_shape(grad, shape):
        grad = grad.sum(axis=tuple(range(grad.ndim - len(shape)))) if grad.ndim > len(shape) else grad
        stretched = tuple(i for i, n in enumerate(shape) if n == 1 and grad.shape[i] != 1)
        return grad.sum(axis=stretched, keepdims=True) if stretched else grad

    def step():
        quarn.clear_graph()
        w1, b1, w2, b2 = leaves = [Tensor(p, requires_grad=True) for p in params]
        loss = cross_entropy(relu(Tensor(x) @ w1 + b1) @ w2 + b2, y)
        loss.backward()
        grads = [sum_to_shape(t.grad().astype(np.float32), p.shape) for t, p in zip(leaves, params)]
        for p, v, g in zip(params, velocity, grads):
            v *= 0.9
            v += g
            p -= 0.05 * v
        return float(loss.to_numpy())

    return step


def torch_step(mode):
    if torch is None:
        return None
    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Linear(N_IN, HIDDEN), torch.nn.ReLU(), torch.nn.Linear(HIDDEN, N_OUT))
    if mode == "bfloat16":
        model = model.to(torch.bfloat16)
    opt = torch.optim.Adam(model.parameters(), lr=1e-3)
    rng = np.random.default_rng(1)
    x = torch.from_numpy(rng.random((BATCH, N_IN), dtype=np.float32))
    if mode == "bfloat16":
        x = x.to(torch.bfloat16)
    y = torch.from_numpy(rng.integers(0, N_OUT, BATCH))
    cast = torch.autocast("cpu", dtype=torch.bfloat16, enabled=mode == "autocast")

    def step():
        opt.zero_grad()
        with cast:
            logits = model(x)
        loss = torch.nn.functional.cross_entropy(logits.float(), y)
        loss.backward()
        opt.step()

    return step


def adam(params):
    return optim.Adam(params, lr=1e-3)


def main():
    one_thread(torch)
    section("quarn.nn and quarn.optim")
    print(f"\n{'case':<46} {'quarn':>10} {'PyTorch':>10} {'ratio':>7}")
    rows = [
        ("MLP 64-128-10 Adam step, float32", quarn_step("float32", adam), torch_step("float32")),
        ("MLP 64-128-10 Adam step, bfloat16 (autocast)", quarn_step("bfloat16", adam), torch_step("autocast")),
        ("MLP 64-128-10 Adam step, bfloat16 (model cast)", quarn_step("bfloat16", adam), torch_step("bfloat16")),
    ]
    for label, ours, theirs in rows:
        t_ours, t_theirs = median_times([ours, theirs], rounds=301)
        ratio = f"{t_ours / t_theirs:7.2f}" if t_theirs else "      -"
        shown = f"{t_theirs * 1e6:8.1f}us" if t_theirs else "         -"
        print(f"{label:<46} {t_ours * 1e6:8.1f}us {shown} {ratio}")
        record(label, t_ours, None, t_theirs)

    toolkit = quarn_step("float32", lambda ps: optim.SGD(ps, lr=0.05, momentum=0.9))
    by_hand = hand_written_step()
    t_toolkit, t_hand = median_times([toolkit, by_hand], rounds=301)
    print(f"\n{'toolkit loop (SGD, momentum), float32':<46} {t_toolkit * 1e6:8.1f}us")
    print(f"{'the hand-written loop it replaces':<46} {t_hand * 1e6:8.1f}us")
    print(f"{'toolkit / hand-written':<46} {t_toolkit / t_hand:10.2f}")
    record("MLP 64-128-10 SGD step, toolkit loop", t_toolkit)
    record("MLP 64-128-10 SGD step, hand-written loop", t_hand)


if __name__ == "__main__":
    main()
