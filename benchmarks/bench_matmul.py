"""Single-thread matrix-product speed of quarn against NumPy (OpenBLAS) and
PyTorch, measured in the same run.

Prints GFLOP/s for square float32 products, the ratios ours/NumPy and
ours/PyTorch, and the fraction of the core's peak FLOP rate; then a
transposed left operand, a batch of small products, and half-precision
products against PyTorch. Every figure is the best of several repeats.

Run from the repository after building the module:  python benchmarks/bench_matmul.py
"""

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
import time  # noqa: E402

import ml_dtypes  # noqa: E402,F401  (registers numpy's "bfloat16")
import numpy as np  # noqa: E402
import torch  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

from quarn_core import Tensor  # noqa: E402
from _record import record, section  # noqa: E402


def best_times(fns, repeats, min_total=0.3):
    """Best time of one call of each function. The calls take turns, round
    after round, so that a burst of load from elsewhere on the machine hits
    every contender alike instead of whichever happened to be running."""
    for fn in fns:
        fn()  # warm caches, packing buffers and lazy initialisation
    best = [float("inf")] * len(fns)
    rounds, start = 0, time.perf_counter()
    while rounds < repeats or (time.perf_counter() - start < min_total and rounds < 50 * repeats):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t0)
        rounds += 1
    return best


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def clock_ghz():
    """The core clock: lscpu's maximum if it reports one, else the current
    frequency from /proc/cpuinfo."""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        m = re.search(r"^CPU max MHz:\s*([\d.]+)", out, re.M)
        if m:
            return float(m.group(1)) / 1000.0, "lscpu max"
    except OSError:
        pass
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^cpu MHz\s*:\s*([\d.]+)", f.read(), re.M)
            if m:
                return float(m.group(1)) / 1000.0, "/proc/cpuinfo"
    except OSError:
        pass
    return None, "unknown"


def peak_flops_per_cycle(flags):
    # Two FMA pipes, each a multiply and an add per lane per cycle.
    if "avx512f" in flags:
        return 64, "AVX-512 (2 x 16 lanes x FMA)"
    if "avx2" in flags and "fma" in flags:
        return 32, "AVX2+FMA (2 x 8 lanes x FMA)"
    return 8, "SSE (4 lanes, mul + add)"


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


def main():
    torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    flags = cpu_flags()
    per_cycle, isa = peak_flops_per_cycle(flags)
    ghz, source = clock_ghz()
    peak = per_cycle * ghz if ghz else None

    with threadpool_limits(limits=1):
        print("NumPy BLAS:")
        for lib in threadpool_info():
            print(
                f"  {lib.get('internal_api')} {lib.get('version')}"
                f" kernel={lib.get('architecture')} threads={lib.get('num_threads')}"
                f" ({os.path.basename(lib.get('filepath', ''))})"
            )
        print(f"PyTorch {torch.__version__}, threads={torch.get_num_threads()}")
        if peak:
            print(f"Core peak: {per_cycle} FLOP/cycle [{isa}] x {ghz:.2f} GHz ({source})"
                  f" = {peak:.1f} GFLOP/s")
            if source != "lscpu max":
                print("  (the current clock reading; a core that boosts above it shows"
                      " more than 100%)")
        print("GFLOP/s, single thread, best of several repeats")

        header("square float32 products")
        for n in (256, 512, 1024, 2048):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            ta, tb = Tensor(a), Tensor(b)
            pa, pb = torch.from_numpy(a), torch.from_numpy(b)
            repeats = {256: 40, 512: 20, 1024: 10}.get(n, 8)
            times = best_times([lambda: ta @ tb, lambda: a @ b, lambda: pa @ pb], repeats)
            ours, ref_np, ref_torch = (gflops(n, n, n, t) for t in times)
            row(f"{n} x {n} x {n}", ours, ref_np, ref_torch, peak)

        header("left operand transposed vs row-major, 1024")
        n = 1024
        a = rng.standard_normal((n, n), dtype=np.float32)
        b = rng.standard_normal((n, n), dtype=np.float32)
        at = np.ascontiguousarray(a.T)
        t_row, t_trans, tb = Tensor(a), Tensor(at).transpose(0, 1), Tensor(b)
        p_trans, pb = torch.from_numpy(at).t(), torch.from_numpy(b)
        times = best_times(
            [lambda: t_row @ tb, lambda: t_trans @ tb, lambda: at.T @ b, lambda: p_trans @ pb], 10
        )
        row_rate, trans_rate, np_trans, torch_trans = (gflops(n, n, n, t) for t in times)
        row("row-major A", row_rate, None, None, peak)
        row("transposed A", trans_rate, np_trans, torch_trans, peak)
        print(f"  transposed / row-major: {trans_rate / row_rate:.2f}")

        header("512 batched 32 x 32 products")
        a = rng.standard_normal((512, 32, 32), dtype=np.float32)
        b = rng.standard_normal((512, 32, 32), dtype=np.float32)
        ta, tb = Tensor(a), Tensor(b)
        pa, pb = torch.from_numpy(a), torch.from_numpy(b)
        times = best_times([lambda: ta @ tb, lambda: a @ b, lambda: pa @ pb], 20)
        ours, ref_np, ref_torch = (gflops(32, 32, 32, t, 512) for t in times)
        row("512 x (32 x 32 x 32)", ours, ref_np, ref_torch, peak)

        header("half precision 512 x 512 x 512 (vs PyTorch, same dtype)")
        n = 512
        for name, np_type, torch_type in (
            ("bfloat16", ml_dtypes.bfloat16, torch.bfloat16),
            ("float16", np.float16, torch.float16),
        ):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            ta = Tensor(a.astype(np_type), dtype=name)
            tb = Tensor(b.astype(np_type), dtype=name)
            pa = torch.from_numpy(a).to(torch_type)
            pb = torch.from_numpy(b).to(torch_type)
            times = best_times([lambda: ta @ tb, lambda: pa @ pb], 5)
            ours, ref_torch = (gflops(n, n, n, t) for t in times)
            row(name, ours, None, ref_torch, peak)


if __name__ == "__main__":
    main()
