"""Indexing against NumPy and PyTorch, one thread.

Run after building the module:  python benchmarks/bench_indexing.py

On a [1M, 64] float32 table (256 MB): the row block t[1000:50000] (a view
in all three), a gather of 64K random rows (t[ids]), and one training step
through that gather: gather, sum, backward, whose backward is the
scatter-add of the gradient into zeros of the table's shape. NumPy has no
backward; its column for the step is the same work written by hand
(np.add.at into zeros). The backward row is the step's median less the
median of its forward part (gather and sum), for each library.
Figures are medians over rounds in which the contenders take turns; ratios
are our time divided by theirs (below 1 means we are faster). Results are
checked against NumPy's before timing.

Targets:
  row block t[1000:50000]        <= 1.0 vs PyTorch
  gather of 64K rows             <= 1.0 vs PyTorch
  backward of that gather        <= 1.5 vs PyTorch
"""

import argparse

import numpy as np

import quarn
from _record import record, section
from _timing import median_times, one_thread

try:
    import torch
except ImportError:  # the PyTorch column is then left empty
    torch = None


def fmt_time(seconds):
    return f"{seconds * 1e3:9.4f} ms" if seconds else f"{'-':>12}"


def fmt_ratio(ours, theirs):
    return f"{ours / theirs:7.2f}" if theirs else f"{'-':>7}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    one_thread(torch)
    rng = np.random.default_rng(0)
    table = rng.standard_normal((args.rows, 64), dtype=np.float32)
    ids = rng.integers(0, args.rows, size=65536)
    t = quarn.Tensor(table)
    tg = quarn.Tensor(table, requires_grad=True)
    pt = torch.from_numpy(table) if torch else None
    pt_ids = torch.from_numpy(ids) if torch else None

    assert np.array_equal(t[1000:50000].to_numpy(), table[1000:50000])
    assert np.array_equal(t[ids].to_numpy(), table[ids])

    # The leaf is made once (the graph is not cleared: a backward pass walks
    # only what its root reaches, and each step adds three small nodes).
    def step_ours():
        quarn.sum(tg[ids]).backward()

    def forward_ours():
        quarn.sum(tg[ids])

    def step_numpy():
        g = np.zeros_like(table)
        np.add.at(g, ids, np.ones((len(ids), 64), np.float32))
        return g

    def forward_numpy():
        return table[ids].sum()

    if torch:
        leaf = torch.from_numpy(table).requires_grad_(True)

        def step_torch():
            leaf.grad = None
            leaf[pt_ids].sum().backward()

        def forward_torch():
            return leaf[pt_ids].sum()

    step_ours()
    g = tg.grad()
    want = np.zeros(table.shape, np.float32)
    np.add.at(want, ids, 1.0)
    assert np.array_equal(g, want), "scatter-add differs from NumPy's"

    print()
    print(f"{'':<36} {'ours':>12} {'numpy':>12} {'torch':>12} {'/numpy':>7} {'/torch':>7}  target")
    missed = []

    def row(label, times, target):
        record(label, *times)
        mine, ref_np, ref_torch = times
        ok = target is None or ref_torch is None or mine / ref_torch <= target
        if not ok:
            missed.append(label)
        target_text = f"pt<={target}" if target is not None else ""
        print(f"{label:<36} {fmt_time(mine)} {fmt_time(ref_np)} {fmt_time(ref_torch)}"
              f" {fmt_ratio(mine, ref_np)} {fmt_ratio(mine, ref_torch)}  {target_text:<8}"
              f" {('ok' if ok else 'MISSED') if target is not None else ''}")

    section("indexing")
    rounds = args.rounds
    row("row block t[1000:50000]",
        median_times([lambda: t[1000:50000], lambda: table[1000:50000], torch and (lambda: pt[1000:50000])],
                     rounds=301), 1.0)
    row("gather of 64K rows of [1M, 64]",
        median_times([lambda: t[ids], lambda: table[ids], torch and (lambda: pt[pt_ids])], rounds=rounds), 1.0)
    steps = median_times([step_ours, step_numpy, torch and step_torch], rounds=rounds)
    forwards = median_times([forward_ours, forward_numpy, torch and forward_torch], rounds=rounds)
    row("gather, sum and backward", steps, None)
    row("backward of the gather (step - fwd)",
        [s - f if s is not None else None for s, f in zip(steps, forwards)], 1.5)
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
