"""Element-wise operations against NumPy and PyTorch, one thread.

Run after building the module:  python benchmarks/bench_elementwise.py

Every figure is the median time of one call over many rounds in which the
contenders take turns, so that load from elsewhere on the machine hits them
alike. The median, not the best, because on large operands a lucky round (a
result still half in the last-level cache, no page faults) can be several
times faster than the usual one. Ratios are our time divided by theirs
(below 1 means we are faster).

Targets:
  f32 add, contiguous and row-broadcast, 2048 x 2048   <= 1.0 vs NumPy and PyTorch
  transposed + row-major, 2048 x 2048                    <= 1.5 vs NumPy
  f16 add and bf16 multiply, 4M elements                 <= 0.2 vs NumPy, <= 1.0 vs PyTorch
  t + t on one element, with and without requires_grad   <= 0.5 vs PyTorch
  comparisons and ReLU, 4M float32                       <= 1.0 vs NumPy
"""

import sys
import timeit

import ml_dtypes
import numpy as np

import quarn_core
import _timing
from _record import record, section

Tensor = quarn_core.Tensor
relu = quarn_core.nn.functional.relu

try:
    import torch
except ImportError:  # the PyTorch columns are then left empty
    torch = None


def median_times(fns, rounds=41):
    return _timing.median_times(fns, rounds)


def tiny_times(fns, setups=None, repeats=15, number=20000):
    """Per-call time of very short calls: the best of timeit batches taken
    turn by turn (a batch already averages over many calls)."""
    setups = setups or [None] * len(fns)
    timers = [
        timeit.Timer(fn, setup=setup or (lambda: None)) if fn is not None else None
        for fn, setup in zip(fns, setups)
    ]
    best = [float("inf") if t is not None else None for t in timers]
    for _ in range(repeats):
        for i, timer in enumerate(timers):
            if timer is not None:
                best[i] = min(best[i], timer.timeit(number) / number)
    return best


def fmt_time(seconds):
    if seconds is None:
        return f"{'-':>10}"
    if seconds < 1e-3:
        return f"{seconds * 1e6:7.2f} us"
    return f"{seconds * 1e3:7.3f} ms"


def fmt_ratio(ours, theirs):
    return f"{ours / theirs:7.2f}" if theirs else f"{'-':>7}"


ROWS = []


def row(label, times, target_np=None, target_torch=None):
    ours, ref_np, ref_torch = times
    record(label, ours, ref_np, ref_torch)
    verdicts = []
    if target_np is not None and ref_np:
        verdicts.append(ours / ref_np <= target_np)
    if target_torch is not None and ref_torch:
        verdicts.append(ours / ref_torch <= target_torch)
    target = " ".join(
        part
        for part in (
            f"np<={target_np}" if target_np is not None else "",
            f"torch<={target_torch}" if target_torch is not None else "",
        )
        if part
    )
    status = ("ok" if all(verdicts) else "MISSED") if verdicts else ""
    ROWS.append((label, all(verdicts)))
    print(
        f"{label:<40} {fmt_time(ours)} {fmt_time(ref_np)} {fmt_time(ref_torch)}"
        f" {fmt_ratio(ours, ref_np)} {fmt_ratio(ours, ref_torch)}  {target:<22} {status}"
    )


def header(title):
    section(title)
    print()
    print(title)
    print(
        f"{'':<40} {'ours':>10} {'numpy':>10} {'torch':>10} {'/numpy':>7} {'/torch':>7}  target"
    )


def main():
    _timing.one_thread(torch)
    rng = np.random.default_rng(0)
    n = 2048
    a = rng.standard_normal((n, n), dtype=np.float32)
    b = rng.standard_normal((n, n), dtype=np.float32)
    v = rng.standard_normal(n, dtype=np.float32)
    ta, tb, tv = Tensor(a), Tensor(b), Tensor(v)
    pa, pb, pv = (torch.from_numpy(x) for x in (a, b, v)) if torch else (None, None, None)

    header("float32, 2048 x 2048")
    row("add, both contiguous",
        median_times([lambda: ta + tb, lambda: a + b, torch and (lambda: pa + pb)]), 1.0, 1.0)
    row("add, [2048, 2048] + [2048]",
        median_times([lambda: ta + tv, lambda: a + v, torch and (lambda: pa + pv)]), 1.0, 1.0)
    at = np.ascontiguousarray(a.T)
    tat = Tensor(at).transpose(0, 1)
    pat = torch.from_numpy(at).t() if torch else None
    row("add, transposed + row-major",
        median_times([lambda: tat + tb, lambda: at.T + b, torch and (lambda: pat + pb)]), 1.5)
    row("mul by a number",
        median_times([lambda: ta * 1.5, lambda: a * np.float32(1.5), torch and (lambda: pa * 1.5)]), 1.0)
    row("div, both contiguous",
        median_times([lambda: ta / tb, lambda: a / b, torch and (lambda: pa / pb)]), 1.0)

    header("half precision, 4M elements")
    for name, np_type, torch_type, op_name, op in (
        ("float16", np.float16, torch and torch.float16, "add", lambda x, y: x + y),
        ("bfloat16", ml_dtypes.bfloat16, torch and torch.bfloat16, "mul", lambda x, y: x * y),
    ):
        ha, hb = a.astype(np_type), b.astype(np_type)
        qa, qb = Tensor(ha, dtype=name), Tensor(hb, dtype=name)
        ra, rb = (pa.to(torch_type), pb.to(torch_type)) if torch else (None, None)
        row(f"{name} {op_name}",
            median_times([lambda: op(qa, qb), lambda: op(ha, hb), torch and (lambda: op(ra, rb))], 21),
            0.2, 1.0)

    header("comparisons and ReLU, float32 4M elements")
    row("a > b",
        median_times([lambda: ta > tb, lambda: a > b, torch and (lambda: pa > pb)]), 1.0)
    row("a == 0.5",
        median_times([lambda: ta == 0.5, lambda: a == np.float32(0.5), torch and (lambda: pa == 0.5)]), 1.0)
    row("relu",
        median_times([lambda: relu(ta), lambda: np.maximum(a, np.float32(0)),
                    torch and (lambda: torch.relu(pa))]), 1.0)

    header("per-operation overhead, t + t on one element")
    one = Tensor(np.ones(1, dtype=np.float32))
    one_np = np.ones(1, dtype=np.float32)
    one_pt = torch.ones(1) if torch else None
    row("requires_grad false",
        tiny_times([lambda: one + one, lambda: one_np + one_np,
                         torch and (lambda: one_pt + one_pt)]), None, 0.5)
    grad_one = [None]
    grad_pt = torch.ones(1, requires_grad=True) if torch else None

    def fresh_graph():
        # Every recorded addition adds a node, so each timing batch starts from
        # a cleared graph, with the leaf made again in it.
        Tensor.clear_graph()
        grad_one[0] = Tensor(np.ones(1, dtype=np.float32), requires_grad=True)

    row("requires_grad true",
        tiny_times([lambda: grad_one[0] + grad_one[0], None, torch and (lambda: grad_pt + grad_pt)],
                        setups=[fresh_graph, None, None]), None, 0.5)

    overhead_rows()

    missed = [label for label, ok in ROWS if not ok]
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))


def overhead_rows():
    """The per-operation cost of the quarn package's Tensor (a subclass the
    extension makes) against quarn_core.Tensor and PyTorch, timed turn by
    turn in one loop so that load from elsewhere hits all three alike."""
    import quarn

    header("per-operation overhead by tensor type, one element")
    core = Tensor(np.ones(1, dtype=np.float32))
    user = quarn.Tensor(np.ones(1, dtype=np.float32))
    one_pt = torch.ones(1) if torch else None
    for label, op in (("t + t", lambda x: x + x), ("t * 2.0", lambda x: x * 2.0),
                      ("exp(t)", lambda x: quarn.exp(x) if not torch or not isinstance(x, torch.Tensor)
                       else torch.exp(x))):
        # More, shorter batches than the other rows: a difference of a few
        # nanoseconds needs the best of many turns on a busy machine.
        t_core, t_user, t_pt = tiny_times([lambda: op(core), lambda: op(user), torch and (lambda: op(one_pt))],
                                          repeats=61, number=4000)
        row(f"quarn.Tensor {label}", (t_user, None, t_pt), None, 0.5)
        print(f"{'':<40} quarn_core.Tensor {fmt_time(t_core)}, quarn.Tensor / quarn_core.Tensor "
              f"{t_user / t_core:5.2f}")


if __name__ == "__main__":
    if sys.argv[1:] == ["--overhead"]:  # this section alone
        _timing.one_thread(torch)
        overhead_rows()
    else:
        main()
