"""Sums against NumPy and PyTorch, one thread.

Run after building the module:  python benchmarks/bench_reduce.py

The sum of 4M float32 elements and the sums over each axis of a 2048 x 2048
float32 array, and the full sum of 4M float16 and bfloat16 elements. Figures
are medians over rounds in which the contenders take turns; ratios are our
time divided by theirs (below 1 means we are faster). A row whose call this
build of quarn_core does not offer yet (Tensor.sum, or its axis argument) is
skipped. Before timing, each of our results is checked against NumPy's
float64 sum.

Targets:
  float32 sum, all elements and over either axis   <= 1.0 vs NumPy
"""


import ml_dtypes
import numpy as np

import quarn_core
from _timing import median_times, one_thread
from _record import record, section

Tensor = quarn_core.Tensor

try:
    import torch
except ImportError:  # the PyTorch column is then left empty
    torch = None




def fmt_time(seconds):
    return f"{seconds * 1e3:7.3f} ms" if seconds else f"{'-':>10}"


def fmt_ratio(ours, theirs):
    return f"{ours / theirs:7.2f}" if theirs else f"{'-':>7}"


def ours_call(t, kwargs):
    """Our sum as a function of no arguments, or None where this build lacks it."""
    method = getattr(t, "sum", None)
    if method is None:
        return None
    try:
        method(**kwargs)
    except TypeError:  # no such argument yet
        return None
    return lambda: method(**kwargs)


def as_numpy(result):
    return np.asarray(result.to_numpy()).astype(np.float64)


def main():
    one_thread(torch)
    rng = np.random.default_rng(0)
    a = rng.standard_normal((2048, 2048), dtype=np.float32)

    section("sums")
    print()
    print(f"{'':<34} {'ours':>10} {'numpy':>10} {'torch':>10} {'/numpy':>7} {'/torch':>7}  target")
    missed = []
    cases = [
        ("float32, 4M elements", np.float32, "float32", torch and torch.float32, {}, 1.0),
        ("float32 2048 x 2048, axis 0", np.float32, "float32", torch and torch.float32, {"axis": 0}, 1.0),
        ("float32 2048 x 2048, axis 1", np.float32, "float32", torch and torch.float32, {"axis": 1}, 1.0),
        ("float16, 4M elements", np.float16, "float16", torch and torch.float16, {}, None),
        ("bfloat16, 4M elements", ml_dtypes.bfloat16, "bfloat16", torch and torch.bfloat16, {}, None),
    ]
    for label, np_type, name, torch_type, kwargs, target in cases:
        x = a.astype(np_type)
        t = Tensor(x, dtype=name)
        ours = ours_call(t, kwargs)
        if ours is None:
            print(f"{label:<34} skipped: this build has no Tensor.sum({', '.join(f'{k}=' for k in kwargs)})")
            continue
        exact = x.astype(np.float64).sum(**kwargs)
        scale = np.abs(x.astype(np.float64)).sum(**kwargs)
        err = np.abs(as_numpy(ours()) - exact)
        eps = {"float32": 2.0**-23, "float16": 2.0**-10, "bfloat16": 2.0**-7}[name]
        assert np.all(err <= 64 * 2.0**-24 * scale + eps * np.abs(exact)), f"{label}: result off"
        dim = kwargs.get("axis")
        pt = torch.from_numpy(a).to(torch_type) if torch else None
        theirs_torch = torch and ((lambda: pt.sum()) if dim is None else (lambda: pt.sum(dim=dim)))
        times = median_times([ours, lambda: x.sum(**kwargs), theirs_torch])
        record(label, *times)
        mine, ref_np, ref_torch = times
        ok = target is None or mine / ref_np <= target
        if not ok:
            missed.append(label)
        target_text = f"np<={target}" if target is not None else ""
        print(f"{label:<34} {fmt_time(mine)} {fmt_time(ref_np)} {fmt_time(ref_torch)}"
              f" {fmt_ratio(mine, ref_np)} {fmt_ratio(mine, ref_torch)}  {target_text:<8}"
              f" {('ok' if ok else 'MISSED') if target is not None else ''}")
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
