"""Indexing, gathering and joining against NumPy and PyTorch.

Values must come out bit for bit (they only move); gradients are the index
expression's scatter-add of the loss weights, which NumPy's add.at computes
for any expression and PyTorch for those it can express."""

import pickle

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarn
import quarn.nn.functional as F
import quarn_core
from quarn import Tensor

try:
    import torch
except ImportError:
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="compares with PyTorch")
DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16, "bool": np.bool_}
EXAMPLES = settings(max_examples=200, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


def values(rng, shape, dtype):
    if dtype == "bool":
        return rng.random(shape) < 0.5
    return (rng.integers(-64, 64, size=shape) / 2.0).astype(DTYPES[dtype])


# ---- Random index expressions ----------------------------------------------------------------

@st.composite
def index_cases(draw):
    """A shape and a NumPy index expression for it: integers, slices of any
    step, None, Ellipsis, and sometimes integer arrays or a mask."""
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=1, max_size=4)))
    key, axis = [], 0
    while axis < len(shape):
        n = shape[axis]
        kind = draw(st.sampled_from(["int", "slice", "slice", "none", "array", "mask", "stop"]))
        if kind == "stop":
            break
        if kind == "none":
            key.append(None)
            continue
        if kind == "int" and n:
            key.append(draw(st.integers(-n, n - 1)))
        elif kind == "array" and n:
            ishape = tuple(draw(st.lists(st.integers(0, 3), max_size=2)))
            key.append(np.asarray(draw(st.lists(st.integers(-n, n - 1), min_size=int(np.prod(ishape)),
                                                max_size=int(np.prod(ishape)))), np.int64).reshape(ishape))
        elif kind == "mask":
            key.append(np.asarray(draw(st.lists(st.booleans(), min_size=n, max_size=n)), bool))
        else:
            bound = st.none() | st.integers(-n - 2, n + 2)
            key.append(slice(draw(bound), draw(bound), draw(st.none() | st.integers(-3, 3).filter(bool))))
        axis += 1
    if axis == len(shape) and draw(st.booleans()):
        # The ellipsis stands for a run of entries that each took one axis.
        i = draw(st.integers(0, len(key)))
        j = draw(st.integers(i, len(key)))
        if all(k is not None for k in key[i:j]):
            key[i:j] = [Ellipsis]
    arrays = [k for k in key if isinstance(k, np.ndarray) and k.dtype != bool]
    if len(arrays) > 1:  # keep them broadcastable: all of the first one's shape, or scalars
        key = [np.resize(k, arrays[0].shape) if isinstance(k, np.ndarray) and k.dtype != bool else k for k in key]
    if sum(isinstance(k, np.ndarray) for k in key) > 1:  # a mask among arrays must broadcast too: drop masks
        key = [slice(None) if isinstance(k, np.ndarray) and k.dtype == bool else k for k in key]
    return shape, tuple(key)


@EXAMPLES
@given(case=index_cases(), dtype=st.sampled_from(list(DTYPES)), seed=st.integers(0, 2 ** 16))
def test_indexing_gives_numpys_values_bit_for_bit(case, dtype, seed):
    shape, key = case
    a = values(np.random.default_rng(seed), shape, dtype)
    want = a[key]
    got = Tensor(a, dtype=dtype)[key].to_numpy()
    assert got.shape == want.shape
    assert got.dtype == want.dtype and got.tobytes() == np.ascontiguousarray(want).tobytes()


def torch_key(key):
    """The key as PyTorch reads it, or None where it cannot (negative steps)
    or reads it otherwise than NumPy (integers beside arrays are basic
    indices to PyTorch; masks over empty axes)."""
    arrays = [k for k in key if isinstance(k, np.ndarray)]
    if arrays and (any(isinstance(k, int) for k in key) or any(k.size == 0 for k in arrays)):
        return None
    out = []
    for k in key:
        if isinstance(k, slice) and k.step is not None and k.step < 0:
            return None
        out.append(torch.from_numpy(np.asarray(k, np.int64 if k.dtype != bool else bool))
                   if isinstance(k, np.ndarray) else k)
    return tuple(out)


@EXAMPLES
@given(case=index_cases(), seed=st.integers(0, 2 ** 16))
def test_indexing_gradients_scatter_back_as_numpy_and_pytorch_do(case, seed):
    shape, key = case
    rng = np.random.default_rng(seed)
    a = rng.standard_normal(shape).astype(np.float32)
    t = Tensor(a, requires_grad=True)
    y = t[key]
    w = rng.standard_normal(y.shape).astype(np.float32)
    quarn.sum(y * Tensor(w)).backward()
    want = np.zeros(shape)
    np.add.at(want, key, w.astype(np.float64))
    np.testing.assert_allclose(t.grad(), want, rtol=1e-6, atol=1e-6)
    if torch is not None and (tk := torch_key(key)) is not None:
        tt = torch.tensor(a, requires_grad=True)
        (tt[tk] * torch.from_numpy(w)).sum().backward()
        np.testing.assert_allclose(t.grad(), tt.grad.numpy(), rtol=1e-6, atol=1e-6)


# ---- Views into a shared buffer ------------------------------------------------------------------

VIEW_USES = {
    "to_numpy": lambda v: v.to_numpy(),
    "pickle": lambda v: pickle.loads(pickle.dumps(v)).to_numpy(),
    "array": lambda v: np.asarray(v),
    "arithmetic": lambda v: (v * 2.0 + v).to_numpy(),
    "sum": lambda v: quarn.sum(v, axis=-1).to_numpy(),
    "max": lambda v: quarn.max(v, axis=0).to_numpy(),
    "matmul": lambda v: (v @ v.transpose(0, 1)).to_numpy(),
    "reshape": lambda v: v.reshape(-1).to_numpy(),
    "view of a view": lambda v: v[v.shape[0] // 2:][-1].to_numpy(),
    "transposed": lambda v: v.T.to_numpy(),
    "gather": lambda v: v[[-1, 0, -1]].to_numpy(),
    "joined": lambda v: quarn.concatenate([v, v], axis=1).to_numpy(),
}


@pytest.mark.parametrize("select", [lambda t: t[3:9], lambda t: t[5], lambda t: t[2:8, 1:2],
                                    lambda t: t.T[:, 4:10].T],
                         ids=["row block", "row", "column block", "block of a transposed tensor"])
@pytest.mark.parametrize("use", list(VIEW_USES))
@pytest.mark.parametrize("dtype", ["float32", "bfloat16"])
def test_views_are_read_from_where_they_start(select, use, dtype, rng):
    a = values(rng, (12, 6), dtype)
    v = select(Tensor(a, dtype=dtype))
    if v.ndim < 2:
        v = v.reshape(1, -1)
    expected_input = select(a)
    if expected_input.ndim < 2:
        expected_input = expected_input.reshape(1, -1)
    got = VIEW_USES[use](v)
    want = VIEW_USES[use](Tensor(np.ascontiguousarray(expected_input), dtype=dtype))
    assert np.asarray(got).tobytes() == np.asarray(want).tobytes()


# ---- The large gather's scatter-add is the same on any number of threads ------------------------

@pytest.mark.parametrize("dtype", ["float32", "bfloat16"])
def test_scatter_add_of_a_large_gather_is_bit_identical_on_any_thread_count(dtype, rng):
    table = rng.standard_normal((3000, 64)).astype(DTYPES[dtype])
    ids = rng.integers(0, 3000, size=20000)
    w = rng.standard_normal((20000, 64)).astype(DTYPES[dtype])
    before = quarn.get_num_threads()
    grads = []
    try:
        for threads in (1, 2, 3):
            quarn.set_num_threads(threads)
            quarn.clear_graph()
            t = Tensor(table, dtype=dtype, requires_grad=True)
            forward = t[ids]
            quarn.sum(forward * Tensor(w, dtype=dtype)).backward()
            assert forward.to_numpy().tobytes() == table[ids].tobytes()
            grads.append(t.grad().tobytes())
    finally:
        quarn.set_num_threads(before)
    assert grads[0] == grads[1] == grads[2]
    want = np.zeros(table.shape)
    np.add.at(want, ids, w.astype(np.float64))
    got = np.frombuffer(grads[0], DTYPES[dtype]).reshape(table.shape).astype(np.float64)
    # Each row sums in binary32 and is rounded once to the dtype.
    tol = 2.0 ** -7 if dtype == "bfloat16" else 1e-5
    np.testing.assert_allclose(got, want, rtol=tol, atol=tol * np.abs(want).max())


# ---- Gathers, joins and splits against their NumPy and PyTorch namesakes ---------------------------

IDX = np.array([[2, 0, 1, 2], [1, 1, 0, 3]])
FUNCTIONS = {
    "take_along_axis": (lambda a: quarn.take_along_axis(a, IDX[:1, :3] % 4, axis=1),
                        lambda a: np.take_along_axis(a, IDX[:1, :3] % 4, axis=1),
                        lambda a: torch.take_along_dim(a, torch.tensor(IDX[:1, :3] % 4), dim=1)),
    "gather": (lambda a: quarn.gather(a, 0, IDX[:, :2] % 3),
               lambda a: a[IDX[:, :2] % 3, np.arange(2)],
               lambda a: torch.gather(a, 0, torch.tensor(IDX[:, :2] % 3))),
    "take": (lambda a: quarn.take(a, IDX, axis=None),
             lambda a: np.take(a, IDX),
             lambda a: a.reshape(-1)[torch.tensor(IDX)]),
    "embedding": (lambda a: F.embedding(IDX % 3, a),
                  lambda a: a[IDX % 3],
                  lambda a: torch.nn.functional.embedding(torch.tensor(IDX % 3), a)),
    "logits[arange, y]": (lambda a: a[np.arange(3), [3, 0, 3]],
                          lambda a: a[np.arange(3), [3, 0, 3]],
                          lambda a: a[torch.arange(3), torch.tensor([3, 0, 3])]),
    "mask": (lambda a: a[Tensor(np.array([True, False, True]), dtype="bool")],
             lambda a: a[np.array([True, False, True])],
             lambda a: a[torch.tensor([True, False, True])]),
    "mask over two axes": (lambda a: a[a > 0.0], lambda a: a[a > 0.0], lambda a: a[a > 0.0]),
    "cat": (lambda a: quarn.cat([a, a[1:], a[:1]], dim=0),
            lambda a: np.concatenate([a, a[1:], a[:1]], axis=0),
            lambda a: torch.cat([a, a[1:], a[:1]], 0)),
    "stack": (lambda a: quarn.stack([a, a * 2.0, a.T.T], axis=1),
              lambda a: np.stack([a, a * 2.0, a], axis=1),
              lambda a: torch.stack([a, a * 2.0, a], 1)),
    "split": (lambda a: quarn.concatenate(list(quarn.split(a, [1, 3], 1))[::-1], axis=1),
              lambda a: np.concatenate([a[:, 1:], a[:, :1]], axis=1),
              lambda a: torch.cat(torch.split(a, [1, 3], 1)[::-1], 1)),
    "chunk": (lambda a: quarn.chunk(a, 2, dim=0)[1],
              lambda a: a[2:],
              lambda a: torch.chunk(a, 2, 0)[1]),
    "einsum ij,kj->ik": (lambda a: quarn.einsum("ij,kj->ik", a, a),
                         lambda a: np.einsum("ij,kj->ik", a, a),
                         lambda a: torch.einsum("ij,kj->ik", a, a)),
    "einsum bij,bjk->bik": (lambda a: quarn.einsum("bij,bjk->bik", a.reshape(1, 3, 4), a.reshape(1, 4, 3)),
                            lambda a: np.einsum("bij,bjk->bik", a.reshape(1, 3, 4), a.reshape(1, 4, 3)),
                            lambda a: torch.einsum("bij,bjk->bik", a.reshape(1, 3, 4), a.reshape(1, 4, 3))),
    "einsum ...ij,...jk": (lambda a: quarn.einsum("...ij,...jk", a.reshape(2, 3, 2), a[:2].reshape(2, 2, 2)),
                           lambda a: np.einsum("...ij,...jk", a.reshape(2, 3, 2), a[:2].reshape(2, 2, 2)),
                           lambda a: torch.einsum("...ij,...jk", a.reshape(2, 3, 2), a[:2].reshape(2, 2, 2))),
    "einsum ii->i": (lambda a: quarn.einsum("ii->i", a[:, :3]),
                     lambda a: np.einsum("ii->i", a[:, :3]),
                     lambda a: torch.einsum("ii->i", a[:, :3])),
    "einsum trace": (lambda a: quarn.einsum("ii", a[:, 1:]),
                     lambda a: np.einsum("ii", a[:, 1:]),
                     lambda a: torch.einsum("ii", a[:, 1:])),
    "einsum ij->": (lambda a: quarn.einsum("ij->", a),
                    lambda a: np.einsum("ij->", a),
                    lambda a: torch.einsum("ij->", a)),
    "einsum outer": (lambda a: quarn.einsum("i,j", a[0], a[1]),
                     lambda a: np.einsum("i,j", a[0], a[1]),
                     lambda a: torch.einsum("i,j", a[0], a[1])),
    "einsum ij,jk,kl->il": (lambda a: quarn.einsum("ij,jk,kl->il", a, a.T, a),
                            lambda a: np.einsum("ij,jk,kl->il", a, a.T, a),
                            lambda a: torch.einsum("ij,jk,kl->il", a, a.T, a)),
}


@needs_torch
@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_functions_match_numpy_values_and_pytorch_gradients(name, rng):
    ours, numpy_model, torch_model = FUNCTIONS[name]
    a = values(rng, (3, 4), "float32")
    t = Tensor(a, requires_grad=True)
    y = ours(t)
    want = numpy_model(a.astype(np.float64))
    np.testing.assert_allclose(y.to_numpy(), want, rtol=1e-6, atol=1e-6)
    w = rng.standard_normal(y.shape).astype(np.float32)
    quarn.sum(y * Tensor(w)).backward()
    tt = torch.tensor(a, requires_grad=True)
    (torch_model(tt) * torch.from_numpy(w)).sum().backward()
    np.testing.assert_allclose(t.grad(), tt.grad.numpy(), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_joins_and_splits_move_every_dtype_exactly(dtype, rng):
    a = values(rng, (4, 6), dtype)
    t = Tensor(a, dtype=dtype)
    pieces = quarn.split(t, 4, 1)
    assert [list(p.shape) for p in pieces] == [[4, 4], [4, 2]]
    assert quarn.concatenate(pieces, axis=1).to_numpy().tobytes() == a.tobytes()
    assert quarn.stack(quarn.chunk(t, 3), axis=0).to_numpy().tobytes() == np.stack(np.split(a, 2)).tobytes()
    assert quarn.take(t, [[5, -1]], axis=1).to_numpy().tobytes() == np.take(a, [[5, -1]], axis=1).tobytes()


# ---- Refusals ---------------------------------------------------------------------------------------

def grad_tensor(*shape):
    return Tensor(np.ones(shape, np.float32), requires_grad=True)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda t: t[3], IndexError, "index 3 is out of bounds for axis 0 with size 3"),
        (lambda t: t[0, -6], IndexError, "index -6 is out of bounds for axis 1"),
        (lambda t: t[0, 0, 0], IndexError, "too many indices"),
        (lambda t: t[..., 1, ...], IndexError, "single ellipsis"),
        (lambda t: t[[0, 3]], IndexError, "out of bounds"),
        (lambda t: t[[0, 1], [0, 5]], IndexError, "out of bounds"),
        (lambda t: t[1:, [0, 5]], IndexError, "out of bounds"),
        (lambda t: t[None, [0, 1, 2], [0, 1]], IndexError, "could not be broadcast"),
        (lambda t: t[[0, 1], [0, 1, 2]], IndexError, "could not be broadcast"),
        (lambda t: t[np.array([True, False])], IndexError, "boolean index did not match"),
        (lambda t: t[1.0], TypeError, "integer or bool"),
        (lambda t: quarn_core._functions._getitem(t, (0, 1.0)), TypeError, "not a valid index"),
        (lambda t: t[np.array([0.0])], TypeError, "integer or bool"),
        (lambda t: t[True], TypeError, "single bool"),
        (lambda t: t[t], TypeError, "bool mask"),
        (lambda t: t[::0], ValueError, "slice step cannot be zero"),
        (lambda t: quarn.take(t, [0], axis=2), IndexError, "axis 2 is out of bounds"),
        (lambda t: quarn.take(t, [1.5]), TypeError, "must be integers, not float64"),
        (lambda t: quarn.take(t, [True, False]), TypeError, "must be integers, not bool"),
        (lambda t: quarn.take(t, [0], axis=(0, -1, 1)), ValueError, "adjacent"),
        (lambda t: quarn.concatenate([t, Tensor(np.ones((3, 4), np.float32))], axis=0), ValueError, "must match exactly"),
        (lambda t: quarn.concatenate([t, Tensor(np.ones(5, np.float32))]), ValueError, "number of dimensions"),
        (lambda t: quarn.concatenate([t, Tensor(np.ones((3, 5)), dtype="float16")]), TypeError, "one dtype"),
        (lambda t: quarn.concatenate([]), ValueError, "at least one"),
        (lambda t: quarn.concatenate([t], axis=-3), IndexError, "axis -3"),
        (lambda t: quarn.concatenate(t), TypeError, "sequence of tensors"),
        (lambda t: quarn.split(t, [2, 2]), ValueError, "add up to 3"),
        (lambda t: quarn.gather(t, 1, [[0, 5]]), IndexError, "out of bounds"),
        (lambda t: quarn.stack([t, Tensor(np.ones((5, 3), np.float32))]), ValueError, "same shape"),
        (lambda t: quarn.einsum("ij,jk", t, t), ValueError, "extents"),
        (lambda t: quarn.einsum("ijk", t), ValueError, "name 3 axes"),
    ],
)
def test_bad_indices_are_refused_before_anything_is_recorded(call, error, match, graph_len):
    t = grad_tensor(3, 5)
    before = graph_len()
    with pytest.raises(error, match=match):
        call(t)
    assert graph_len() == before


def test_item_assignment_is_refused_with_what_to_do_instead():
    t = Tensor(np.zeros((2, 2), np.float32))
    with pytest.raises(TypeError, match="immutable.*concatenate"):
        t[0, 0] = 1.0
    assert t.to_numpy().tolist() == [[0.0, 0.0], [0.0, 0.0]]


def test_iteration_walks_the_first_axis_as_numpy_does(rng):
    a = values(rng, (4, 3), "float32")
    assert [row.to_numpy().tolist() for row in Tensor(a)] == a.tolist()
    with pytest.raises(TypeError, match="0-d"):
        iter(Tensor(np.float32(1.0)))
