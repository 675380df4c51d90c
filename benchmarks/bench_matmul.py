"""Single-thread matrix-product speed of quarn against NumPy (OpenBLAS) and
PyTorch, measured in the same run.

Prints GFLOP/s for square, tall and flat float32 products and for
transposed operands, the ratios ours/NumPy and ours/PyTorch, and the share
of the core's FMA peak (measured by a small probe); then a batch of small
products and half-precision products. bfloat16 runs on our paths
(the dot-product instruction, the widened float32 one and the opt-in AMX
tiles) beside the default choice, with each one's time against our float32 product of the
same size. Every figure is the best of several repeats.

Run from the repository after building the module:  python benchmarks/bench_matmul.py

With --thread-time the float32 products are timed by the calling thread's
CPU time instead of the wall clock. Every contender runs its product on the
calling thread here (one thread each), so on a machine shared with other
work this leaves out the time the thread waits for a core, which otherwise
lands on whichever contender happened to be running.
"""

import itertools
import os
import sys

# OpenBLAS picks its kernels and blocking from these variables when they are
# set; the comparison is against what NumPy does on this machine by itself,
# so re-run without them before NumPy is imported.
_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if any(name in os.environ for name in _OVERRIDES):
    env = {k: v for k, v in os.environ.items() if k not in _OVERRIDES}
    os.execve(sys.executable, [sys.executable, *sys.argv], env)

import re  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import ml_dtypes  # noqa: E402,F401  (registers numpy's "bfloat16")
import numpy as np  # noqa: E402
import torch  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

import quarn_core  # noqa: E402
from quarn_core import Tensor  # noqa: E402
from _record import record, section  # noqa: E402

# Clock of the float32 products (see the module's description).
FLOAT32_CLOCK = time.thread_time if "--thread-time" in sys.argv[1:] else time.perf_counter


def best_times(fns, repeats, min_total=0.3, clock=time.perf_counter):
    """Best time of one call of each function. The calls take turns, round
    after round, so that a burst of load from elsewhere on the machine hits
    every contender alike instead of whichever happened to be running.

    Each round takes the next ordering of the contenders, so that no
    contender always runs right after the same other one: a large result freed by one library can
    leave the allocator handing the next one fresh pages, which on a virtual
    machine may first have to be backed by the host (seen here: 16 MiB of
    them taking over 100 ms)."""
    for fn in fns:
        fn()  # warm caches, packing buffers and lazy initialisation
    best = [float("inf")] * len(fns)
    orders = list(itertools.permutations(range(len(fns))))
    rounds, start = 0, time.perf_counter()
    while rounds < repeats or (time.perf_counter() - start < min_total and rounds < 50 * repeats):
        for i in orders[rounds % len(orders)]:
            t0 = clock()
            fns[i]()
            best[i] = min(best[i], clock() - t0)
        rounds += 1
    return best


def measured_peak():
    """One core's FMA rate in GFLOP/s, measured by a probe compiled for this
    CPU (see probes/fma_peak.cpp), or None without a compiler."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "probes", "fma_peak.cpp")
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "fma_peak")
        try:
            subprocess.run(["g++", "-O2", "-march=native", "-o", exe, source], check=True,
                           capture_output=True)
            out = subprocess.run([exe], check=True, capture_output=True, text=True).stdout
        except (OSError, subprocess.CalledProcessError):
            return None, None
    rate, lanes, _ = out.split()
    return float(rate), int(lanes)


def l1_l2():
    """L1d and L2 sizes per core as lscpu -C reports them."""
    try:
        out = subprocess.run(["lscpu", "-C"], capture_output=True, text=True, check=False).stdout
    except OSError:
        return None
    sizes = dict(re.findall(r"^(L1d|L2)\s+(\S+)", out, re.M))
    return ", ".join(f"{name} {size}" for name, size in sizes.items()) or None


def gflops(m, n, k, seconds, count=1):
    return 2.0 * m * n * k * count / seconds / 1e9


def row(label, ours, numpy_rate, torch_rate, peak=None):
    record(label, ours, numpy_rate, torch_rate, unit="GFLOP/s")
    cells = [f"{label:<28}", f"{ours:8.1f}"]
    cells.append(f"{numpy_rate:8.1f}" if numpy_rate is not None else f"{'-':>8}")
    cells.append(f"{torch_rate:8.1f}" if torch_rate is not None else f"{'-':>8}")
    cells.append(f"{ours / numpy_rate:8.2f}" if numpy_rate else f"{'-':>8}")
    cells.append(f"{ours / torch_rate:8.2f}" if torch_rate else f"{'-':>8}")
    cells.append(f"{ours / peak:7.0%}" if peak else f"{'-':>7}")
    print(" ".join(cells))


def header(title):
    section(title)
    print()
    print(title)
    print(
        f"{'':<28} {'ours':>8} {'numpy':>8} {'torch':>8} {'/numpy':>8} {'/torch':>8} {'peak':>7}"
    )


def product_row(label, m, k, n, rng, peak, repeats, left_t=False, right_t=False):
    """One float32 product (m x k) @ (k x n) by all three; an operand stored
    transposed is handed over as a transposed view of a row-major array."""
    a = rng.standard_normal((k, m) if left_t else (m, k), dtype=np.float32)
    b = rng.standard_normal((n, k) if right_t else (k, n), dtype=np.float32)
    ta, tb = Tensor(a), Tensor(b)
    pa, pb = torch.from_numpy(a), torch.from_numpy(b)
    if left_t:
        a, ta, pa = a.T, ta.transpose(0, 1), pa.t()
    if right_t:
        b, tb, pb = b.T, tb.transpose(0, 1), pb.t()
    times = best_times([lambda: ta @ tb, lambda: a @ b, lambda: pa @ pb], repeats, clock=FLOAT32_CLOCK)
    ours, ref_np, ref_torch = (gflops(m, n, k, t) for t in times)
    row(label, ours, ref_np, ref_torch, peak)


def main():
    quarn_core._functions.set_num_threads(1)  # one thread each (bench_threads.py compares the defaults)
    torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    peak, lanes = measured_peak()

    with threadpool_limits(limits=1):
        print("NumPy BLAS:")
        for lib in threadpool_info():
            print(
                f"  {lib.get('internal_api')} {lib.get('version')}"
                f" kernel={lib.get('architecture')} threads={lib.get('num_threads')}"
                f" ({os.path.basename(lib.get('filepath', ''))})"
            )
        print(f"PyTorch {torch.__version__}, threads={torch.get_num_threads()}")
        print(f"Caches per core: {l1_l2()}")
        if peak:
            print(f"Core peak: {peak:.1f} GFLOP/s, measured (8 chains of {lanes}-lane FMAs,"
                  " best of 300 short runs)")
        print("GFLOP/s of (m x k) @ (k x n), single thread, best of several repeats"
              + (" (float32: thread CPU time)" if FLOAT32_CLOCK is time.thread_time else ""))

        header("square float32 products")
        for n in (256, 512, 1024, 2048, 4096):
            # The best of several rounds: on a machine shared with other
            # work a single round of the largest size can lose a third.
            repeats = {256: 40, 512: 20, 1024: 10, 2048: 6}.get(n, 5)
            product_row(f"{n} x {n} x {n}", n, n, n, rng, peak, repeats)

        header("tall and flat float32 products")
        product_row("4096 x 64 x 4096", 4096, 64, 4096, rng, peak, 10)
        product_row("64 x 4096 x 4096", 64, 4096, 4096, rng, peak, 10)
        product_row("4096 x 4096 x 64", 4096, 4096, 64, rng, peak, 10)

        header("transposed operands")
        for n in (1024, 2048):
            repeats = 10 if n == 1024 else 6
            product_row(f"A^T, {n}", n, n, n, rng, peak, repeats, left_t=True)
            product_row(f"B^T, {n}", n, n, n, rng, peak, repeats, right_t=True)
            product_row(f"A^T B^T, {n}", n, n, n, rng, peak, repeats, left_t=True, right_t=True)

        header("512 batched 32 x 32 products")
        a = rng.standard_normal((512, 32, 32), dtype=np.float32)
        b = rng.standard_normal((512, 32, 32), dtype=np.float32)
        ta, tb = Tensor(a), Tensor(b)
        pa, pb = torch.from_numpy(a), torch.from_numpy(b)
        times = best_times([lambda: ta @ tb, lambda: a @ b, lambda: pa @ pb], 20)
        ours, ref_np, ref_torch = (gflops(32, 32, 32, t, 512) for t in times)
        row("512 x (32 x 32 x 32)", ours, ref_np, ref_torch, peak)

        header("half precision (vs PyTorch, same dtype)")
        dot_mode = quarn_core._functions.bf16_dot_mode
        for n in (512, 1024, 2048):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            fa, fb = Tensor(a), Tensor(b)
            for name, np_type, torch_type in (
                ("bfloat16", ml_dtypes.bfloat16, torch.bfloat16),
                ("float16", np.float16, torch.float16),
            ):
                ta = Tensor(a.astype(np_type), dtype=name)
                tb = Tensor(b.astype(np_type), dtype=name)
                pa = torch.from_numpy(a).to(torch_type)
                pb = torch.from_numpy(b).to(torch_type)
                # PyTorch's half products run at about 1 GFLOP/s on CPUs
                # without half-precision instructions: one call of theirs at
                # 2048 takes seconds there, so a slow first call is the figure.
                t0 = time.perf_counter()
                pa @ pb
                first = time.perf_counter() - t0
                theirs = [] if first > 0.5 else [lambda: pa @ pb]
                if name == "bfloat16":
                    # Both of our paths and our float32 product of the same
                    # size, in the same rounds as PyTorch's.
                    mine = [lambda: in_dot_mode(dot_mode, "auto", lambda: ta @ tb),
                            lambda: in_dot_mode(dot_mode, "on", lambda: ta @ tb),
                            lambda: in_dot_mode(dot_mode, "off", lambda: ta @ tb),
                            lambda: fa @ fb,
                            lambda: in_dot_mode(dot_mode, "amx", lambda: ta @ tb)]
                else:
                    mine = [lambda: ta @ tb]
                times = best_times(mine + theirs, {512: 10, 1024: 5}.get(n, 3))
                ref_torch = gflops(n, n, n, times[-1] if theirs else first)
                ours = [gflops(n, n, n, t) for t in times[:len(mine)]]
                row(f"{name} {n}", ours[0], None, ref_torch, peak)
                if name == "bfloat16":
                    row("  dot path", ours[1], None, ref_torch, peak)
                    row("  widened path", ours[2], None, ref_torch, peak)
                    row("  AMX tiles (opt-in)", ours[4], None, ref_torch, peak)
                    print(f"  {'time / our float32 ' + str(n):<26} default {ours[3] / ours[0]:5.2f}, "
                          f"dot path {ours[3] / ours[1]:5.2f}, widened {ours[3] / ours[2]:5.2f}, "
                          f"AMX {ours[3] / ours[4]:5.2f}")


def in_dot_mode(dot_mode, mode, fn):
    """fn() with bfloat16 products in the given path mode."""
    before = dot_mode(mode)
    try:
        return fn()
    finally:
        dot_mode(before)


if __name__ == "__main__":
    main()
