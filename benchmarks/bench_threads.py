"""Threads: two threads each running a loop against one thread running both.

Run after building the module:  python benchmarks/bench_threads.py

Each thread works on its own graph, so threads are how a program puts more
cores to work; they pay only where the interpreter lock is let go during the
engine's work. Two workloads, each as one loop per thread:

  - 1024x1024 float32 products (each thread with its own operands);
  - training steps of a 784-256-10 MLP with batch 64: clear the graph, make
    the parameters from NumPy arrays, forward, backward, read every gradient.

"one thread" runs both loops one after the other; "two threads" runs one loop
on each of two threads started together. The ratio is the second time over
the first: 0.5 is perfect scaling on two idle cores, 1.0 none at all. Every
result of the threaded run is checked against the one-thread run, bit for
bit. PyTorch (one intra-op thread, so that only our two threads compete for
the cores) runs the same loops as a reference where it is installed.

Figures are medians over rounds in which the two arrangements take turns.
The machine's other load shows directly in the ratio: run it on idle cores.

Target: two threads <= 0.6x the time of one thread, for both workloads.
"""

import statistics
import threading
import time

import numpy as np

import quarn_core
from _record import record, section

Tensor = quarn_core.Tensor
relu = quarn_core.nn.functional.relu

try:
    import torch
except ImportError:  # the PyTorch column is then left empty
    torch = None

TARGET = 0.6
MATMUL_SIZE, MATMUL_LOOP = 1024, 6
MLP_LOOP = 40
BATCH, IN, HIDDEN, OUT = 64, 784, 256, 10


def run_on_threads(loops):
    """Runs each loop on its own thread, all released together; returns
    their results in order and the wall time from release to the last
    finish."""
    results = [None] * len(loops)
    errors = []
    barrier = threading.Barrier(len(loops) + 1)

    def body(i):
        try:
            barrier.wait()
            results[i] = loops[i]()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(len(loops))]
    for t in threads:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    if errors:
        raise errors[0]
    return results, elapsed


def run_in_turn(loops):
    t0 = time.perf_counter()
    results = [loop() for loop in loops]
    return results, time.perf_counter() - t0


def identical(a, b):
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(identical(x, y) for x, y in zip(a, b))
    return np.array_equal(np.asarray(a), np.asarray(b))


def compare(loops, rounds):
    """Median times of running the loops in turn on this thread and on one
    thread each; fails unless both arrangements give identical results."""
    run_in_turn(loops)  # warm-up: dispatch tables, allocator arenas
    one, two = [], []
    for _ in range(rounds):
        serial, t1 = run_in_turn(loops)
        threaded, t2 = run_on_threads(loops)
        assert identical(serial, threaded), "a threaded result differs from the one-thread run"
        one.append(t1)
        two.append(t2)
    return statistics.median(one), statistics.median(two)


# --- the loops ----------------------------------------------------------------

def matmul_loops_ours(seeds):
    def make(seed):
        rng = np.random.default_rng(seed)
        a = Tensor(rng.standard_normal((MATMUL_SIZE, MATMUL_SIZE), dtype=np.float32))
        b = Tensor(rng.standard_normal((MATMUL_SIZE, MATMUL_SIZE), dtype=np.float32))

        def loop():
            Tensor.clear_graph()
            out = [a @ b for _ in range(MATMUL_LOOP)]
            return out[-1].to_numpy()
        return loop
    return [make(s) for s in seeds]


def matmul_loops_torch(seeds):
    def make(seed):
        rng = np.random.default_rng(seed)
        a = torch.from_numpy(rng.standard_normal((MATMUL_SIZE, MATMUL_SIZE), dtype=np.float32))
        b = torch.from_numpy(rng.standard_normal((MATMUL_SIZE, MATMUL_SIZE), dtype=np.float32))

        def loop():
            out = [a @ b for _ in range(MATMUL_LOOP)]
            return out[-1].numpy()
        return loop
    return [make(s) for s in seeds]


def mlp_data(seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((BATCH, IN)).astype(np.float32)
    params = [
        (rng.standard_normal((IN, HIDDEN)) / 28).astype(np.float32),
        np.zeros(HIDDEN, np.float32),
        (rng.standard_normal((HIDDEN, OUT)) / 16).astype(np.float32),
        np.zeros(OUT, np.float32),
    ]
    return x, params


def mlp_loops_ours(seeds):
    def make(seed):
        x_np, params = mlp_data(seed)
        x = Tensor(x_np)

        def loop():
            grads = None
            for _ in range(MLP_LOOP):
                # Leaves of a cleared graph are refused, so every step makes
                # its parameters afresh, as a training loop must.
                Tensor.clear_graph()
                w1, b1, w2, b2 = (Tensor(p, requires_grad=True) for p in params)
                out = relu(x @ w1 + b1) @ w2 + b2
                out.backward()
                grads = [p.grad() for p in (w1, b1, w2, b2)]
            return grads
        return loop
    return [make(s) for s in seeds]


def mlp_loops_torch(seeds):
    def make(seed):
        x_np, params_np = mlp_data(seed)
        x = torch.from_numpy(x_np)
        params = [torch.from_numpy(p).requires_grad_() for p in params_np]

        def loop():
            grads = None
            for _ in range(MLP_LOOP):
                for p in params:
                    p.grad = None
                out = torch.relu(x @ params[0] + params[1]) @ params[2] + params[3]
                out.backward(torch.ones_like(out))
                grads = [p.grad.numpy().copy() for p in params]
            return grads
        return loop
    return [make(s) for s in seeds]


def main():
    if torch is not None:
        torch.set_num_threads(1)
        print(f"PyTorch {torch.__version__}, intra-op threads={torch.get_num_threads()}")
    print(f"NumPy {np.__version__}")
    print()
    section("two threads against one")
    print(f"{'':<40} {'one thread':>11} {'two threads':>12} {'ratio':>6}  target"
          + (f"  {'torch ratio':>11}" if torch is not None else ""))
    missed = []
    cases = [
        (f"{MATMUL_LOOP} products 1024x1024, per thread", matmul_loops_ours,
         matmul_loops_torch, 9),
        (f"{MLP_LOOP} MLP 784-256-10 steps, per thread", mlp_loops_ours, mlp_loops_torch, 9),
    ]
    for label, ours_fn, torch_fn, rounds in cases:
        one, two = compare(ours_fn([1, 2]), rounds)
        t_one = t_two = None
        if torch is not None:
            t_one, t_two = compare(torch_fn([1, 2]), rounds)
        record(f"{label}: one thread running both loops", one, None, t_one)
        record(f"{label}: two threads, one loop each", two, None, t_two)
        ratio = two / one
        ok = ratio <= TARGET
        if not ok:
            missed.append(label)
        torch_text = f"  {t_two / t_one:11.2f}" if torch is not None else ""
        print(f"{label:<40} {one * 1e3:8.1f} ms {two * 1e3:9.1f} ms {ratio:6.2f}  <= {TARGET}"
              f"  {'ok' if ok else 'MISSED'}{torch_text}")
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
