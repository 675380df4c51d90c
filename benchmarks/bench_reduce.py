"""Reductions against NumPy and PyTorch, one thread.

Run after building the module:  python benchmarks/bench_reduce.py

Sums: of 4M float32 elements, over each axis of a 2048 x 2048 float32
array, and of 4M float16 and bfloat16 elements. Then max, argmax and
logsumexp over each axis of the same float32 array (NumPy has no
logsumexp: its row is the usual max-shifted formula written in NumPy).
Figures are medians over rounds in which the contenders take turns; ratios
are our time divided by theirs (below 1 means we are faster). A row whose
call this build does not offer yet (a method of Tensor or a function of
quarn by that name, or its axis argument) is timed instead by the native
test program (`test_reduce --time OP AXIS`, found in build/*/, marked
"native": its own median over 31 calls, taken just before NumPy's and
PyTorch's rounds rather than in turn with them, and without the Python
call), or skipped when there is none. Before timing, each of our results
that Python can reach is checked against NumPy's.

Targets:
  float32 sum, all elements and over either axis   <= 1.0 vs NumPy
"""


import glob
import os
import subprocess

import ml_dtypes
import numpy as np

import quarn
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


def ours_call(t, name, kwargs):
    """Our reduction as a function of no arguments, or None where this build
    lacks it: a Tensor method first, then a function of the package."""
    method = getattr(t, name, None)
    if method is None:
        function = getattr(quarn, name, None)
        if function is None:
            return None
        method = lambda **kw: function(t, **kw)  # noqa: E731
    try:
        method(**kwargs)
    except TypeError:  # no such argument yet
        return None
    return lambda: method(**kwargs)


def native_time(name, axis):
    """The native test program's median time of `name` over `axis`, or None."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # include_hidden: the default build directory is named after the venv.
    for program in sorted(glob.glob(os.path.join(root, "build", "*", "test_reduce"), include_hidden=True)):
        done = subprocess.run([program, "--time", name, str(axis)], capture_output=True, text=True)
        if done.returncode == 0:
            return float(done.stdout)
    return None


def as_numpy(result):
    return np.asarray(result.to_numpy()).astype(np.float64)


def np_logsumexp(x, axis):
    m = x.max(axis=axis, keepdims=True)
    return (m + np.log(np.exp(x - m).sum(axis=axis, keepdims=True))).squeeze(axis)


def check_sum(label, name, x, kwargs, got):
    exact = x.astype(np.float64).sum(**kwargs)
    scale = np.abs(x.astype(np.float64)).sum(**kwargs)
    err = np.abs(got - exact)
    eps = {"float32": 2.0**-23, "float16": 2.0**-10, "bfloat16": 2.0**-7}[name]
    assert np.all(err <= 64 * 2.0**-24 * scale + eps * np.abs(exact)), f"{label}: result off"


def main():
    one_thread(torch)
    rng = np.random.default_rng(0)
    a = rng.standard_normal((2048, 2048), dtype=np.float32)
    # Logits beyond exp's float32 range (above 88), as logsumexp must take
    # them, spread so that no exp(x - max) is subnormal.
    logits = a * 4 + 100

    print()
    print(f"{'':<40} {'ours':>10} {'numpy':>10} {'torch':>10} {'/numpy':>7} {'/torch':>7}  target")
    missed = []

    def row(label, ours, theirs_np, theirs_torch, target):
        times = median_times([ours, theirs_np, theirs_torch])
        record(label, *times)
        mine, ref_np, ref_torch = times
        ok = target is None or mine / ref_np <= target
        if not ok:
            missed.append(label)
        target_text = f"np<={target}" if target is not None else ""
        print(f"{label:<40} {fmt_time(mine)} {fmt_time(ref_np)} {fmt_time(ref_torch)}"
              f" {fmt_ratio(mine, ref_np)} {fmt_ratio(mine, ref_torch)}  {target_text:<8}"
              f" {('ok' if ok else 'MISSED') if target is not None else ''}")

    section("sums")
    sums = [
        ("float32, 4M elements", np.float32, "float32", torch and torch.float32, {}, 1.0),
        ("float32 2048 x 2048, axis 0", np.float32, "float32", torch and torch.float32, {"axis": 0}, 1.0),
        ("float32 2048 x 2048, axis 1", np.float32, "float32", torch and torch.float32, {"axis": 1}, 1.0),
        ("float16, 4M elements", np.float16, "float16", torch and torch.float16, {}, None),
        ("bfloat16, 4M elements", ml_dtypes.bfloat16, "bfloat16", torch and torch.bfloat16, {}, None),
    ]
    for label, np_type, name, torch_type, kwargs, target in sums:
        x = a.astype(np_type)
        t = Tensor(x, dtype=name)
        ours = ours_call(t, "sum", kwargs)
        if ours is None:
            print(f"{label:<40} skipped: this build has no Tensor.sum({', '.join(f'{k}=' for k in kwargs)})")
            continue
        check_sum(label, name, x, kwargs, as_numpy(ours()))
        dim = kwargs.get("axis")
        pt = torch.from_numpy(a).to(torch_type) if torch else None
        theirs_torch = torch and ((lambda: pt.sum()) if dim is None else (lambda: pt.sum(dim=dim)))
        row(label, ours, lambda: x.sum(**kwargs), theirs_torch, target)

    section("selections and logsumexp")
    pt = torch.from_numpy(a) if torch else None
    pt_logits = torch.from_numpy(logits) if torch else None
    others = [
        ("max", a, pt, lambda x, ax: x.max(axis=ax), lambda p, d: p.amax(dim=d)),
        ("argmax", a, pt, lambda x, ax: x.argmax(axis=ax), lambda p, d: p.argmax(dim=d)),
        ("logsumexp", logits, pt_logits, np_logsumexp, lambda p, d: p.logsumexp(dim=d)),
    ]
    for name, x, p, numpy_fn, torch_fn in others:
        t = Tensor(x, dtype="float32")
        for axis in (0, 1):
            label = f"{name} 2048 x 2048, axis {axis}"
            ours = ours_call(t, name, {"axis": axis})
            if ours is None:
                seconds = native_time(name, axis)
                if seconds is None:
                    print(f"{label:<40} skipped: this build has no {name}(axis=)")
                    continue
                theirs_torch = torch and (lambda p=p, axis=axis: torch_fn(p, axis))
                _, ref_np, ref_torch = median_times([None, lambda x=x, axis=axis: numpy_fn(x, axis), theirs_torch])
                record(label + " (native)", seconds, ref_np, ref_torch)
                label += " (native)"
                print(f"{label:<40} {fmt_time(seconds)} {fmt_time(ref_np)} {fmt_time(ref_torch)}"
                      f" {fmt_ratio(seconds, ref_np)} {fmt_ratio(seconds, ref_torch)}")
                continue
            want = numpy_fn(x, axis).astype(np.float64)
            got = as_numpy(ours())
            if name == "logsumexp":
                assert np.allclose(got, want, rtol=1e-6, atol=1e-5), f"{label}: result off"
            else:
                assert np.array_equal(got, want), f"{label}: result differs from NumPy's"
            theirs_torch = torch and (lambda p=p, axis=axis: torch_fn(p, axis))
            row(label, ours, lambda x=x, axis=axis: numpy_fn(x, axis), theirs_torch, None)
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
