"""How Tensor's methods bind their arguments and what they return."""

import numpy as np
import pytest

from quarn_core import Tensor


@pytest.mark.parametrize(
    "method, args, kwargs",
    [
        ("grad", (1,), {}),
        ("to_numpy", (None,), {}),
        ("to_numpy", (), {"copy": True}),
        ("zeros_like", (1,), {}),
        ("ones_like", (), {"dtype": "f16"}),
        ("backward", (None,), {}),
        ("backward", (), {"gradient": 1.0}),
        ("clear_graph", (1,), {}),
        ("reshape", (), {}),
        ("reshape", ([6], [6]), {}),
        ("reshape", (), {"shape": [6], "order": "C"}),
        ("reshape", ([6],), {"shape": [6]}),
        ("reshape", (2, 3), {}),
        ("transpose", (0,), {}),
        ("transpose", (0, 1, 2), {}),
        ("transpose", (0,), {"dim0": 1}),
        ("transpose", (), {"dim0": 0}),
        ("transpose", (), {"dim0": 0, "dim2": 1}),
        *[(method, args, kwargs)
          for method in ("__req__", "__rlt__", "__rgt__")
          for args, kwargs in [((), {}), ((1.0, 2.0), {}), ((), {"value": 1.0}), ((1.0,), {"other": 1.0})]],
    ],
)
def test_wrong_arguments_raise_type_error(method, args, kwargs):
    t = Tensor(np.arange(6.0).reshape(2, 3), requires_grad=True)
    with pytest.raises(TypeError) as info:
        getattr(t, method)(*args, **kwargs)
    # The interpreter's binding error, naming the method; no argument note.
    assert method in str(info.value)
    assert not getattr(info.value, "__notes__", None)
    assert t.shape == [2, 3]
    np.testing.assert_array_equal(t.to_numpy(), np.arange(6.0).reshape(2, 3))


def test_parameters_by_keyword():
    t = Tensor(np.arange(6.0).reshape(2, 3))
    assert t.reshape(shape=[3, 2]).shape == [3, 2]
    assert t.transpose(dim0=0, dim1=1).shape == [3, 2]
    assert t.transpose(1, dim1=0).shape == [3, 2]


def test_methods_are_called_through_the_class_too():
    t = Tensor(np.arange(6.0).reshape(2, 3))
    assert Tensor.reshape(t, [6]).shape == [6]
    assert Tensor.transpose(t, 0, 1).strides == [1, 3]
    np.testing.assert_array_equal(Tensor.to_numpy(t), t.to_numpy())
    with pytest.raises(TypeError):
        Tensor.to_numpy(np.zeros(3))


@pytest.mark.parametrize("on_instance", [False, True])
def test_clear_graph_is_static_and_returns_none(on_instance):
    x = Tensor([1.0, 2.0], requires_grad=True)
    x.backward()
    assert x.grad() is not None
    owner = x if on_instance else Tensor
    assert owner.clear_graph() is None
    assert x.grad() is None
    # The tensor itself is untouched by the clearing.
    assert x.requires_grad is True
    np.testing.assert_array_equal(x.to_numpy(), [1.0, 2.0])


def test_methods_return_new_tensors_and_leave_the_operand_alone(dtype_name, make_random):
    data = make_random((2, 3), dtype_name)
    t = Tensor(data, dtype=dtype_name)
    results = [t.reshape([3, 2]), t.reshape([2, 3]), t.transpose(0, 1), t.transpose(1, 1),
               t.zeros_like(), t.ones_like()]
    for r in results:
        assert type(r) is Tensor
        assert r is not t
    assert (t.shape, t.strides, t.dtype) == ([2, 3], [3, 1], Tensor([], dtype=dtype_name).dtype)
    assert t.to_numpy().tobytes() == data.tobytes()
