"""exp, log, tanh and sigmoid over 4M float32 elements against NumPy and
PyTorch, one thread.

Run after building the module:  python benchmarks/bench_maps.py

NumPy's sigmoid is 1 / (1 + np.exp(-x)); PyTorch's is torch.sigmoid. The
inputs are uniform on [-10, 10] (log: on [0.001, 10]); tanh and sigmoid are
also timed where their results saturate or underflow: tanh on [9, 20] (1 to
the last bit), sigmoid on [-100, -87] (subnormal results and zero, which
cost some implementations a microcode assist per operation). Figures are medians
over rounds in which the contenders take turns; ratios are our time divided
by theirs (below 1 means we are faster); the whole set is measured in three
passes and each contender keeps its best median.

A map that Tensor has no method for yet is measured in the engine itself:
the native test program test_maps_accuracy, from a build made with the C++
tests (`make build`), times the engine operation on the same number of
elements with `--bench` (a fresh result each call, as from Python), and
that row is marked "(engine)". Such a row leaves out only the Python call,
a few microseconds against milliseconds.

Then the maps and element-wise operations added for models (sqrt to cos,
the activations, clip, pow, maximum, where), each against NumPy where it has
the function and PyTorch; `--more` runs only these.

Targets:
  exp, log, 4M float32                    <= 1.0 vs PyTorch
  tanh, sigmoid, 4M float32, every range  <= 1.0 vs the faster of NumPy and PyTorch
  gelu forward+backward, 4M float32       <= 1.0 vs PyTorch
"""

import re
import subprocess
from pathlib import Path

import numpy as np

import quarn_core
from _timing import median_times
from _record import record, section

Tensor = quarn_core.Tensor

try:
    import torch
except ImportError:  # the PyTorch column is then left empty
    torch = None

N = 1 << 22
TARGET = 1.0
PASSES = 3
NATIVE_HEADER = ""
ROOT = Path(__file__).resolve().parent.parent




def native_engine_times():
    """Seconds per call of each engine operation on the active kernel table,
    from the C++ timing mode, or {} when no build with the C++ tests is at
    hand."""
    candidates = [p for p in ROOT.glob("build/*/test_maps_accuracy")
                  if p.parent.name not in ("asan", "tsan")]
    if not candidates:
        return {}
    program = max(candidates, key=lambda p: p.stat().st_mtime)
    out = subprocess.run([str(program), "--bench"], capture_output=True, text=True, check=True).stdout
    global NATIVE_HEADER
    NATIVE_HEADER = out.splitlines()[0] if out else ""
    times = {}
    for name, ns in re.findall(r"^(\w+)\s+operation\s+([\d.]+) ns/element", out, re.M):
        times[name] = float(ns) * 1e-9 * N
    return times


def lower(a, b):
    return b if a is None else a if b is None else min(a, b)


def fmt(seconds):
    return f"{seconds * 1e3:7.3f} ms" if seconds else f"{'-':>10}"


def ratio(ours, theirs):
    return f"{ours / theirs:7.2f}" if ours and theirs else f"{'-':>7}"


def main():
    quarn_core._functions.set_num_threads(1)  # one thread each, like NumPy's maps
    if torch is not None:
        torch.set_num_threads(1)
        print(f"PyTorch {torch.__version__}, threads={torch.get_num_threads()}")
    print(f"NumPy {np.__version__}")
    rng = np.random.default_rng(0)
    wide = rng.uniform(-10, 10, N).astype(np.float32)
    positive = rng.uniform(1e-3, 10, N).astype(np.float32)
    saturating = rng.uniform(9, 20, N).astype(np.float32)
    underflowing = rng.uniform(-100, -87, N).astype(np.float32)

    def np_sigmoid(a):
        with np.errstate(over="ignore"):  # e^100 overflows to inf, which is fine here
            return 1 / (1 + np.exp(-a))

    # (row label, map, input, NumPy's, PyTorch's, target against the faster
    # of the two rather than PyTorch alone)
    cases = (
        ("exp", "exp", wide, np.exp, torch and torch.exp, False),
        ("log", "log", positive, np.log, torch and torch.log, False),
        ("tanh", "tanh", wide, np.tanh, torch and torch.tanh, True),
        ("tanh [9, 20]", "tanh", saturating, np.tanh, torch and torch.tanh, True),
        ("sigmoid", "sigmoid", wide, np_sigmoid, torch and torch.sigmoid, True),
        ("sigmoid [-100, -87]", "sigmoid", underflowing, np_sigmoid, torch and torch.sigmoid, True),
    )
    # Rows with a Tensor method time all three contenders turn by turn. The
    # engine rows come from a separate program, so the whole set is measured
    # in a few passes spread over time and each contender keeps its best
    # median, which evens out load from elsewhere on the machine.
    best = {}
    for _ in range(PASSES):
        native = None
        for label, name, data, np_fn, torch_fn, _ in cases:
            method = getattr(Tensor(data), name, None)
            tt = torch.from_numpy(data) if torch else None
            ours, ref_np, ref_torch = median_times([method, lambda: np_fn(data),
                                                    torch_fn and (lambda: torch_fn(tt))], rounds=11)
            if method is None:
                if native is None:
                    native = native_engine_times()
                ours = native.get(name)
            prev = best.get(label, (None, None, None))
            best[label] = tuple(map(lower, prev, (ours, ref_np, ref_torch)))

    section("transcendental maps, 4M float32")
    if NATIVE_HEADER:
        print(f"engine rows: {NATIVE_HEADER}")
    print()
    print(f"{'':<34} {'ours':>10} {'numpy':>10} {'torch':>10} {'/numpy':>7} {'/torch':>7}  target")
    missed = []
    for case, name, data, _, _, vs_faster in cases:
        ours, ref_np, ref_torch = best[case]
        label = f"{case}, 4M float32"
        if getattr(Tensor(data[:1]), name, None) is None:
            label += " (engine)"
        if ours is None:
            print(f"{label:<34} {'-':>10} {fmt(ref_np)} {fmt(ref_torch)}   (not measurable: no Tensor.{name} "
                  f"and no native build)")
            continue
        record(label, ours, ref_np, ref_torch)
        yardstick = lower(ref_np, ref_torch) if vs_faster else ref_torch
        ok = yardstick is None or ours / yardstick <= TARGET
        if not ok:
            missed.append(label)
        target = f"{'faster' if vs_faster else 'torch'}<={TARGET}"
        print(f"{label:<34} {fmt(ours)} {fmt(ref_np)} {fmt(ref_torch)} {ratio(ours, ref_np)} "
              f"{ratio(ours, ref_torch)}  {target} {'ok' if ok else 'MISSED'}")
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))


def more_maps():
    """The maps, activations and element-wise operations added for models,
    4M float32 on one thread against NumPy (where it has the function) and
    PyTorch, each row measured in three passes (best median of each
    contender); and gelu forward and backward, whose target is PyTorch's
    time (medians over the three passes)."""
    import quarn
    import quarn.nn.functional as F

    rng = np.random.default_rng(1)
    wide = rng.uniform(-10, 10, N).astype(np.float32)
    positive = rng.uniform(1e-3, 10, N).astype(np.float32)
    other = rng.uniform(-10, 10, N).astype(np.float32)
    cond = rng.random(N) < 0.5
    tf = torch and torch.nn.functional

    def np_silu(a):
        with np.errstate(over="ignore"):
            return a / (1 + np.exp(-a))

    def np_softplus(a):
        return np.where(a > 20, a, np.logaddexp(0, a))

    # (label, ours, input, NumPy's, PyTorch's); each takes the input array
    # (ours a Tensor, PyTorch's a tensor, NumPy's the array).
    cases = [
        ("sqrt", quarn.sqrt, positive, np.sqrt, torch and torch.sqrt),
        ("rsqrt", quarn.rsqrt, positive, lambda a: 1 / np.sqrt(a), torch and torch.rsqrt),
        ("square", quarn.square, wide, np.square, torch and torch.square),
        ("sign", quarn.sign, wide, np.sign, torch and torch.sign),
        ("exp2", quarn.exp2, wide, np.exp2, torch and torch.exp2),
        ("log2", quarn.log2, positive, np.log2, torch and torch.log2),
        ("log1p", quarn.log1p, positive, np.log1p, torch and torch.log1p),
        ("expm1", quarn.expm1, wide, np.expm1, torch and torch.expm1),
        ("sin", quarn.sin, wide, np.sin, torch and torch.sin),
        ("cos", quarn.cos, wide, np.cos, torch and torch.cos),
        ("silu", F.silu, wide, np_silu, tf and tf.silu),
        ("gelu", F.gelu, wide, None, tf and tf.gelu),
        ("gelu tanh", lambda t: F.gelu(t, approximate="tanh"), wide, None,
         tf and (lambda t: tf.gelu(t, approximate="tanh"))),
        ("leaky_relu", F.leaky_relu, wide, lambda a: np.where(a > 0, a, 0.01 * a), tf and tf.leaky_relu),
        ("elu", F.elu, wide, lambda a: np.where(a > 0, a, np.expm1(a)), tf and tf.elu),
        ("softplus", F.softplus, wide, np_softplus, tf and tf.softplus),
        ("hardtanh", F.hardtanh, wide, lambda a: np.clip(a, -1, 1), tf and tf.hardtanh),
        ("clip", lambda t: quarn.clip(t, -1.0, 2.0), wide, lambda a: np.clip(a, -1, 2),
         torch and (lambda t: torch.clamp(t, -1.0, 2.0))),
        ("t ** 3", lambda t: quarn.pow(t, 3.0), wide, lambda a: a ** 3, torch and (lambda t: t ** 3)),
        ("t ** 1.7", lambda t: quarn.pow(t, 1.7), positive, lambda a: a ** np.float32(1.7),
         torch and (lambda t: t ** 1.7)),
        ("2.5 ** t", lambda t: quarn.pow(2.5, t), wide, lambda a: np.float32(2.5) ** a, torch and (lambda t: 2.5 ** t)),
    ]
    other_t, other_tt = Tensor(other), torch and torch.from_numpy(other)
    cond_t, cond_tt = Tensor(cond, dtype="bool"), torch and torch.from_numpy(cond)
    pairs = [
        ("maximum", lambda t: quarn.maximum(t, other_t), lambda a: np.maximum(a, other),
         torch and (lambda t: torch.maximum(t, other_tt))),
        ("pow (tensors)", lambda t: quarn.pow(t, other_t), lambda a: np.power(a, other),
         torch and (lambda t: torch.pow(t, other_tt))),
        ("where", lambda t: quarn.where(cond_t, t, other_t), lambda a: np.where(cond, a, other),
         torch and (lambda t: torch.where(cond_tt, t, other_tt))),
    ]
    cases += [(label, ours, positive, np_fn, torch_fn) for label, ours, np_fn, torch_fn in pairs]

    best = {}
    for _ in range(PASSES):
        for label, ours_fn, data, np_fn, torch_fn in cases:
            t, tt = Tensor(data), torch and torch.from_numpy(data)
            with np.errstate(all="ignore"):
                times = median_times([lambda: ours_fn(t), np_fn and (lambda: np_fn(data)),
                                      torch_fn and (lambda: torch_fn(tt))], rounds=7)
            best[label] = tuple(map(lower, best.get(label, (None, None, None)), times))

    # gelu forward and backward: the result's gradient seeded with ones on
    # both sides. Before each timed step, untimed, each side gets a fresh
    # leaf (ours: a new graph; PyTorch: no stored gradient), so that neither
    # adds into a gradient left from the step before. The contenders take
    # turns; min and median of 15 rounds in each of three passes.
    import statistics
    import time

    def ours_setup():
        Tensor.clear_graph()
        return quarn.Tensor(wide, requires_grad=True)

    def ours_step(x):
        F.gelu(x).backward()

    xt = torch and torch.from_numpy(wide.copy()).requires_grad_()

    def torch_setup():
        xt.grad = None
        return xt

    def torch_step(x):
        y = tf.gelu(x)
        y.backward(torch.ones_like(y))

    contenders = [("ours", ours_setup, ours_step)] + ([("torch", torch_setup, torch_step)] if torch else [])
    samples = {name: [] for name, _, _ in contenders}
    for _ in range(PASSES):
        for r in range(16):
            for name, setup, run in contenders[r % 2:] + contenders[:r % 2]:
                x = setup()
                t0 = time.perf_counter()
                run(x)
                if r:  # the first round warms up
                    samples[name].append(time.perf_counter() - t0)
    Tensor.clear_graph()
    step = {name: (min(v), statistics.median(v)) for name, v in samples.items()}

    section("maps and element-wise operations for models, 4M float32")
    print()
    print(f"{'':<34} {'ours':>10} {'numpy':>10} {'torch':>10} {'/numpy':>7} {'/torch':>7}")
    for label, *_ in cases:
        ours, ref_np, ref_torch = best[label]
        record(f"{label}, 4M float32", ours, ref_np, ref_torch)
        print(f"{label + ', 4M float32':<34} {fmt(ours)} {fmt(ref_np)} {fmt(ref_torch)} {ratio(ours, ref_np)} "
              f"{ratio(ours, ref_torch)}")
    ours, theirs = step["ours"][1], step.get("torch", (None, None))[1]
    record("gelu forward+backward, 4M float32", ours, None, theirs)
    ok = theirs is None or ours / theirs <= TARGET
    print(f"{'gelu forward+backward, 4M float32':<34} {fmt(ours)} {fmt(None)} {fmt(theirs)} {ratio(None, None)} "
          f"{ratio(ours, theirs)}  torch<={TARGET} {'ok' if ok else 'MISSED'} (medians)")
    if theirs:
        print(f"{'  the same, fastest rounds':<34} {fmt(step['ours'][0])} {fmt(None)} {fmt(step['torch'][0])} "
              f"{ratio(None, None)} {ratio(step['ours'][0], step['torch'][0])}")


if __name__ == "__main__":
    import sys

    if sys.argv[1:] != ["--more"]:
        main()
    more_maps()
