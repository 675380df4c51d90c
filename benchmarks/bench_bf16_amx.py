"""bfloat16 matrix products on our three paths against PyTorch's bfloat16
product and our float32 product of the same size, measured in the same run.

The paths: "amx" (the AMX tile unit, where the CPU has it; opt-in, as its
sums are not the float32 FMA chain's bit for bit), "on" (the AVX512_BF16
dot-product instruction) and "off" (widened to float32). Every contender
takes turns with the others round after round; the figures are the best and
the median of the rounds, at one thread each and at the default thread
counts. Ratios below 1 mean ours is faster.

Run from the repository after building the module:  python benchmarks/bench_bf16_amx.py
"""

import itertools
import statistics
import sys
import time

import ml_dtypes
import numpy as np
import torch

import quarn_core
from quarn_core import Tensor

dot_mode = quarn_core._functions.bf16_dot_mode


def in_mode(mode, fn):
    before = dot_mode(mode)
    try:
        return fn()
    finally:
        dot_mode(before)


def interleaved(fns, rounds):
    """Best and median time of one call of each function, the calls taking
    turns in a new order each round."""
    for fn in fns:
        fn()
    samples = [[] for _ in fns]
    orders = list(itertools.permutations(range(len(fns))))
    for r in range(rounds):
        for i in orders[r % len(orders)]:
            t0 = time.perf_counter()
            fns[i]()
            samples[i].append(time.perf_counter() - t0)
    return [(min(s), statistics.median(s)) for s in samples]


def main():
    try:
        in_mode("amx", lambda: None)
    except RuntimeError as error:  # no tile unit here, or the OS refuses it
        print(f"skipped: {error}")
        return 0
    rng = np.random.default_rng(0)
    default_quarn = quarn_core._functions.get_num_threads()
    default_torch = torch.get_num_threads()
    print(f"PyTorch {torch.__version__}; default threads: quarn {default_quarn}, torch {default_torch}")
    names = ["amx", "dot (on)", "widened (off)", "our float32", "torch bf16"]
    for threads in ("one", "default"):
        quarn_core._functions.set_num_threads(1 if threads == "one" else default_quarn)
        torch.set_num_threads(1 if threads == "one" else default_torch)
        print(f"\n{threads} thread(s): GFLOP/s best / median; time ratios of the amx path (median)")
        for n in (512, 1024, 2048):
            a = rng.standard_normal((n, n), dtype=np.float32)
            b = rng.standard_normal((n, n), dtype=np.float32)
            ta = Tensor(a.astype(ml_dtypes.bfloat16), dtype="bfloat16")
            tb = Tensor(b.astype(ml_dtypes.bfloat16), dtype="bfloat16")
            fa, fb = Tensor(a), Tensor(b)
            pa = torch.from_numpy(a).to(torch.bfloat16)
            pb = torch.from_numpy(b).to(torch.bfloat16)
            fns = [lambda: in_mode("amx", lambda: ta @ tb),
                   lambda: in_mode("on", lambda: ta @ tb),
                   lambda: in_mode("off", lambda: ta @ tb),
                   lambda: fa @ fb,
                   lambda: pa @ pb]
            times = interleaved(fns, {512: 15, 1024: 9}.get(n, 5))
            rates = [(2 * n**3 / best / 1e9, 2 * n**3 / med / 1e9) for best, med in times]
            cells = "  ".join(f"{name} {r[0]:6.0f}/{r[1]:6.0f}" for name, r in zip(names, rates))
            print(f"  {n:5d}: {cells}")
            amx = times[0][1]
            print(f"         amx / torch {amx / times[4][1]:5.2f}   amx / our float32 {amx / times[3][1]:5.2f}"
                  f"   amx / dot {amx / times[1][1]:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
