"""Cost of crossing the NumPy border and of the shape operations.

Run after building the module:  python benchmarks/bench_exchange.py

Every figure is the best of several timeit repeats, measured in this run next
to the NumPy and PyTorch calls that do the same work:

  construction   Tensor(x)          vs numpy.array(x)  and torch.tensor(x)
  export         t.to_numpy()       vs x.copy()        and t.numpy().copy()
  reshape        t.reshape([n])     vs x.reshape(n)    and t.reshape(n)
  transpose      t.transpose(0, 1)  vs x.swapaxes(0,1) and t.transpose(0, 1)

Targets: construction within 1.3x of numpy.array(x), export within 1.3x of
x.copy(), and reshape/transpose taking the same time at 1M and 16M elements
(the last column), which only holds when they do not copy elements.
"""

import argparse
import timeit

import numpy as np

import quarn_core
from _record import record, section

try:
    import torch
except ImportError:  # the comparison column is then left empty
    torch = None

CONSTRUCTION_TARGET = 1.3
EXPORT_TARGET = 1.3
SCALING_TARGET = 1.5


def best_seconds(func, repeat):
    """Best time of one call, over `repeat` timeit runs sized to ~0.2 s each."""
    timer = timeit.Timer(func)
    number, elapsed = timer.autorange()
    number = max(1, int(number * 0.2 / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fmt_time(seconds):
    if seconds is None:
        return "n/a"
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e3:8.3f} ms"


def fmt_ratio(num, den):
    if num is None or den is None:
        return "n/a"
    return f"{num / den:6.2f}x"


def square(n_elements, rng):
    side = int(round(n_elements**0.5))
    return rng.standard_normal((side, side), dtype=np.float32)


def exchange_rows(x, repeat):
    t = quarn_core.Tensor(x)
    tt = torch.tensor(x) if torch else None
    rows = [
        (
            "construction",
            best_seconds(lambda: quarn_core.Tensor(x), repeat),
            best_seconds(lambda: np.array(x), repeat),
            best_seconds(lambda: torch.tensor(x), repeat) if torch else None,
            CONSTRUCTION_TARGET,
        ),
        (
            "export",
            best_seconds(t.to_numpy, repeat),
            best_seconds(x.copy, repeat),
            best_seconds(lambda: tt.numpy().copy(), repeat) if torch else None,
            EXPORT_TARGET,
        ),
    ]
    return rows


def shape_rows(x, repeat):
    n = x.size
    t = quarn_core.Tensor(x)
    tt = torch.from_numpy(x) if torch else None
    return {
        "reshape": (
            best_seconds(lambda: t.reshape([n]), repeat),
            best_seconds(lambda: x.reshape(n), repeat),
            best_seconds(lambda: tt.reshape(n), repeat) if torch else None,
        ),
        "transpose": (
            best_seconds(lambda: t.transpose(0, 1), repeat),
            best_seconds(lambda: x.swapaxes(0, 1), repeat),
            best_seconds(lambda: tt.transpose(0, 1), repeat) if torch else None,
        ),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="timeit repeats per figure")
    args = parser.parse_args()

    # One thread each: compare like with like.
    quarn_core._functions.set_num_threads(1)
    if torch is not None:
        torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    quarn_core.Tensor.clear_graph()

    print(f"numpy {np.__version__}, torch {torch.__version__ if torch else 'not installed'}")
    print()
    print("1024 x 1024 float32 (4 MiB)")
    section("NumPy border, 1024 x 1024 float32")
    header = f"{'operation':<14}{'quarn':>12}{'numpy':>12}{'torch':>12}{'/numpy':>9}{'/torch':>9}{'target':>9}  ok"
    print(header)
    print("-" * len(header))
    x = rng.standard_normal((1024, 1024), dtype=np.float32)
    failures = 0
    for name, ours, ref_np, ref_torch, target in exchange_rows(x, args.repeat):
        record(name, ours, ref_np, ref_torch)
        ok = ours / ref_np <= target
        failures += not ok
        print(
            f"{name:<14}{fmt_time(ours):>12}{fmt_time(ref_np):>12}{fmt_time(ref_torch):>12}"
            f"{fmt_ratio(ours, ref_np):>9}{fmt_ratio(ours, ref_torch):>9}"
            f"{target:>8.2f}x  {'yes' if ok else 'NO'}"
        )

    print()
    print("shape operations, float32 (times per call; last column: 16M time / 1M time)")
    sizes = [1 << 20, 1 << 24]
    measured = {size: shape_rows(square(size, rng), args.repeat) for size in sizes}
    header = (
        f"{'operation':<11}{'elements':>10}{'quarn':>12}{'numpy':>12}{'torch':>12}"
        f"{'/numpy':>9}{'/torch':>9}{'16M/1M':>9}  ok"
    )
    print(header)
    print("-" * len(header))
    section("shape operations, float32")
    for op in ("reshape", "transpose"):
        small = measured[sizes[0]][op][0]
        for size in sizes:
            ours, ref_np, ref_torch = measured[size][op]
            record(f"{op}, {size >> 20}M elements", ours, ref_np, ref_torch)
            scaling = ""
            verdict = ""
            if size == sizes[-1]:
                ok = ours / small <= SCALING_TARGET
                failures += not ok
                scaling = fmt_ratio(ours, small)
                verdict = "yes" if ok else "NO"
            print(
                f"{op:<11}{size >> 20:>9}M{fmt_time(ours):>12}{fmt_time(ref_np):>12}"
                f"{fmt_time(ref_torch):>12}{fmt_ratio(ours, ref_np):>9}"
                f"{fmt_ratio(ours, ref_torch):>9}{scaling:>9}  {verdict}"
            )
    print()
    print(f"scaling target: 16M/1M <= {SCALING_TARGET:.1f}x (the same time at both sizes)")
    print("all targets met" if failures == 0 else f"{failures} target(s) missed")


if __name__ == "__main__":
    main()
