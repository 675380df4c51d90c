"""Fixtures shared by the Python test suite.

Importing ml_dtypes here, before any test module runs, registers the NumPy
"bfloat16" type for the whole session, so bfloat16 tensors can be built and
exported everywhere. The one test that needs NumPy without it runs in a
subprocess.
"""

import re
import threading

import ml_dtypes  # noqa: F401  (registers numpy's "bfloat16" dtype)
import numpy as np
import pytest

import quarn_core

Tensor = quarn_core.Tensor

# The constructor's long dtype names. With ml_dtypes imported each is also a
# name that numpy.dtype resolves, to the type that to_numpy() hands back.
DTYPE_NAMES = ["float32", "float16", "bfloat16", "bool"]


@pytest.fixture(autouse=True)
def fresh_graph():
    """Start every test with an empty graph on the main thread."""
    Tensor.clear_graph()
    yield


@pytest.fixture(scope="session")
def panic_exception():
    """The class the module raises for faults.

    It is not exported under a name, so it is found as the class of the fault
    that an out-of-range transpose raises.
    """
    try:
        Tensor([[1.0]]).transpose(0, 2)
    except BaseException as exc:  # noqa: BLE001 - the class is what we want
        return type(exc)
    pytest.fail("transpose(0, 2) of a 2-D tensor did not raise")


@pytest.fixture(params=DTYPE_NAMES)
def dtype_name(request):
    """Each of the four element types, by the constructor's long name."""
    return request.param


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


def random_array(rng, shape, dtype_name):
    """Random values representable exactly in the given element type."""
    if dtype_name == "bool":
        return rng.random(shape) < 0.5
    # Small integers and halves survive every float format unchanged, so the
    # expected values do not depend on NumPy's rounding.
    values = rng.integers(-64, 64, size=shape) / 2.0
    return np.asarray(values).astype(np.dtype(dtype_name))


@pytest.fixture
def make_random(rng):
    return lambda shape, dtype_name: random_array(rng, shape, dtype_name)


PROBE_ID = 63


@pytest.fixture
def graph_len(panic_exception):
    """Returns a function that reports how many nodes the current thread's
    graph holds.

    Python sees no node ids, but a tensor whose node id lies beyond the graph
    faults in backward() with a message that states the graph's length. The
    probe is a leaf made with id PROBE_ID before the graph is cleared, so it
    measures any graph shorter than that without touching it.
    """
    Tensor.clear_graph()
    for _ in range(PROBE_ID + 1):
        probe = Tensor(0.0, requires_grad=True)
    Tensor.clear_graph()
    pattern = re.compile(
        rf"index out of bounds: the len is (\d+) but the index is {PROBE_ID}"
    )

    def measure():
        with pytest.raises(panic_exception) as info:
            probe.backward()
        match = pattern.fullmatch(str(info.value))
        assert match, str(info.value)
        return int(match.group(1))

    return measure


@pytest.fixture
def node_id_of(panic_exception):
    """Returns a function that reports a tensor's node id.

    It clears the graph, so the tensor's id now lies beyond the empty graph,
    and backward() from it faults with a message that states the id. The
    current graph is lost, so read ids last.
    """
    pattern = re.compile(r"index out of bounds: the len is 0 but the index is (\d+)")

    def read(t):
        Tensor.clear_graph()
        with pytest.raises(panic_exception) as info:
            t.backward()
        match = pattern.fullmatch(str(info.value))
        assert match, str(info.value)
        return int(match.group(1))

    return read


@pytest.fixture
def on_thread():
    """Returns a function that calls fn() on a new thread (with a stack of
    `stack_size` bytes, when given) and hands back its result or exception.
    Graphs are per thread, so fn must finish any backward pass it starts."""

    def call(fn, stack_size=None):
        outcome = {}

        def body():
            try:
                outcome["value"] = fn()
            except BaseException as exc:  # noqa: BLE001 - handed to the caller
                outcome["error"] = exc

        previous = threading.stack_size() if stack_size is None else threading.stack_size(stack_size)
        try:
            worker = threading.Thread(target=body)
            worker.start()
            worker.join()
        finally:
            threading.stack_size(previous)
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    return call
