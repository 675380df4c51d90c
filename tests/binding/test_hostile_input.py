"""Arguments built to mislead the binding: lying sequences, str subclasses,
protocols that raise or lie, arrays in every layout NumPy allows, very many
axes. (Names that are not valid text, and a str subclass with its own
lower(), are among the constructor's tests.) Each gives an exception or the right
values, never a crash, and the graph works afterwards."""

import numpy as np
import pytest

import quarn_core
from quarn_core import Tensor

relu = quarn_core.nn.functional.relu


class LyingSequence:
    """Claims an enormous length, yields three items."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i < 3:
            return 1
        raise IndexError(i)


@pytest.mark.parametrize(
    "shape, exc_type",
    [(LyingSequence(2**61 + 1), MemoryError), (LyingSequence(2**40), (MemoryError, IndexError)),
     (LyingSequence(4), IndexError), (range(2**61 + 1), MemoryError)],
    ids=["claims 2**61+1", "claims 2**40", "claims 4", "range too long to store"],
)
def test_reshape_with_a_sequence_too_long_or_lying_about_its_length(shape, exc_type):
    with pytest.raises(exc_type) as info:
        Tensor([1.0]).reshape(shape)
    assert info.value.__notes__ == ["while processing 'shape'"]


# --- objects whose protocols raise or lie -----------------------------------------


def assert_graph_usable():
    x = Tensor([1.5, -2.0], requires_grad=True)
    (x * x).backward()
    assert x.grad().tolist() == [3.0, -4.0]


def hostile(**methods):
    """An instance of a fresh class with the given special methods."""
    return type("Hostile", (), methods)()


def raising(exc):
    def method(*args):
        raise exc

    return method


def raising_property(exc):
    return property(raising(exc))


class Shrinking:
    """Loses its last item every time one is read."""

    def __init__(self):
        self.items = [1, 2, 3]

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        value = self.items[i]
        self.items.pop()
        return value


def raising_class_attribute(name, exc):
    """An instance whose class attribute `name` (read on the type) raises."""
    meta = type("HostileMeta", (type,), {name: raising_property(exc)})
    return meta("Hostile", (), {})()


def odd_str(text, **methods):
    return type("OddStr", (str,), methods)(text)


def make_tensor(**kwargs):
    return lambda: Tensor([1.0], **kwargs)


def reshape_to(shape):
    return lambda: Tensor(np.zeros(6, np.float32)).reshape(shape)


# Conversions are Python's: whatever an object's protocol raises passes on,
# through conversions that report failure and through those whose failure
# only means "try something else" alike when it is an interrupt or
# MemoryError; lies are refused with the interpreter's own TypeError.
RAISES = {
    "shape __len__ interrupted": (
        reshape_to(hostile(__len__=raising(KeyboardInterrupt), __getitem__=raising(IndexError))),
        KeyboardInterrupt,
    ),
    "shape __len__ lies with a str": (
        reshape_to(hostile(__len__=lambda self: "6", __getitem__=raising(IndexError))),
        TypeError,
    ),
    "shape __getitem__ raises": (
        reshape_to(hostile(__len__=lambda self: 2, __getitem__=raising(ZeroDivisionError))),
        ZeroDivisionError,
    ),
    "shape shrinks while read": (
        reshape_to(Shrinking()),
        IndexError,
    ),
    "shape item __index__ exits": (
        reshape_to([hostile(__index__=raising(SystemExit))]),
        SystemExit,
    ),
    "shape item __index__ lies": (
        reshape_to([hostile(__index__=lambda self: 6.0)]),
        TypeError,
    ),
    "shape __class__ interrupted": (
        reshape_to(hostile(__class__=raising_property(KeyboardInterrupt))),
        KeyboardInterrupt,
    ),
    "shape __class__ raises": (
        reshape_to(hostile(__class__=raising_property(ValueError))),
        TypeError,
    ),
    "transpose axis __index__ interrupted": (
        lambda: Tensor([[1.0]]).transpose(hostile(__index__=raising(KeyboardInterrupt)), 0),
        KeyboardInterrupt,
    ),
    "dtype __name__ interrupted": (
        make_tensor(dtype=hostile(__name__=raising_property(KeyboardInterrupt))),
        KeyboardInterrupt,
    ),
    "dtype __name__ out of memory": (
        make_tensor(dtype=hostile(__name__=raising_property(MemoryError))),
        MemoryError,
    ),
    "requires_grad type __module__ interrupted": (
        make_tensor(requires_grad=raising_class_attribute("__module__", KeyboardInterrupt)),
        KeyboardInterrupt,
    ),
    "requires_grad type __module__ raises": (
        make_tensor(requires_grad=raising_class_attribute("__module__", ValueError)),
        TypeError,
    ),
    "device str subclass with odd dunders": (
        # Neither method is asked: the ValueError is the device check's.
        make_tensor(device=odd_str("gpu", __eq__=raising(ZeroDivisionError), lower=raising(ZeroDivisionError))),
        ValueError,
    ),
    "data element __float__ interrupted": (
        lambda: Tensor([1.0, hostile(__float__=raising(KeyboardInterrupt))]),
        KeyboardInterrupt,
    ),
    "object array element __float__ interrupted": (
        lambda: Tensor(np.array([1.0, hostile(__float__=raising(KeyboardInterrupt))], dtype=object)),
        KeyboardInterrupt,
    ),
    "to_numpy of 100,000 axes": (
        lambda: Tensor([1.0]).reshape([1] * 100_000).to_numpy(),
        ValueError,
    ),
    "half product beyond memory": (
        lambda: Tensor(np.zeros((2**20, 1)), dtype="float16") @ Tensor(np.zeros((1, 2**20)), "float16"),
        MemoryError,
    ),
}


@pytest.mark.parametrize("case", list(RAISES))
def test_hostile_objects_raise_python_exceptions(case):
    make, exc_type = RAISES[case]
    with pytest.raises(exc_type):
        make()
    assert_graph_usable()


def recursive_list():
    data = [1.0]
    data.append(data)
    return data


def deep_list(depth):
    data = [1.0]
    for _ in range(depth):
        data = [data]
    return data


def clears_its_list():
    data = [1.0, 2.0]
    data.append(hostile(__float__=lambda self: data.clear() or 3.0))
    data.append(4.0)
    return data


@pytest.mark.parametrize(
    "make",
    [recursive_list, lambda: deep_list(100_000),
     pytest.param(clears_its_list, marks=pytest.mark.skipif(
         np.lib.NumpyVersion(np.__version__) < "2.0.0",
         reason="NumPy 1 itself crashes converting a list that changes while it is read")),
     lambda: np.array([1.0, "x", None], dtype=object)],
    ids=["recursive list", "deep list", "list cleared while read", "object array"],
)
def test_data_numpy_refuses_is_refused_alike(make):
    expected = actual = None
    try:
        np.array(make(), dtype="float32")
    except Exception as exc:  # noqa: BLE001 - the class is what we compare
        expected = type(exc)
    try:
        Tensor(make())
    except Exception as exc:  # noqa: BLE001
        actual = type(exc)
    assert expected is not None and actual is expected
    assert_graph_usable()


# --- arrays in layouts NumPy allows ------------------------------------------------


def unaligned(dtype, shape):
    """An array of arange values whose data starts one byte past alignment."""
    size = int(np.prod(shape))
    raw = np.zeros(size * np.dtype(dtype).itemsize + 1, np.uint8)[1:]
    array = raw.view(dtype).reshape(shape)
    array[...] = np.arange(size).reshape(shape)
    assert not array.flags.aligned
    return array


ODD_ARRAYS = {
    "unaligned": (lambda: unaligned(np.float32, (7,)), "float32"),
    "unaligned, transposed": (lambda: unaligned(np.float32, (3, 5)).T, "float32"),
    "unaligned float16, strided": (lambda: unaligned(np.float16, (4, 6))[:, ::3], "float16"),
    "byte-swapped, transposed": (lambda: np.arange(12, dtype=">f4").reshape(3, 4).T, "float32"),
    "zero strides": (lambda: np.broadcast_to(np.arange(3, dtype=np.float32), (4, 2, 3)), "float32"),
    "zero and negative strides": (
        lambda: np.broadcast_to(np.arange(3, dtype=np.float16)[::-1], (2, 3))[:, ::-1],
        "float16",
    ),
    "negative strides": (lambda: np.arange(24, dtype=np.float32).reshape(2, 3, 4)[::-1, :, ::-2], "float32"),
    "bools that are not 0 or 1": (lambda: np.array([0, 1, 2, 255], np.uint8).view(np.bool_)[::-1], "bool"),
    "32 axes": (lambda: np.arange(4, dtype=np.float32).reshape((1,) * 15 + (2,) + (1,) * 15 + (2,)), "float32"),
}


@pytest.mark.parametrize("case", list(ODD_ARRAYS))
def test_odd_array_layouts_give_numpys_values(case):
    make, dtype = ODD_ARRAYS[case]
    array = make()
    out = Tensor(array, dtype=dtype).to_numpy()
    # Through Python values, so that a bool is stored as 0 or 1.
    expected = np.array(array.tolist(), dtype=dtype)
    assert out.shape == expected.shape
    assert out.tobytes() == expected.tobytes()
    assert_graph_usable()


# --- very many axes -----------------------------------------------------------------


@pytest.mark.parametrize("n_axes", [32, 100_000])
def test_many_axes_forward_and_backward(n_axes):
    # Powers of two keep every step exact; the two smallest values make the
    # relu argument negative, so their gradient stops there.
    x = np.array([0.25, 0.5, 1.0, 2.0, 4.0, 8.0])
    leaf = Tensor(x, requires_grad=True)
    t = leaf.reshape([1] * n_axes + [2, 3]).transpose(0, n_axes - 1)
    y = relu(t * t + t / 2.0 - 1.0 / t)
    mask = (y > 1.0) & (t < 8.0)
    y.backward()
    v = x * x + x / 2 - 1 / x
    assert y.ndim == n_axes + 2 and mask.ndim == n_axes + 2
    assert y.reshape([6]).to_numpy().tolist() == np.maximum(v, 0).tolist()
    assert mask.reshape([6]).to_numpy().tolist() == ((v > 1) & (x < 8)).tolist()
    assert leaf.grad().tolist() == np.where(v > 0, 2 * x + 0.5 + 1 / x**2, 0).tolist()
