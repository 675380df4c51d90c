"""Layer normalisation, logsumexp and the losses against NumPy and PyTorch,
one thread.

Run after building the module:  python benchmarks/bench_norm.py [rounds]

layer_norm over [4096, 1024] float32 with weight and bias, forward alone and
forward plus backward (every operand requiring a gradient, the result's
gradient all ones; NumPy's row is the same computation written in NumPy).
logsumexp over the last axis of the same array. Then each loss, forward
plus backward, over [4096, 1024] (classes: [4096, 1000] logits). Figures are
medians over rounds in which the contenders take turns; ratios are our time
divided by theirs (below 1 means we are faster).

Targets:
  layer_norm forward + backward   <= 1.0 vs PyTorch
  logsumexp over the last axis    <= 1.0 vs PyTorch
"""

import statistics
import sys
import time

import numpy as np

import quarn
import quarn.nn.functional as F
from _record import record, section
from _timing import median_times, one_thread

try:
    import torch
    import torch.nn.functional as TF
except ImportError:  # the PyTorch column is then left empty
    torch = None

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 21


def row(case, ours, numpy=None, torch_fn=None):
    t_ours, t_np, t_torch = median_times([ours, numpy, torch_fn], ROUNDS)
    cells = [f"{case:<38}", f"{t_ours * 1e3:8.3f} ms"]
    for theirs in (t_np, t_torch):
        cells.append(f"{t_ours / theirs:7.2f}" if theirs else f"{'-':>7}")
    print("  ".join(cells))
    record(case, t_ours, t_np, t_torch)


def step_row(case, ours, numpy=None, torch_fn=None):
    """As row, for steps that need fresh leaves: each contender is a pair
    (setup, step); setup runs untimed before every timed step (our leaves
    belong to the graph that clear_graph() discards, so each step makes them
    again), and the contenders take turns within every round."""
    contenders = [c for c in (ours, numpy, torch_fn) if c is not None]
    samples = {id(c): [] for c in contenders}
    for r in range(ROUNDS + 1):
        for c in contenders[r % len(contenders):] + contenders[:r % len(contenders)]:
            setup, step = c
            state = setup()
            t0 = time.perf_counter()
            step(state)
            if r > 0:  # the first round warms up
                samples[id(c)].append(time.perf_counter() - t0)
    t_ours, t_np, t_torch = (statistics.median(samples[id(c)]) if c is not None else None
                             for c in (ours, numpy, torch_fn))
    cells = [f"{case:<38}", f"{t_ours * 1e3:8.3f} ms"]
    for theirs in (t_np, t_torch):
        cells.append(f"{t_ours / theirs:7.2f}" if theirs else f"{'-':>7}")
    print("  ".join(cells))
    record(case, t_ours, t_np, t_torch)


def np_layer_norm_both(x, w, b, eps=1e-5):
    m = x.mean(-1, keepdims=True)
    d = x - m
    rstd = 1 / np.sqrt((d * d).mean(-1, keepdims=True) + eps)
    xhat = d * rstd
    y = xhat * w + b
    g = np.ones_like(y)
    gw, gb = (g * xhat).sum(0), g.sum(0)
    dxhat = g * w
    dx = rstd * (dxhat - dxhat.mean(-1, keepdims=True) - xhat * (dxhat * xhat).mean(-1, keepdims=True))
    return y, dx, gw, gb


def main():
    one_thread(torch)
    rng = np.random.default_rng(0)
    n, c = 4096, 1024
    x = rng.standard_normal((n, c)).astype(np.float32)
    w = rng.standard_normal(c).astype(np.float32)
    b = rng.standard_normal(c).astype(np.float32)
    print(f"{'case':<38}  {'quarn':>11}  {'/NumPy':>7}  {'/PyTorch':>7}")

    section("layer_norm")
    qx, qw, qb = quarn.Tensor(x), quarn.Tensor(w), quarn.Tensor(b)
    if torch is not None:
        tx, tw, tb = (torch.tensor(a) for a in (x, w, b))

    def ours_leaves():
        quarn.clear_graph()
        return [quarn.Tensor(a, requires_grad=True) for a in (x, w, b)]

    def ours_both(leaves):
        F.layer_norm(leaves[0], c, leaves[1], leaves[2]).backward()

    def torch_leaves():
        return [torch.tensor(a, requires_grad=True) for a in (x, w, b)]

    def torch_both(leaves):
        y = TF.layer_norm(leaves[0], (c,), leaves[1], leaves[2])
        y.backward(torch.ones_like(y))

    row("layer_norm [4096,1024] forward", lambda: F.layer_norm(qx, c, qw, qb),
        None,
        (lambda: TF.layer_norm(tx, (c,), tw, tb)) if torch else None)
    step_row("layer_norm [4096,1024] fwd+bwd", (ours_leaves, ours_both),
             (lambda: None, lambda _: np_layer_norm_both(x, w, b)), (torch_leaves, torch_both) if torch else None)

    section("logsumexp")
    row("logsumexp [4096,1024] axis -1", lambda: quarn.logsumexp(qx, axis=-1),
        lambda: np.log(np.exp(x - x.max(-1, keepdims=True)).sum(-1)) + x.max(-1),
        (lambda: torch.logsumexp(tx, -1)) if torch else None)
    row("logsumexp [4096,1024] axis 0", lambda: quarn.logsumexp(qx, axis=0),
        lambda: np.log(np.exp(x - x.max(0, keepdims=True)).sum(0)) + x.max(0),
        (lambda: torch.logsumexp(tx, 0)) if torch else None)

    section("losses, forward + backward")
    logits = rng.standard_normal((n, 1000)).astype(np.float32)
    labels = rng.integers(0, 1000, n)
    y = rng.random((n, c)).astype(np.float32)
    p = (1 / (1 + np.exp(-x))).astype(np.float32)
    cases = [
        ("cross_entropy", logits, lambda a: F.cross_entropy(a, labels),
         lambda a: TF.cross_entropy(a, torch.tensor(labels))),
        ("cross_entropy label_smoothing=0.1", logits, lambda a: F.cross_entropy(a, labels, label_smoothing=0.1),
         lambda a: TF.cross_entropy(a, torch.tensor(labels), label_smoothing=0.1)),
        ("nll_loss", logits, lambda a: F.nll_loss(a, labels), lambda a: TF.nll_loss(a, torch.tensor(labels))),
        ("mse_loss sum", x, lambda a: F.mse_loss(a, quarn.Tensor(y), reduction="sum"),
         lambda a: TF.mse_loss(a, torch.tensor(y), reduction="sum")),
        ("l1_loss", x, lambda a: F.l1_loss(a, quarn.Tensor(y)), lambda a: TF.l1_loss(a, torch.tensor(y))),
        ("smooth_l1_loss", x, lambda a: F.smooth_l1_loss(a, quarn.Tensor(y)),
         lambda a: TF.smooth_l1_loss(a, torch.tensor(y))),
        ("huber_loss", x, lambda a: F.huber_loss(a, quarn.Tensor(y)), lambda a: TF.huber_loss(a, torch.tensor(y))),
        ("binary_cross_entropy", p, lambda a: F.binary_cross_entropy(a, quarn.Tensor(y)),
         lambda a: TF.binary_cross_entropy(a, torch.tensor(y))),
        ("binary_cross_entropy_with_logits", x, lambda a: F.binary_cross_entropy_with_logits(a, quarn.Tensor(y)),
         lambda a: TF.binary_cross_entropy_with_logits(a, torch.tensor(y))),
    ]
    for name, data, ours, theirs in cases:
        def ours_leaf(data=data):
            quarn.clear_graph()
            return quarn.Tensor(data, requires_grad=True)

        contender = None
        if torch is not None:
            contender = (lambda data=data: torch.tensor(data, requires_grad=True),
                         lambda ta, theirs=theirs: theirs(ta).backward())
        step_row(name, (ours_leaf, lambda qa, ours=ours: ours(qa).backward()), None, contender)


if __name__ == "__main__":
    main()
