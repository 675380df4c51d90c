"""Single-thread convolution and pooling speed of quarn against PyTorch,
measured in the same run, with GFLOP/s against the core's measured FMA peak.

    python benchmarks/bench_conv.py            # every case
    python benchmarks/bench_conv.py --quick    # fewer rounds
    python benchmarks/bench_conv.py --thread-time   # the calling thread's CPU time

With --thread-time every call is timed by the calling thread's CPU time
instead of the wall clock, and each figure is the best round: both
contenders run on the calling thread alone here, so on a machine shared with
other work this leaves out the time the thread waits for a core, which
otherwise lands on whichever contender happened to be running.

Cases:
  - LeNet-5-style layers on 28 x 28 images, batch 64: conv 1->6 5x5 (with
    bias), 2x2 max pool, conv 6->16 5x5, 2x2 max pool, forward and backward
    to the input-independent parameters and the sum of the result;
  - a ResNet basic-block convolution, 64->64 3x3, padding 1, on 56 x 56,
    batch 8: forward, then forward and backward;
  - the same convolution in float16 and bfloat16, against our float32 one.

Every time is the median of rounds in which the contenders take turns
(_timing.median_times); the ratio is ours / PyTorch's (below 1: we are
faster). GFLOP/s counts 2 per multiply-add of the convolutions alone (three
products for forward and backward).
"""

import sys
import time

import numpy as np
import torch

import quarn
import quarn.nn.functional as F
from _record import record
from _timing import median_times, one_thread
from bench_matmul import measured_peak
from quarn import Tensor

ROUNDS = 7 if "--quick" in sys.argv[1:] else 21
THREAD_TIME = "--thread-time" in sys.argv[1:]


def times(fns, rounds):
    """Per-call time of each function: the median wall-clock time of
    interleaved rounds, or with --thread-time the best CPU time of the
    calling thread over the same interleaved rounds."""
    if not THREAD_TIME:
        return median_times(fns, rounds)
    for fn in fns:
        fn()
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            t0 = time.thread_time()
            fn()
            best[i] = min(best[i], time.thread_time() - t0)
    return best


def conv_flops(n, c, o, oh, ow, kh, kw, groups=1):
    return 2.0 * n * o * oh * ow * (c // groups) * kh * kw


def lenet(rng, dtype="float32"):
    x = rng.standard_normal((64, 1, 28, 28)).astype(np.float32)
    params = [(rng.standard_normal(s) * 0.2).astype(np.float32) for s in ((6, 1, 5, 5), (6,), (16, 6, 5, 5), (16,))]

    def ours():
        quarn.clear_graph()
        w1, b1, w2, b2 = [Tensor(p, dtype=dtype, requires_grad=True) for p in params]
        h = F.max_pool2d(F.conv2d(Tensor(x, dtype=dtype), w1, b1), 2)
        y = F.max_pool2d(F.conv2d(h, w2, b2), 2)
        quarn.sum(y).backward()
        return [t.grad() for t in (w1, b1, w2, b2)]

    tdtype = getattr(torch, dtype)
    tx = torch.from_numpy(x).to(tdtype)
    tparams = [torch.from_numpy(p).to(tdtype).requires_grad_() for p in params]

    def theirs():
        for t in tparams:
            t.grad = None
        h = torch.nn.functional.max_pool2d(torch.nn.functional.conv2d(tx, tparams[0], tparams[1]), 2)
        y = torch.nn.functional.max_pool2d(torch.nn.functional.conv2d(h, tparams[2], tparams[3]), 2)
        y.sum().backward()
        return [t.grad for t in tparams]

    # Forward and backward of both convolutions; the first needs no input
    # gradient (its input is data), so two products there, three in the second.
    flops = 2 * conv_flops(64, 1, 6, 24, 24, 5, 5) + 3 * conv_flops(64, 6, 16, 8, 8, 5, 5)
    return ours, theirs, flops


def resnet(rng, backward, dtype="float32"):
    x = rng.standard_normal((8, 64, 56, 56)).astype(np.float32)
    w = (rng.standard_normal((64, 64, 3, 3)) * 0.05).astype(np.float32)
    xq, wq = Tensor(x, dtype=dtype, requires_grad=backward), Tensor(w, dtype=dtype, requires_grad=backward)
    tdtype = getattr(torch, dtype)
    tx = torch.from_numpy(x).to(tdtype).requires_grad_(backward)
    tw = torch.from_numpy(w).to(tdtype).requires_grad_(backward)

    def ours():
        y = F.conv2d(xq, wq, padding=1)
        if backward:
            quarn.sum(y).backward()
            quarn.clear_graph()
        return y

    def theirs():
        if not backward:
            with torch.no_grad():
                return torch.nn.functional.conv2d(tx, tw, padding=1)
        tx.grad = tw.grad = None
        y = torch.nn.functional.conv2d(tx, tw, padding=1)
        y.sum().backward()
        return y

    if backward:
        # The leaves must be recorded in the graph each round clears.
        def ours_fresh():
            nonlocal xq, wq
            xq, wq = Tensor(x, dtype=dtype, requires_grad=True), Tensor(w, dtype=dtype, requires_grad=True)
            return ours()
        return ours_fresh, theirs, 3 * conv_flops(8, 64, 64, 56, 56, 3, 3)
    return ours, theirs, conv_flops(8, 64, 64, 56, 56, 3, 3)


def report(label, ours_s, theirs_s, flops, peak, target=None):
    record(label, ours_s, torch=theirs_s)
    rate = flops / ours_s / 1e9
    share = f"{rate / peak:6.0%}" if peak else "     -"
    verdict = "" if target is None else ("  ok" if ours_s / theirs_s <= target else f"  above {target:.1f}x")
    print(f"{label:<40} {ours_s * 1e3:9.2f} {theirs_s * 1e3:9.2f} {ours_s / theirs_s:7.2f}x "
          f"{rate:7.1f} {share}{verdict}")


def main():
    one_thread(torch)
    print("timing: " + ("best thread CPU time" if THREAD_TIME else "median wall clock") + " of interleaved rounds")
    peak, lanes = measured_peak()
    if peak:
        print(f"Core peak: {peak:.1f} GFLOP/s, measured ({lanes}-lane FMAs)")
    rng = np.random.default_rng(0)
    print(f"\n{'case':<40} {'ours ms':>9} {'torch ms':>9} {'ratio':>8} {'GFLOP/s':>7} {'peak':>6}")
    ours, theirs, flops = lenet(rng)
    t_ours, t_theirs = times([ours, theirs], ROUNDS)
    report("LeNet layers, fwd+bwd, batch 64", t_ours, t_theirs, flops, peak, 0.8)
    fwd = resnet(rng, False)
    t_fwd = times(fwd[:2], ROUNDS)
    report("ResNet 64->64 3x3 56x56 b8, fwd", *t_fwd, fwd[2], peak, 1.0)
    both = resnet(rng, True)
    t_both = times(both[:2], max(ROUNDS // 3, 5))
    report("ResNet 64->64 3x3 56x56 b8, fwd+bwd", *t_both, both[2], peak, 1.0)
    for dtype in ("float16", "bfloat16"):
        half = resnet(rng, False, dtype)
        t_half, t_32, t_torch = times([half[0], fwd[0], half[1]], ROUNDS)
        record(f"ResNet fwd, {dtype}", t_half, torch=t_torch)
        print(f"{'ResNet fwd, ' + dtype:<40} {t_half * 1e3:9.2f} {t_torch * 1e3:9.2f} {t_half / t_torch:7.2f}x "
              f"{half[2] / t_half / 1e9:7.1f}        ours {dtype} / ours float32: {t_half / t_32:.2f}x")


if __name__ == "__main__":
    main()
