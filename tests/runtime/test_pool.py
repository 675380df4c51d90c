"""The thread pool of large operations: results identical bit for bit on 1, 2
and 3 threads, the size set from Python and from QUARN_NUM_THREADS, and a
pool that survives fork() and lets the process exit."""

import os
import subprocess
import sys
import textwrap

import ml_dtypes
import numpy as np
import pytest

import quarn
from quarn import Tensor

relu = quarn.nn.functional.relu

_rng = np.random.default_rng(21)


def normal(*shape):
    return _rng.standard_normal(shape).astype(np.float32)


# Operands large enough for every path to use the pool, with edges that are
# not multiples of any block or chunk.
A = normal(523, 301)
B = normal(301, 611)
TALL = normal(9001, 61)
SQUARE61 = normal(61, 61)
WIDE_A = normal(9, 700)
WIDE_B = normal(700, 3001)
VEC = normal(701, 1)
MAT = normal(3001, 701)
BATCH = normal(6, 129, 257)
SMALL_A = normal(64, 40, 48)
SMALL_B = normal(64, 48, 56)
PAIRS_A = normal(9, 1, 40, 48)
PAIRS_B = normal(1, 11, 48, 56)
BIG = normal(700, 900)
ROW = normal(900)
HALF = normal(600, 700)
NARROW = normal(50001, 3)
# Fewer rows than one A block: the serial driver cuts k differently for
# these, and the threaded one must cut it the same way.
ONE_BLOCK_A = normal(64, 1000)
ONE_BLOCK_B = normal(1000, 300)
# An A too large for every thread to pack whole: threads share packed B.
LARGE_A = normal(4500, 1000)
FEW_COLUMNS = normal(1000, 70)


def step(seed):
    """Forward and backward of a small network whose products and maps are
    all large; every gradient."""
    data = np.random.default_rng(seed)
    quarn.clear_graph()
    x = Tensor(data.standard_normal((300, 384)).astype(np.float32))
    w1 = Tensor(data.standard_normal((384, 520)).astype(np.float32) / 20, requires_grad=True)
    w2 = Tensor(data.standard_normal((520, 256)).astype(np.float32) / 18, requires_grad=True)
    h = relu(x @ w1)
    out = quarn.tanh((h * h) @ w2) * 0.5 - h @ Tensor(np.ones((520, 256), np.float32))
    out.backward()
    return [out.to_numpy(), w1.grad(), w2.grad()]


TALL_X = BIG[:, None, :].repeat(5, axis=1).reshape(-1, 900)[:3000]


def summed_gradient(dtype):
    """The gradient of a row reshaped to one of 1 x 900 and multiplied into
    3000 rows: the reshape rule sums the broadcast gradient over the rows of
    each column, in an order that shows in the rounding."""
    quarn.clear_graph()
    row = Tensor(ROW, dtype=dtype, requires_grad=True)
    (row.reshape([1, 900]) * Tensor(TALL_X, dtype=dtype)).backward()
    return [row.grad()]


def max_gradient():
    t = Tensor(BIG, requires_grad=True)
    quarn.sum(quarn.max(t, axis=0) * 2.0).backward()
    return t.grad()


def layer_norm_gradients():
    """layer_norm over 700 rows of 900: three row chunks, each summing its
    own weight and bias gradients before they are added in chunk order."""
    x, w, b = (Tensor(a, requires_grad=True) for a in (BIG, ROW, ROW[::-1].copy()))
    y = quarn.nn.functional.layer_norm(x, 900, w, b)
    quarn.sum(y * Tensor(BIG)).backward()
    return [y, x.grad(), w.grad(), b.grad()]


WORKLOADS = {
    "packed product": lambda: Tensor(A) @ Tensor(B),
    "packed product, transposed operands": lambda: Tensor(B.T) @ Tensor(A.T),
    "few rows, many columns": lambda: Tensor(WIDE_A) @ Tensor(WIDE_B),
    "one block of rows, long k": lambda: Tensor(ONE_BLOCK_A) @ Tensor(ONE_BLOCK_B),
    "large A, few columns": lambda: Tensor(LARGE_A) @ Tensor(FEW_COLUMNS),
    "one block of rows, transposed B": lambda: Tensor(ONE_BLOCK_A) @ Tensor(ONE_BLOCK_B.T.copy()).T,
    "direct product of a tall matrix": lambda: Tensor(TALL) @ Tensor(SQUARE61),
    "direct product, transposed B": lambda: Tensor(TALL) @ Tensor(SQUARE61.T),
    "matrix times column": lambda: Tensor(MAT) @ Tensor(VEC),
    "row times matrix": lambda: Tensor(VEC.T) @ Tensor(MAT.T),
    "batched product": lambda: Tensor(BATCH) @ Tensor(BATCH.transpose(0, 2, 1)),
    "many small products": lambda: Tensor(SMALL_A) @ Tensor(SMALL_B),
    "small products over broadcast batches": lambda: Tensor(PAIRS_A) @ Tensor(PAIRS_B),
    "float16 product": lambda: Tensor(A, dtype="float16") @ Tensor(B, dtype="float16"),
    "bfloat16 product": lambda: Tensor(A, dtype="bfloat16") @ Tensor(B, dtype="bfloat16"),
    "sum": lambda: Tensor(BIG) + Tensor(BIG * 3),
    "broadcast product": lambda: Tensor(BIG) * Tensor(ROW),
    "transposed operand": lambda: Tensor(BIG[:, :700]) - Tensor(BIG[:, :700].T),
    "scalar map": lambda: Tensor(BIG) * 0.25,
    "scalar map, transposed view": lambda: Tensor(BIG).transpose(0, 1) * 0.25,
    "sum of a view and its transpose": lambda: Tensor(BIG[:, :700]).transpose(0, 1) + Tensor(BIG[:, :700]),
    "exp": lambda: quarn.exp(Tensor(BIG)),
    "float16 tanh": lambda: quarn.tanh(Tensor(HALF, dtype="float16")),
    "bfloat16 sum, broadcast": lambda: Tensor(HALF, dtype="bfloat16") + Tensor(HALF[:1], dtype="bfloat16"),
    "many short rows": lambda: Tensor(NARROW) + Tensor(NARROW[:1]),
    "batch of transposed matrices": lambda: Tensor(BATCH).transpose(1, 2) * Tensor(BATCH.transpose(0, 2, 1) + 1),
    "comparison": lambda: Tensor(BIG) > Tensor(ROW),
    "row sums (axis 0)": lambda: quarn.sum(Tensor(BIG), axis=0),
    "sums of rows (axis 1)": lambda: quarn.sum(Tensor(BIG), axis=1),
    "bfloat16 mean over a transposed view": lambda: quarn.mean(Tensor(HALF, dtype="bfloat16").transpose(0, 1), axis=1),
    "max and its gradient": lambda: max_gradient(),
    "argmax along rows": lambda: quarn.argmax(Tensor(BIG), axis=1),
    "logsumexp of columns": lambda: quarn.logsumexp(Tensor(BIG), axis=0),
    "training step": lambda: step(3),
    "summed gradient": lambda: summed_gradient("float32"),
    "float16 summed gradient": lambda: summed_gradient("float16"),
    "layer_norm gradients": layer_norm_gradients,
}


def as_bits(value):
    """Every result of a workload as raw bytes with its dtype and shape."""
    values = value if isinstance(value, list) else [value]
    arrays = [v.to_numpy() if isinstance(v, Tensor) else v for v in values]
    return [(a.dtype, a.shape, np.ascontiguousarray(a).tobytes()) for a in arrays]


@pytest.fixture
def restore_threads():
    old = quarn.get_num_threads()
    yield
    quarn.set_num_threads(old)


@pytest.mark.parametrize("workload", WORKLOADS)
def test_results_do_not_depend_on_the_thread_count(workload, restore_threads):
    results = {}
    for threads in (1, 2, 3):
        quarn.set_num_threads(threads)
        results[threads] = as_bits(WORKLOADS[workload]())
    assert results[2] == results[1]
    assert results[3] == results[1]


def test_products_on_many_threads_match_numpy(restore_threads):
    """A product shared out wrongly (a block skipped, done twice or with the
    wrong B panel) is far off, not a rounding away."""
    quarn.set_num_threads(3)
    for a, b in [(A, B), (WIDE_A, WIDE_B), (TALL, SQUARE61), (MAT, VEC), (SMALL_A, SMALL_B),
                 (PAIRS_A, PAIRS_B)]:
        got = (Tensor(a) @ Tensor(b)).to_numpy()
        want = a.astype(np.float64) @ b.astype(np.float64)
        size = np.abs(a).astype(np.float64) @ np.abs(b).astype(np.float64)
        assert np.all(np.abs(got - want) <= 1e-5 * size + 1e-30)


def test_size_round_trip(restore_threads):
    for n in (1, 3, 2, 256):
        quarn.set_num_threads(n)
        assert quarn.get_num_threads() == n
    quarn.set_num_threads(np.int64(2))
    assert quarn.get_num_threads() == 2


@pytest.mark.parametrize("value, error, message", [
    (0, ValueError, "set_num_threads expects a number of threads from 1 to 256, got 0"),
    (-3, ValueError, "set_num_threads expects a number of threads from 1 to 256, got -3"),
    (257, ValueError, "set_num_threads expects a number of threads from 1 to 256, got 257"),
    (True, TypeError, "set_num_threads expects an int, got bool"),
    (2.0, TypeError, None),
    ("2", TypeError, None),
    (None, TypeError, None),
    (10**30, OverflowError, None),
])
def test_bad_sizes_are_refused(value, error, message, restore_threads):
    before = quarn.get_num_threads()
    with pytest.raises(error) as info:
        quarn.set_num_threads(value)
    if message is not None:
        assert str(info.value) == message
    assert quarn.get_num_threads() == before


def threads_in_fresh_processes(env_values):
    """get_num_threads() in one new process per value of QUARN_NUM_THREADS
    (None: unset), all started at once."""
    runs = []
    for value in env_values:
        env = {k: v for k, v in os.environ.items() if k != "QUARN_NUM_THREADS"}
        if value is not None:
            env["QUARN_NUM_THREADS"] = value
        runs.append(subprocess.Popen(
            [sys.executable, "-c", "import quarn_core; print(quarn_core._functions.get_num_threads())"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env))
    counts = []
    for run in runs:
        out, err = run.communicate(timeout=120)
        assert run.returncode == 0, err
        counts.append(int(out))
    return counts


def test_environment_sets_the_size():
    # Anything but a whole number in range leaves the default.
    ignored = ["0", "-2", "257", "two", "", "3x"]
    default, three, one, *others = threads_in_fresh_processes([None, "3", "1", *ignored])
    assert 1 <= default <= len(os.sched_getaffinity(0))
    assert (three, one) == (3, 1)
    assert others == [default] * len(ignored)


# The child of a fork has none of its parent's workers; it must make its own
# (or run alone), not wait for threads that are not there.
FORK = textwrap.dedent(
    """
    import os, sys
    import numpy as np
    import quarn
    quarn.set_num_threads(3)
    a = quarn.Tensor(np.random.default_rng(1).standard_normal((400, 500)).astype(np.float32))
    want = (a @ a.transpose(0, 1)).to_numpy()
    pid = os.fork()
    if pid == 0:
        ok = all(np.array_equal((a @ a.transpose(0, 1)).to_numpy(), want) for _ in range(3))
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status), np.array_equal((a @ a.transpose(0, 1)).to_numpy(), want))
    """
)


def test_pool_survives_fork():
    run = subprocess.run([sys.executable, "-c", FORK], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "0 True"), run.stderr


def test_summed_gradient_on_many_threads_matches_numpy(restore_threads):
    """A sum shared out wrongly (two tasks adding into one column, a run cut
    in two) loses or doubles terms."""
    quarn.set_num_threads(3)
    x = TALL_X.astype(np.float64)
    (got,) = summed_gradient("float32")
    assert got.shape == (900,)
    assert np.all(np.abs(got - x.sum(axis=0)) <= 1e-6 * np.abs(x).sum(axis=0))
