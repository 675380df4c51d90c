"""Threads: each library with its own default threading, and two Python
threads each running a loop against one thread running both.

Run after building the module:  python benchmarks/bench_threads.py
(`... bench_threads.py defaults` or `... pairs` runs only one of the two parts)

Default threading. quarn shares one large operation out on its thread pool,
as NumPy (through its BLAS) and PyTorch do with theirs; each library runs
with its own default number of threads:

  - float32 matrix products of 1024, 2048 and 4096, and the parallel
    efficiency of quarn's and PyTorch's (and NumPy's, where threadpoolctl is
    installed): time on one thread / (threads x time on all of them);
  - the pool's cost on small operations, which never reach it: quarn on its
    default thread count over quarn on one thread (1.00 is no cost);
  - one training step of a 784-256-10 MLP at batch 256 against PyTorch's.

These figures are the minimum over rounds in which the contenders take
turns: on a machine shared with other work, threaded timings swing with
whatever else runs, and the minimum is the closest to an idle machine.

Two threads against one.
Each thread works on its own graph, so threads are how a program puts more
cores to work; they pay only where the interpreter lock is let go during the
engine's work. Two workloads, each as one loop per thread:

  - 1024x1024 float32 products (each thread with its own operands);
  - training steps of a 784-256-10 MLP with batch 64: clear the graph, make
    the parameters from NumPy arrays, forward, backward, read every gradient.

"one thread" runs both loops one after the other; "two threads" runs one loop
on each of two threads started together. The ratio is the second time over
the first: 0.5 is perfect scaling on two idle cores, 1.0 none at all; quarn
and PyTorch run each operation on one thread here. What
each loop returns (its last product, its last step's gradients) is checked
against the one-thread run, bit for bit. PyTorch (one intra-op thread, so that only our two threads compete for
the cores) runs the same loops as a reference where it is installed.

Figures are medians over rounds in which the two arrangements take turns.
Other processes' load shows directly in the ratio, so each measurement also
counts the processor time the rest of the machine used meanwhile (from
/proc/stat, less our own); a round in which others used more than a tenth
of a core is set aside and another is run, up to a limit. The report says
how many rounds were quiet; on a busy machine the figures say little.

Target: two threads <= 0.6x the time of one thread, for both workloads.
"""

import os
import statistics
import threading
import time

import numpy as np

import quarn_core
from _record import record, section

Tensor = quarn_core.Tensor
relu = quarn_core.nn.functional.relu
set_quarn_threads = quarn_core._functions.set_num_threads
QUARN_THREADS = quarn_core._functions.get_num_threads()

try:
    import torch
except ImportError:  # the PyTorch column is then left empty
    torch = None


def torch_default_threads():
    """PyTorch's own default thread count, asked of a fresh process: asking
    here would start this process's thread pools before set_num_threads(1),
    which then would not hold on the threads of the section below."""
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", "import torch; print(torch.get_num_threads())"],
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


TORCH_THREADS = torch_default_threads() if torch is not None else None

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # NumPy's efficiency is then left out
    threadpool_limits = None

TARGET = 0.6
ROUNDS = 7
# Each contender's turn in best_times: longer than other libraries' idle
# workers spin after a call.
TURN_SECONDS = 0.3
MATMUL_SIZE, MATMUL_LOOP = 1024, 8
MLP_LOOP = 200
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


QUIET = 0.1  # of a core, used by other processes during a measurement


def machine_busy_seconds():
    """Processor time every process on the machine has used, or None where
    /proc/stat is missing."""
    try:
        with open("/proc/stat") as f:
            fields = [int(v) for v in f.readline().split()[1:]]
    except OSError:
        return None
    idle = fields[3] + fields[4]
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def own_seconds():
    t = os.times()
    return t.user + t.system


def measured(arrangement, loops):
    """Runs one arrangement; returns its results, wall time and the share of
    a core that other processes used meanwhile (None when unknown)."""
    busy0, own0 = machine_busy_seconds(), own_seconds()
    results, elapsed = arrangement(loops)
    busy1, own1 = machine_busy_seconds(), own_seconds()
    others = None if busy0 is None else max(0.0, (busy1 - busy0) - (own1 - own0)) / elapsed
    return results, elapsed, others


def compare(loops, rounds, attempts=None, check=True):
    """Median times of running the loops in turn on this thread and on one
    thread each, over `rounds` quiet rounds when `attempts` rounds give that
    many (else over every round); with `check`, fails unless both
    arrangements give identical results (quarn's promise; PyTorch's loops,
    timed for comparison, do not always keep it). Also returns how many
    rounds were quiet."""
    attempts = attempts or 4 * rounds
    run_in_turn(loops)  # warm-up: dispatch tables, allocator arenas
    quiet, every = [], []
    for _ in range(attempts):
        serial, t1, others1 = measured(run_in_turn, loops)
        threaded, t2, others2 = measured(run_on_threads, loops)
        assert not check or identical(serial, threaded), "a threaded result differs from the one-thread run"
        every.append((t1, t2))
        if others1 is None or max(others1, others2) <= QUIET:
            quiet.append((t1, t2))
        if len(quiet) == rounds or (len(every) >= rounds and others1 is None):
            break
    used = quiet if len(quiet) >= rounds // 2 + 1 else every
    return (statistics.median(t for t, _ in used), statistics.median(t for _, t in used),
            len(quiet), len(every))


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


def mlp_data(seed, batch=BATCH):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((batch, IN)).astype(np.float32)
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


# --- each library's default threading ------------------------------------------

DEFAULT_SIZES = {1024: 7, 2048: 5, 4096: 3}  # size: rounds
EFFICIENCY_SIZES = (1024, 2048)
SMALL_CALLS = 2000
STEP_BATCH = 256


def best_times(contenders, rounds):
    """Minimum time of one call of each contender, a (setup, call) pair:
    setup (the thread count) runs untimed before each call. The contenders
    take turns, each round starting one further along.

    After a call, every library's idle workers spin for a while before they
    sleep (OpenBLAS's for some 0.1 s), taking a core from whoever runs next:
    on 2 cores that doubled the next contender's time. So each turn calls
    again and again for TURN_SECONDS (twice at least) and keeps the best of
    its calls after the first: the later calls run on settled cores. Sleeping
    between turns instead let the cores idle down, and the first call after
    it ran slow for that reason."""
    best = [float("inf")] * len(contenders)
    for setup, call in contenders:
        setup()
        call()  # warm-up: workers started, buffers grown
    for r in range(rounds):
        for i in [(r + j) % len(contenders) for j in range(len(contenders))]:
            setup, call = contenders[i]
            setup()
            start = time.perf_counter()
            calls = 0
            while calls < 2 or time.perf_counter() - start < TURN_SECONDS:
                t0 = time.perf_counter()
                call()
                if calls > 0:
                    best[i] = min(best[i], time.perf_counter() - t0)
                calls += 1
    return best


def quarn_on(threads):
    return lambda: set_quarn_threads(threads)


def torch_on(threads):
    return lambda: torch.set_num_threads(threads)


def nothing():
    pass


class NumpyThreads:
    """NumPy's BLAS on one thread while active, where threadpoolctl can say
    so; entered and left around single calls."""

    def __init__(self):
        self.limit = None

    def one(self):
        if threadpool_limits is not None and self.limit is None:
            self.limit = threadpool_limits(limits=1)

    def default(self):
        if self.limit is not None:
            self.limit.restore_original_limits()
            self.limit = None


def matmul_case(n, rounds, numpy_threads):
    rng = np.random.default_rng(n)
    a_np = rng.standard_normal((n, n), dtype=np.float32)
    b_np = rng.standard_normal((n, n), dtype=np.float32)
    a, b = Tensor(a_np), Tensor(b_np)

    def ours():
        Tensor.clear_graph()
        a @ b

    contenders = [(quarn_on(QUARN_THREADS), ours), (numpy_threads.default, lambda: a_np @ b_np)]
    if torch is not None:
        ta, tb = torch.from_numpy(a_np), torch.from_numpy(b_np)
        contenders.append((torch_on(TORCH_THREADS), lambda: ta @ tb))
    single = []
    if n in EFFICIENCY_SIZES:
        single.append((quarn_on(1), ours))
        if torch is not None:
            single.append((torch_on(1), lambda: ta @ tb))
        if threadpool_limits is not None:
            single.append((numpy_threads.one, lambda: a_np @ b_np))
    times = best_times(contenders + single, rounds)
    numpy_threads.default()
    return times[:len(contenders)], times[len(contenders):]


def mlp_step_case(rounds):
    x_np, params = mlp_data(7, batch=STEP_BATCH)

    def ours():
        Tensor.clear_graph()
        x = Tensor(x_np)
        w1, b1, w2, b2 = (Tensor(p, requires_grad=True) for p in params)
        out = relu(x @ w1 + b1) @ w2 + b2
        out.backward()
        return [p.grad() for p in (w1, b1, w2, b2)]

    contenders = [(quarn_on(QUARN_THREADS), ours), (quarn_on(1), ours)]
    if torch is not None:
        x = torch.from_numpy(x_np)
        tparams = [torch.from_numpy(p).requires_grad_() for p in params]

        def theirs():
            for p in tparams:
                p.grad = None
            out = torch.relu(x @ tparams[0] + tparams[1]) @ tparams[2] + tparams[3]
            out.backward(torch.ones_like(out))
            return [p.grad.numpy() for p in tparams]

        contenders += [(torch_on(TORCH_THREADS), theirs), (torch_on(1), theirs)]
    return best_times(contenders, rounds)


def small_cases(rounds):
    """Per-call times of small operations, each timed over SMALL_CALLS calls:
    quarn on its default thread count, on one thread, NumPy and PyTorch with
    their defaults."""
    rng = np.random.default_rng(3)
    cases = []
    for label, shape_a, shape_b, op in [("matmul 64x64", (64, 64), (64, 64), "matmul"),
                                        ("add 100x100", (100, 100), (100, 100), "add"),
                                        ("add 200x300 (60K elements)", (200, 300), (200, 300), "add")]:
        a_np = rng.standard_normal(shape_a, dtype=np.float32)
        b_np = rng.standard_normal(shape_b, dtype=np.float32)
        a, b = Tensor(a_np), Tensor(b_np)
        if op == "matmul":
            ours_op, np_op = (lambda a=a, b=b: a @ b), (lambda: a_np @ b_np)
        else:
            ours_op, np_op = (lambda a=a, b=b: a + b), (lambda a_np=a_np, b_np=b_np: a_np + b_np)

        def repeat(fn):
            def run():
                for _ in range(SMALL_CALLS):
                    fn()
                Tensor.clear_graph()
            return run

        contenders = [(quarn_on(QUARN_THREADS), repeat(ours_op)), (quarn_on(1), repeat(ours_op)),
                      (nothing, repeat(np_op))]
        if torch is not None:
            ta, tb = torch.from_numpy(a_np), torch.from_numpy(b_np)
            t_op = (lambda: ta @ tb) if op == "matmul" else (lambda ta=ta, tb=tb: ta + tb)
            contenders.append((torch_on(TORCH_THREADS), repeat(t_op)))
        times = [t / SMALL_CALLS for t in best_times(contenders, rounds)]
        cases.append((label, times + [None] * (4 - len(times))))
    return cases


def fmt_ratio(x, y):
    return f"{x / y:8.2f}" if x is not None and y is not None else f"{'-':>8}"


def fmt_ms(t):
    return f"{t * 1e3:9.2f}" if t is not None else f"{'-':>9}"


def default_threading():
    numpy_threads = NumpyThreads()
    torch_text = f", PyTorch {TORCH_THREADS}" if torch is not None else ""
    print(f"Default threads: quarn {QUARN_THREADS}{torch_text}, NumPy its BLAS's own "
          f"(processors available: {len(os.sched_getaffinity(0))}); minimum over rounds")
    section("default threading: float32 matmul")
    print(f"{'float32 matmul':<16} {'quarn ms':>9} {'NumPy ms':>9} {'torch ms':>9} "
          f"{'/NumPy':>8} {'/torch':>8}")
    efficiency = []
    for n, rounds in DEFAULT_SIZES.items():
        (ours, np_t, *rest), single = matmul_case(n, rounds, numpy_threads)
        theirs = rest[0] if rest else None
        record(f"matmul {n}x{n}, default threads", ours, np_t, theirs)
        print(f"{n:>4} x {n:<9} {fmt_ms(ours)} {fmt_ms(np_t)} {fmt_ms(theirs)} "
              f"{fmt_ratio(ours, np_t)} {fmt_ratio(ours, theirs)}")
        if single:
            efficiency.append((n, ours, theirs, np_t, single))
    print()
    print(f"{'parallel efficiency':<20} {'quarn':>7} {'torch':>7} {'NumPy':>7}   (time on 1 / (threads x time))")
    threads_np = None
    if threadpool_limits is not None:
        from threadpoolctl import threadpool_info
        threads_np = max((lib["num_threads"] for lib in threadpool_info() if lib["user_api"] == "blas"),
                         default=None)
    for n, ours, theirs, np_t, single in efficiency:
        q1 = single[0]
        t1 = single[1] if torch is not None else None
        n1 = single[-1] if threadpool_limits is not None else None

        def eff(one, many, threads):
            return f"{one / (threads * many):7.2f}" if one is not None and many is not None and threads else f"{'-':>7}"

        print(f"matmul {n:<13} {eff(q1, ours, QUARN_THREADS)} "
              f"{eff(t1, theirs, TORCH_THREADS if torch is not None else None)} {eff(n1, np_t, threads_np)}")
    print()
    section("default threading: small operations")
    print(f"{'small operation, per call':<28} {'quarn us':>9} {'1 thread':>9} {'NumPy us':>9} {'torch us':>9} "
          f"{'pool cost':>9}")
    for label, (ours, one, np_t, theirs) in small_cases(7):
        record(f"{label}, default threads", ours, np_t, theirs)
        print(f"{label:<28} {ours * 1e6:9.2f} {one * 1e6:9.2f} {np_t * 1e6:9.2f} "
              f"{theirs * 1e6 if theirs is not None else float('nan'):9.2f} {ours / one:9.2f}")
    print()
    section("default threading: MLP training step")
    times = mlp_step_case(15)
    ours, one = times[0], times[1]
    theirs, theirs_one = (times[2], times[3]) if torch is not None else (None, None)
    record(f"MLP 784-256-10 step, batch {STEP_BATCH}, default threads", ours, None, theirs)
    print(f"{'MLP step, batch ' + str(STEP_BATCH):<22} {'quarn ms':>9} {'torch ms':>9} {'/torch':>8}")
    print(f"{'default threads':<22} {fmt_ms(ours)} {fmt_ms(theirs)} {fmt_ratio(ours, theirs)}")
    print(f"{'one thread':<22} {fmt_ms(one)} {fmt_ms(theirs_one)} {fmt_ratio(one, theirs_one)}")
    print()


def main(parts):
    print(f"NumPy {np.__version__}" + (f", PyTorch {torch.__version__}" if torch is not None else ""))
    print()
    if "pairs" in parts:
        two_threads_against_one()
    if "defaults" in parts:
        default_threading()


def two_threads_against_one():
    # Each operation on one thread first: the threads are our own. PyTorch's
    # setting must come before its first operation to hold on threads
    # started later.
    set_quarn_threads(1)
    if torch is not None:
        torch.set_num_threads(1)
        print(f"PyTorch intra-op threads={torch.get_num_threads()}, quarn threads=1")
    section("two threads against one")
    print(f"{'':<40} {'one thread':>11} {'two threads':>12} {'ratio':>6}  target       quiet rounds"
          + (f"  {'torch ratio':>11}" if torch is not None else ""))
    missed = []
    cases = [
        (f"{MATMUL_LOOP} products 1024x1024, per thread", matmul_loops_ours, matmul_loops_torch),
        (f"{MLP_LOOP} MLP 784-256-10 steps, per thread", mlp_loops_ours, mlp_loops_torch),
    ]
    for label, ours_fn, torch_fn in cases:
        one, two, quiet, total = compare(ours_fn([1, 2]), ROUNDS)
        t_one = t_two = None
        if torch is not None:
            t_one, t_two, _, _ = compare(torch_fn([1, 2]), ROUNDS, check=False)
        record(f"{label}: one thread running both loops", one, None, t_one)
        record(f"{label}: two threads, one loop each", two, None, t_two)
        ratio = two / one
        ok = ratio <= TARGET
        if not ok:
            missed.append(label)
        torch_text = f"  {t_two / t_one:11.2f}" if torch is not None else ""
        print(f"{label:<40} {one * 1e3:8.1f} ms {two * 1e3:9.1f} ms {ratio:6.2f}  <= {TARGET}"
              f"  {'ok    ' if ok else 'MISSED'} {quiet:>5} of {total:<3}{torch_text}")
    print()
    print("all targets met" if not missed else "targets missed: " + ", ".join(missed))
    print()


if __name__ == "__main__":
    import sys
    main(sys.argv[1:] or ["pairs", "defaults"])
