"""The per-thread graph store, observed from Python.

Python sees no node ids. What it does see: grad() answers, the backward()
errors, and the fault that backward() raises for an id beyond the graph, whose
message states the graph's length (the graph_len fixture builds on that).
"""

import threading

import numpy as np
import pytest

import quarn_core
from quarn_core import Tensor

relu = quarn_core.nn.functional.relu

NO_GRAD = "backward() called on tensor that does not require grad"


# --- grad() and backward() on leaves --------------------------------------


@pytest.mark.parametrize("shape", [(), (1,), (2, 3), (2, 0), (1, 2, 1)], ids=str)
def test_backward_on_a_leaf_stores_ones_of_its_shape(shape, dtype_name):
    x = Tensor(np.zeros(shape), dtype=dtype_name, requires_grad=True)
    assert x.grad() is None
    assert x.backward() is None
    g = x.grad()
    assert type(g) is np.ndarray
    assert g.dtype == np.dtype(dtype_name)
    assert g.shape == shape
    assert g.tobytes() == np.ones(shape, dtype=np.dtype(dtype_name)).tobytes()


def test_grad_is_a_fresh_copy_each_call():
    x = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
    x.backward()
    first, second = x.grad(), x.grad()
    assert first is not second
    assert not np.shares_memory(first, second)
    assert first.flags.writeable
    first[...] = 7.0
    np.testing.assert_array_equal(second, np.ones((2, 2)))
    np.testing.assert_array_equal(x.grad(), np.ones((2, 2)))


def test_backward_reaches_only_its_own_node():
    a = Tensor([1.0], requires_grad=True)
    b = Tensor([1.0, 2.0], requires_grad=True)
    b.backward()
    assert a.grad() is None
    np.testing.assert_array_equal(b.grad(), [1.0, 1.0])
    a.backward()
    np.testing.assert_array_equal(a.grad(), [1.0])
    np.testing.assert_array_equal(b.grad(), [1.0, 1.0])


def test_grad_of_a_tensor_without_node_is_none_before_and_after_backward():
    x = Tensor([1.0, 2.0], requires_grad=True)
    constant = Tensor([5.0, 6.0])
    assert constant.grad() is None
    x.backward()
    assert constant.grad() is None
    assert x.zeros_like().grad() is None


# --- backward() refusals --------------------------------------------------


@pytest.mark.parametrize("shape", [(), (1,), (0,), (2, 3)], ids=str)
def test_backward_without_requires_grad_raises(shape, dtype_name):
    t = Tensor(np.zeros(shape), dtype=dtype_name)
    with pytest.raises(ValueError) as info:
        t.backward()
    assert str(info.value) == NO_GRAD


# --- node ids and recording -----------------------------------------------


def test_leaves_append_one_node_each(graph_len):
    assert graph_len() == 0
    Tensor([1.0])
    Tensor([1.0], requires_grad=False)
    Tensor([1.0], requires_grad=np.False_)
    assert graph_len() == 0
    Tensor([1.0], requires_grad=True)
    Tensor(2.0, dtype="bool", requires_grad=np.True_)
    assert graph_len() == 2


@pytest.mark.parametrize(
    "kwargs",
    [
        {"data": [[1.0], [1.0, 2.0]]},
        {"data": object()},
        {"data": [1.0], "dtype": "float64"},
        {"data": [1.0], "device": "gpu"},
        {"data": [1.0], "device": 0},
        {"data": [1.0], "dtype": type("NoDtype", (), {})()},
    ],
    ids=["ragged", "object", "dtype", "device", "device-type", "numpy-dtype"],
)
def test_failed_construction_leaves_the_graph_unchanged(kwargs, graph_len):
    Tensor([1.0], requires_grad=True)
    with pytest.raises(Exception):
        Tensor(requires_grad=True, **kwargs)
    assert graph_len() == 1


def test_argument_errors_record_nothing(graph_len):
    x = Tensor(np.zeros((2, 3)), requires_grad=True)
    for bad in (lambda: x.reshape("6"), lambda: x.reshape([-1]), lambda: x.transpose(-1, 0)):
        with pytest.raises((TypeError, OverflowError)):
            bad()
    assert graph_len() == 1


def test_clear_graph_restarts_ids_at_zero(graph_len, node_id_of):
    for _ in range(3):
        Tensor([1.0], requires_grad=True)
    assert graph_len() == 3
    Tensor.clear_graph()
    assert graph_len() == 0
    x = Tensor([1.0], requires_grad=True)
    assert graph_len() == 1
    y = x.transpose(0, 0)
    assert (node_id_of(x), node_id_of(y)) == (0, 1)


def test_grad_after_clear_graph_is_none():
    x = Tensor([1.0, 2.0], requires_grad=True)
    x.backward()
    Tensor.clear_graph()
    assert x.grad() is None
    assert x.requires_grad is True


# --- exact ids ------------------------------------------------------------


def test_leaves_and_shape_operations_take_consecutive_ids(node_id_of):
    x = Tensor(np.zeros((2, 3)), requires_grad=True)
    w = Tensor([1.0], requires_grad=True)
    y = x.reshape([3, 2])
    Tensor([1.0])  # no gradient wanted: takes no id
    z = y.transpose(0, 1)
    assert [node_id_of(t) for t in (x, w, y, z)] == [0, 1, 2, 3]


# --- recording by operators -----------------------------------------------


def test_constant_operand_gets_a_constant_node_each_time(graph_len, node_id_of):
    a = Tensor([1.0, 2.0], requires_grad=True)
    c = Tensor([3.0, 4.0])
    y = a * c
    assert y.requires_grad is True
    assert graph_len() == 3  # a, a constant node for c, the product
    assert c.requires_grad is False and c.grad() is None
    z = c + a
    assert graph_len() == 5  # c has still no node of its own
    np.testing.assert_array_equal(z.to_numpy(), [4.0, 6.0])
    assert (node_id_of(y), node_id_of(z)) == (2, 4)


def test_operand_used_twice_adds_one_node(graph_len, node_id_of):
    a = Tensor([1.0, 2.0], requires_grad=True)
    y = a + a
    assert graph_len() == 2
    assert node_id_of(y) == 1


# With a gradient wanted: how many nodes each records; without one, none.
@pytest.mark.parametrize(
    "op, grows",
    [
        (lambda a, c: a + 2.0, 1),
        (lambda a, c: 2.0 + a, 1),
        (lambda a, c: a - 2.0, 1),
        (lambda a, c: a * 2.0, 1),
        (lambda a, c: 2.0 * a, 1),
        (lambda a, c: a / 2.0, 1),
        (lambda a, c: a + c, 2),
        (lambda a, c: a - c, 2),
        (lambda a, c: c / a, 2),
        (lambda a, c: a.reshape([2, 1]) @ c.reshape([1, 2]), 3),
        (lambda a, c: relu(a), 1),
        (lambda a, c: a.reshape([1, 2]), 1),
        (lambda a, c: a.reshape([1, 2]).transpose(0, 1), 2),
        (lambda a, c: a.reshape([1, 2]).transpose(0, 1).transpose(1, 0).reshape([2]), 4),
    ],
    ids=["t+s", "s+t", "t-s", "t*s", "s*t", "t/s", "t+c", "t-c", "c/t", "matmul", "relu", "reshape",
         "transpose", "transposes, reshape"],
)
@pytest.mark.parametrize("requires_grad", [True, False])
def test_recorded_operators(op, grows, requires_grad, graph_len):
    a = Tensor([1.0, 2.0], requires_grad=requires_grad)
    c = Tensor([3.0, 4.0])
    result = op(a, c)
    assert result.requires_grad is requires_grad
    assert graph_len() == (1 + grows if requires_grad else 0)


@pytest.mark.parametrize(
    "op",
    [
        lambda a, b, p: a == b,
        lambda a, b, p: a < 1.5,
        lambda a, b, p: 1.5 >= a,
        lambda a, b, p: p & p,
        lambda a, b, p: p ^ p,
        lambda a, b, p: ~p,
        lambda a, b, p: a.zeros_like(),
        lambda a, b, p: a.ones_like(),
        lambda a, b, p: a.ones_like().zeros_like(),
    ],
    ids=["==", "t<s", "s>=t", "and", "xor", "not", "zeros_like", "ones_like", "fill of a fill"],
)
def test_comparisons_logic_and_fills_record_nothing(op, graph_len):
    a = Tensor([1.0, 2.0], requires_grad=True)
    b = Tensor([2.0, 2.0], requires_grad=True)
    p = Tensor([True, False], dtype="bool", requires_grad=True)
    result = op(a, b, p)
    assert result.requires_grad is False
    with pytest.raises(ValueError) as info:
        result.backward()
    assert str(info.value) == NO_GRAD
    assert result.grad() is None
    assert graph_len() == 3


# A failing operation keeps the nodes it recorded: its own and a constant
# node for an operand without one.
@pytest.mark.parametrize(
    "op, exc_type, grows",
    [
        (lambda x, a: x.reshape([7]), ValueError, 1),
        (lambda x, a: x.transpose(0, 1).reshape([6]), ValueError, 2),
        (lambda x, a: x.transpose(0, 2), "fault", 1),
        (lambda x, a: a + Tensor([1.0, 2.0], dtype="float16"), ValueError, 2),
        (lambda x, a: a * Tensor([1.0, 2.0, 3.0]), RuntimeError, 2),
        (lambda x, a: relu(Tensor([True], dtype="bool", requires_grad=True)), TypeError, 2),
    ],
    ids=["reshape", "transpose, reshape", "transpose", "dtypes", "shapes", "relu of bool"],
)
def test_failing_operation_keeps_its_nodes(op, exc_type, grows, graph_len, panic_exception):
    x = Tensor(np.zeros((2, 3)), requires_grad=True)
    a = Tensor([1.0, 2.0], requires_grad=True)
    with pytest.raises(panic_exception if exc_type == "fault" else exc_type):
        op(x, a)
    assert graph_len() == 2 + grows


# --- stale node ids -------------------------------------------------------


@pytest.mark.parametrize("leaves_before", [1, 3])
def test_backward_from_stale_id_on_empty_graph_faults(leaves_before, panic_exception, graph_len):
    for _ in range(leaves_before):
        stale = Tensor(np.zeros((2, 3)), requires_grad=True)
    index = leaves_before - 1
    Tensor.clear_graph()
    with pytest.raises(panic_exception) as info:
        stale.backward()
    assert str(info.value) == f"index out of bounds: the len is 0 but the index is {index}"
    # The store is still usable and still empty.
    assert graph_len() == 0
    assert stale.grad() is None
    fresh = Tensor([1.0], requires_grad=True)
    fresh.backward()
    np.testing.assert_array_equal(fresh.grad(), [1.0])


def test_fault_names_current_length(panic_exception):
    for _ in range(5):
        stale = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    kept = [Tensor([1.0], requires_grad=True) for _ in range(2)]
    kept[0].backward()
    with pytest.raises(panic_exception) as info:
        stale.backward()
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 4"
    # A failed pass leaves earlier gradients alone.
    np.testing.assert_array_equal(kept[0].grad(), [1.0])
    assert kept[1].grad() is None


def test_stale_tensor_never_reaches_the_node_now_at_its_index(panic_exception):
    old = Tensor(np.zeros((2, 3)), dtype="float16", requires_grad=True)
    Tensor.clear_graph()
    new = Tensor([5.0, 6.0, 7.0, 8.0, 9.0], requires_grad=True)
    new.backward()
    # old's id 0 now names new's leaf, but old belongs to the cleared graph.
    assert old.grad() is None
    assert old.requires_grad
    with pytest.raises(panic_exception, match="recorded before the last clear_graph"):
        old.backward()
    np.testing.assert_array_equal(new.grad(), np.ones(5))
    (new * 2.0).backward()  # the store is still usable
    np.testing.assert_array_equal(new.grad(), np.full(5, 2.0))


# --- one graph per thread -------------------------------------------------


def test_each_thread_has_its_own_graph(panic_exception, on_thread):
    x = Tensor([1.0, 2.0], requires_grad=True)
    x.backward()

    def other_thread():
        # The main thread's gradient is not visible here ...
        assert x.grad() is None
        # ... and x's id 0 lies beyond this thread's empty graph.
        with pytest.raises(panic_exception) as info:
            x.backward()
        assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
        Tensor.clear_graph()
        y = Tensor([3.0], requires_grad=True)
        y.backward()
        np.testing.assert_array_equal(y.grad(), [1.0])
        return True

    assert on_thread(other_thread)
    np.testing.assert_array_equal(x.grad(), [1.0, 1.0])


def test_clear_graph_on_another_thread_leaves_this_one_alone(graph_len, on_thread):
    x = Tensor([1.0], requires_grad=True)
    x.backward()
    on_thread(Tensor.clear_graph)
    np.testing.assert_array_equal(x.grad(), [1.0])
    assert graph_len() == 1


def test_ids_in_a_new_thread_start_at_zero(node_id_of, panic_exception, on_thread):
    # Grow the main graph so that a shared counter would hand out large ids.
    main_leaves = [Tensor([0.0], requires_grad=True) for _ in range(4)]

    def make_leaves():
        y = Tensor([1.0, 1.0], requires_grad=True)
        z = Tensor([2.0], requires_grad=True)
        y.backward()
        np.testing.assert_array_equal(y.grad(), [1.0, 1.0])
        return y, z

    y, z = on_thread(make_leaves)
    # y's id 0 names the first main leaf here, but y is not of this graph.
    assert y.grad() is None
    with pytest.raises(panic_exception, match="on another thread"):
        y.backward()
    for leaf in main_leaves:
        assert leaf.grad() is None
    assert (node_id_of(y), node_id_of(z)) == (0, 1)


def test_threads_build_graphs_concurrently():
    barrier = threading.Barrier(4)

    def work(seed):
        def run():
            barrier.wait()
            leaves = []
            for i in range(50):
                leaves.append(Tensor(np.full((2,), seed + i, dtype=np.float32), requires_grad=True))
                leaves[-1].reshape([2, 1]).transpose(0, 1)
            leaves[-1].backward()
            return leaves[-1].grad(), leaves[0].grad()

        return run

    results = []
    threads = [threading.Thread(target=lambda s=s: results.append(work(s)())) for s in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 4
    for last, first in results:
        np.testing.assert_array_equal(last, [1.0, 1.0])
        assert first is None


# --- tensors of a cleared or foreign graph ---------------------------------

STALE = "recorded before the last clear_graph\\(\\) or on another thread"

STALE_OPERATIONS = {
    "add": lambda s, t: s + t,
    "radd": lambda s, t: t + s,
    "sub": lambda s, t: t - s,
    "mul": lambda s, t: s * t,
    "div": lambda s, t: t / s,
    # Refused before the product checks its operands' axes.
    "matmul": lambda s, t: s @ t,
    "rmatmul": lambda s, t: t @ s,
    "scalar_add": lambda s, t: s + 1.0,
    "scalar_sub": lambda s, t: s - 1.0,
    "scalar_mul": lambda s, t: 2.0 * s,
    "scalar_div": lambda s, t: s / 2.0,
    "number_over_tensor": lambda s, t: 2.0 / s,
    "relu": lambda s, t: relu(s),
    "reshape": lambda s, t: s.reshape([2, 1]),
    "transpose": lambda s, t: s.reshape([1, 2]).transpose(0, 1),
}


@pytest.mark.parametrize("other_requires_grad", [False, True])
@pytest.mark.parametrize("op", STALE_OPERATIONS.values(), ids=STALE_OPERATIONS.keys())
def test_recorded_operation_refuses_a_stale_operand_before_recording(op, other_requires_grad, graph_len):
    stale = Tensor([1.0, 2.0], requires_grad=True)
    Tensor.clear_graph()
    other = Tensor([3.0, 4.0], requires_grad=other_requires_grad)
    before = graph_len()
    with pytest.raises(RuntimeError, match=STALE):
        op(stale, other)
    assert graph_len() == before
    # Operations that record nothing never look at the graph.
    np.testing.assert_array_equal((stale > other).to_numpy(), [False, False])


def test_training_loop_with_weights_made_once_fails_loudly_in_its_second_step():
    w = Tensor(np.ones((3, 2)), requires_grad=True)
    x = Tensor(np.ones((4, 3)))
    (relu(x @ w)).backward()
    Tensor.clear_graph()
    with pytest.raises(RuntimeError, match=STALE) as info:
        relu(x @ w)
    assert "Make it again after clear_graph()" in str(info.value)
    assert w.grad() is None


def test_training_loop_done_right_matches_pytorch():
    torch = pytest.importorskip("torch")
    rng = np.random.default_rng(3)
    w1, w2 = rng.standard_normal((5, 8)).astype(np.float32), rng.standard_normal((8, 2)).astype(np.float32)
    tw1, tw2 = torch.tensor(w1, requires_grad=True), torch.tensor(w2, requires_grad=True)
    for _ in range(3):
        x = rng.standard_normal((4, 5)).astype(np.float32)
        Tensor.clear_graph()
        qw1, qw2 = Tensor(w1, requires_grad=True), Tensor(w2, requires_grad=True)
        (relu(Tensor(x) @ qw1) @ qw2).backward()
        tw1.grad = tw2.grad = None
        (torch.relu(torch.tensor(x) @ tw1) @ tw2).sum().backward()
        for ours, theirs in ((qw1, tw1), (qw2, tw2)):
            np.testing.assert_allclose(ours.grad(), theirs.grad.numpy(), rtol=1e-5, atol=1e-5)
        w1 -= 0.1 * qw1.grad()
        w2 -= 0.1 * qw2.grad()
        with torch.no_grad():
            tw1 -= 0.1 * tw1.grad
            tw2 -= 0.1 * tw2.grad


def test_tensor_passed_to_another_thread_is_refused_there(panic_exception, on_thread):
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = x * 3.0
    y.backward()

    def elsewhere():
        Tensor([0.0], requires_grad=True)  # index 0 exists here too
        assert x.grad() is None and y.grad() is None
        with pytest.raises(RuntimeError, match=STALE):
            x + 1.0
        with pytest.raises(panic_exception, match="on another thread"):
            x.backward()
        with pytest.raises(panic_exception, match="the len is 1 but the index is 1"):
            y.backward()
        return (x * Tensor([2.0, 2.0])).to_numpy()  # constant use would still record x

    with pytest.raises(RuntimeError, match=STALE):
        on_thread(elsewhere)
    np.testing.assert_array_equal(x.grad(), [3.0, 3.0])
