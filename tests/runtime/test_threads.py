"""Threads: each trains on its own graph while sharing read-only inputs,
threads that end with their graph uncleared give its memory back, and the
one-time set-up survives many threads making their first calls together.
Large work lets other threads run meanwhile, and its results are the same
as on one thread; threads still at such work when the interpreter shuts
down neither stop the process nor hang.

QUARN_SOAK=1 runs many more steps, threads and fresh processes.
"""

import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import ml_dtypes
import numpy as np
import pytest

import quarn_core
from quarn_core import Tensor

relu = quarn_core.nn.functional.relu

SOAK = os.environ.get("QUARN_SOAK") == "1"
TRAINERS = 8
STEPS = 5000 if SOAK else 25
EXIT_BATCHES = 60 if SOAK else 6
FRESH_PROCESSES = 20 if SOAK else 1


@pytest.fixture(autouse=True)
def frequent_switches():
    """Hand the interpreter from thread to thread as often as it allows, so
    that the threads' calls interleave finely."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    """Runs each callable on its own thread, all released together; returns
    what any of them raised."""
    errors = []
    barrier = threading.Barrier(len(targets))

    def body(target):
        try:
            barrier.wait()
            target()
        except BaseException as exc:  # noqa: BLE001 - reported to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(t,)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


# --- training on separate graphs ---------------------------------------------

BATCH, FEATURES, HIDDEN, OUTPUTS = 16, 7, 12, 3
_shared_rng = np.random.default_rng(11)
# Odd multiples of 1/2 and 1/4 (w1 below) with an odd number of features:
# every pre-activation is an odd multiple of 1/8, exact in float32 and never
# 0, so the ReLU mask cannot differ from the float64 reference's.
X = (2 * _shared_rng.integers(-3, 3, (BATCH, FEATURES)) + 1) / 2
Y = _shared_rng.standard_normal((BATCH, OUTPUTS)).astype(np.float32).astype(np.float64)
SHARED = {
    "x": Tensor(X),
    "y": Tensor(Y),
    "left": Tensor(np.ones((1, BATCH))),
    "right": Tensor(np.ones((OUTPUTS, 1))),
}


def reference_gradients(w1, w2):
    """d/dw of sum((relu(X @ w1) @ w2 - Y)**2) in float64, each with the same
    sums taken over magnitudes: float32 rounding errs by a small multiple of
    its unit roundoff times those, however much the terms cancel."""
    z = X @ w1
    h = np.maximum(z, 0)
    d_out = 2 * (h @ w2 - Y)
    d_h = d_out @ w2.T
    size_out = 2 * (h @ np.abs(w2) + np.abs(Y))
    size_h = (size_out @ np.abs(w2).T) * (z > 0)
    return [(X.T @ (d_h * (z > 0)), np.abs(X).T @ size_h), (h.T @ d_out, h.T @ size_out)]


def assert_close_for_float32(got, want, size):
    error = np.abs(got - want)
    assert np.all(error <= 1e-5 * size), np.max(error / size)


def train(seed):
    rng = np.random.default_rng(seed)
    for _ in range(STEPS):
        Tensor.clear_graph()
        w1 = (2 * rng.integers(-4, 4, (FEATURES, HIDDEN)) + 1) / 4
        w2 = rng.standard_normal((HIDDEN, OUTPUTS)).astype(np.float32).astype(np.float64)
        t1 = Tensor(w1, requires_grad=True)
        t2 = Tensor(w2, requires_grad=True)
        diff = relu(SHARED["x"] @ t1) @ t2 - SHARED["y"]
        loss = SHARED["left"] @ (diff * diff) @ SHARED["right"]
        loss.backward()
        for t, (want, size) in zip([t1, t2], reference_gradients(w1, w2)):
            assert_close_for_float32(t.grad(), want, size)
        assert SHARED["x"].grad() is None


def clear_repeatedly(stop):
    data = np.arange(6.0).reshape(2, 3)
    while not stop.is_set():
        Tensor.clear_graph()
        a = Tensor(data, requires_grad=True)
        (a * a).backward()
        np.testing.assert_array_equal(a.grad(), 2 * data)
        Tensor.clear_graph()
        assert a.grad() is None


def test_threads_train_on_their_own_graphs():
    stop = threading.Event()
    clearer_errors = []

    def clearer():
        try:
            clear_repeatedly(stop)
        except BaseException as exc:  # noqa: BLE001
            clearer_errors.append(exc)

    side = threading.Thread(target=clearer)
    side.start()
    try:
        errors = run_threads([lambda s=seed: train(s) for seed in range(TRAINERS)])
    finally:
        stop.set()
        side.join()
    assert errors + clearer_errors == []
    # The shared inputs are as they were.
    np.testing.assert_array_equal(SHARED["x"].to_numpy(), X.astype(np.float32))


# --- graphs left behind by finished threads ----------------------------------

def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def leave_big_graph(native_ids):
    """Records about 40 results of 256 KiB and their gradients, and ends
    without clearing."""
    native_ids.append(threading.get_native_id())
    x = Tensor(np.ones((256, 256), np.float32), requires_grad=True)
    y = x
    for _ in range(20):
        y = relu(y * 0.5 + x)
    y.backward()
    assert x.grad() is not None


def finish_batch(width):
    native_ids = []
    assert run_threads([lambda: leave_big_graph(native_ids)] * width) == []
    # join() can return before the operating system thread, whose exit frees
    # the graph, is gone.
    deadline = time.monotonic() + 60
    while any(os.path.exists(f"/proc/self/task/{tid}") for tid in native_ids):
        assert time.monotonic() < deadline, "finished threads did not exit"
        time.sleep(0.001)


def test_finished_threads_give_back_their_uncleared_graphs():
    width = 4
    for _ in range(2):  # the allocator's arenas reach their working size
        finish_batch(width)
    before = resident_bytes()
    for _ in range(EXIT_BATCHES):
        finish_batch(width)
    # Each batch leaves about 4 x 20 MiB of graphs; kept, they would add up
    # to several times this bound.
    assert resident_bytes() - before < 64 << 20


# --- first calls from many threads in a fresh process ------------------------

FIRST_USE = textwrap.dedent(
    """
    import sys, threading
    sys.setswitchinterval(1e-6)
    {imports}
    import quarn_core
    from quarn_core import Tensor
    assert ("numpy" in sys.modules) == {numpy_loaded}

    # Multiples of 1/2 up to 1: every sum below is exact in every format.
    values = [[0.5 * ((i * 4 + j) % 5) - 1.0 for j in range(4)] for i in range(4)]
    product = [[sum(values[i][k] * values[k][j] for k in range(4)) for j in range(4)]
               for i in range(4)]
    relu_sum = [[max(v, 0.0) + v for v in row] for row in values]
    barrier = threading.Barrier(8)
    failures = []

    def first_calls(i):
        # Each thread starts at a different one-time set-up: the NumPy
        # binding, the bfloat16 type, the GEMM and element-wise dispatch and
        # the half-precision converters.
        dtypes = {dtypes}
        dtype = dtypes[i % len(dtypes)]
        try:
            barrier.wait()
            a = Tensor(values, dtype=dtype)
            if i % 2:
                checks = [(a.to_numpy().tolist(), values),
                          ((a @ a).to_numpy().tolist(), product),
                          ((quarn_core.nn.functional.relu(a) + a).to_numpy().tolist(), relu_sum)]
            else:
                checks = [((quarn_core.nn.functional.relu(a) + a).to_numpy().tolist(), relu_sum),
                          ((a @ a).to_numpy().tolist(), product),
                          (a.to_numpy().tolist(), values)]
            for got, want in checks:
                assert got == want, (dtype, got, want)
            flags = Tensor([[True, False]], dtype="bool")
            assert (~flags & flags).to_numpy().tolist() == [[False, False]]
        except BaseException as exc:
            failures.append(repr(exc))

    threads = [threading.Thread(target=first_calls, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("\\n".join(failures) or "all threads agree")
    """
)

SETUPS = {
    "numpy and bfloat16 ready": dict(
        imports="import numpy, ml_dtypes", numpy_loaded=True,
        dtypes='["bfloat16", "float32", "float16", "bf16"]'),
    "numpy imported by the first calls": dict(
        imports="", numpy_loaded=False, dtypes='["float32", "float16"]'),
}


@pytest.mark.parametrize("setup", SETUPS)
def test_first_calls_from_many_threads_at_once(setup):
    script = FIRST_USE.format(**SETUPS[setup])
    for _ in range(FRESH_PROCESSES):
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
        assert (run.returncode, run.stdout.strip(), run.stderr) == (0, "all threads agree", "")


# --- large work without the interpreter lock ----------------------------------

# A free-threaded build has no lock for the engine to let go of.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
_big_rng = np.random.default_rng(5)
# Each piece of work takes a millisecond or more, long enough for a waiting
# thread to be woken even on a busy machine.
BIG = _big_rng.standard_normal((1024, 1024)).astype(np.float32)
WIDE = _big_rng.standard_normal((1024, 1)).astype(np.float32)
SQUARE = BIG[:512, :512]
# Made here: NumPy lets go of the lock itself while it converts.
SQUARE_BF16 = SQUARE.astype(ml_dtypes.bfloat16)
T_BIG, T_BIG_T, T_WIDE = Tensor(BIG), Tensor(BIG.T), Tensor(WIDE)
T_SQUARE, T_SQUARE_T = Tensor(SQUARE), Tensor(SQUARE.T)
T_BF16 = Tensor(SQUARE_BF16, dtype="bfloat16")
T_SMALL = Tensor(BIG[:8, :8])

# Each is large enough to run without the lock, except "small"; each makes
# its operands beforehand, so that it shows one path on its own.
WORKLOADS = {
    "construction": lambda: Tensor(BIG),
    "strided construction": lambda: Tensor(BIG.T),
    "export": lambda: T_BIG_T.to_numpy(),
    "float32 product": lambda: T_SQUARE @ T_SQUARE_T,
    "bfloat16 product": lambda: T_BF16 @ T_BF16,
    "broadcast sum": lambda: T_BIG + T_WIDE,
    "scalar map": lambda: T_BIG_T * 0.5,
    "unary map": lambda: relu(T_BIG),
    "small": lambda: T_SMALL @ T_SMALL,
}


def big_training_step(seed):
    """A step whose products, maps and copies are all large, with gradients
    of every parameter."""
    data = np.random.default_rng(seed)
    Tensor.clear_graph()
    x = Tensor(data.standard_normal((256, 384)).astype(np.float32))
    w1 = Tensor(data.standard_normal((384, 320)).astype(np.float32) / 20, requires_grad=True)
    w2 = Tensor(data.standard_normal((320, 256)).astype(np.float32) / 18, requires_grad=True)
    h = relu(x @ w1)
    out = (h * h) @ w2 - h @ Tensor(np.ones((320, 256), np.float32))
    out.backward()
    return [out.to_numpy(), w1.grad(), w2.grad()]


@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build")
@pytest.mark.parametrize("workload", WORKLOADS)
def test_large_work_lets_other_threads_run(workload):
    """With switches this rare, the other thread can run only while a call
    lets go of the lock; the main thread never waits for anything itself."""
    go, ran = threading.Event(), threading.Event()

    def other():
        go.wait()
        ran.set()

    side = threading.Thread(target=other)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        side.start()
        go.set()
        calls = 0
        while calls < 1000 and not ran.is_set():
            WORKLOADS[workload]()
            calls += 1
        let_go = ran.is_set()
    finally:
        sys.setswitchinterval(old)
        go.set()
        side.join()
    assert let_go == (workload != "small")


@pytest.mark.parametrize("workload", ["float32 product", "bfloat16 product", "broadcast sum",
                                      "scalar map", "training step"])
def test_threads_compute_what_one_thread_computes(workload):
    if workload == "training step":
        runs = [lambda s=s: big_training_step(s) for s in range(4)]
    else:
        runs = [lambda: [WORKLOADS[workload]().to_numpy()]] * 4
    want = [run() for run in runs]
    got = [None] * len(runs)

    def body(i):
        for _ in range(3):
            got[i] = runs[i]()
            for g, w in zip(got[i], want[i]):
                assert g.dtype == w.dtype and np.array_equal(g, w)

    assert run_threads([lambda i=i: body(i) for i in range(len(runs))]) == []


# Shutting down while threads want the lock back from large work. Daemon
# threads at work must not take the process down; a thread that an earlier
# exit handler starts afterwards must still get its result.
SHUTDOWN = {
    "daemon threads at work": (textwrap.dedent(
        """
        import sys, threading
        import numpy as np
        from quarn_core import Tensor
        sys.setswitchinterval(1e-6)

        a = Tensor(np.ones((300, 300), np.float32))
        started = threading.Barrier(3)

        def forever():
            started.wait()
            while True:
                (a @ a) + 1.0

        for _ in range(2):
            threading.Thread(target=forever, daemon=True).start()
        started.wait()
        print(sum(range(100000)))
        """), "4999950000"),
    "a worker started by an exit handler": (textwrap.dedent(
        """
        import atexit, threading
        import numpy as np

        def late():
            from quarn_core import Tensor
            a = Tensor(np.ones((512, 512), np.float32))
            out = []
            worker = threading.Thread(target=lambda: out.append(float((a @ a).to_numpy()[0, 0])))
            worker.start()
            worker.join()
            print(out)

        atexit.register(late)  # runs after the handler the import registers
        import quarn_core
        """), "[512.0]"),
    # The interpreter is not finalising yet while exit handlers run, so a
    # thread coming back from its work then must get the lock, not be parked:
    # the handler waiting for it would wait for ever.
    "an exit handler joining a worker at work": (textwrap.dedent(
        """
        import atexit, threading
        import numpy as np

        def join_worker():
            worker.join()
            print(len(done))

        atexit.register(join_worker)  # runs after anything the import registers
        from quarn_core import Tensor
        a = Tensor(np.ones((600, 600), np.float32))
        started, done = threading.Event(), []

        def body():
            started.set()
            for _ in range(20):
                done.append(float((a @ a).to_numpy()[0, 0]))

        worker = threading.Thread(target=body, daemon=True)
        worker.start()
        started.wait()
        """), "20"),
}


@pytest.mark.parametrize("case", SHUTDOWN)
def test_shutdown_with_threads_at_large_work(case):
    script, printed = SHUTDOWN[case]
    for _ in range(FRESH_PROCESSES * 4):
        # A hang shows as TimeoutExpired.
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=120)
        assert (run.returncode, run.stdout.strip(), run.stderr) == (0, printed, "")
