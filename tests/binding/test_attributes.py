"""The six read-only attributes of Tensor."""

import numpy as np
import pytest

from quarn_core import Tensor

SHORT = {"float32": "f32", "float16": "f16", "bfloat16": "bf16", "bool": "bool"}


@pytest.mark.parametrize(
    "shape, strides",
    [([], []), ([0], [0]), ([4], [1]), ([2, 3], [3, 1]), ([2, 1, 3], [3, 3, 1]), ([2, 3, 4], [12, 4, 1]),
     ([2, 0], [0, 0]), ([2, 0, 5], [0, 0, 0])],
    ids=str,
)
@pytest.mark.parametrize("requires_grad", [False, True])
def test_attribute_values_and_types(shape, strides, requires_grad, dtype_name):
    # Constructed tensors are row-major whatever their element type.
    t = Tensor(np.zeros(shape), dtype=dtype_name, requires_grad=requires_grad)
    assert t.shape == shape and type(t.shape) is list
    assert all(type(n) is int for n in t.shape)
    assert t.ndim == len(shape) and type(t.ndim) is int
    assert t.strides == strides and type(t.strides) is list
    assert all(type(n) is int for n in t.strides)
    assert t.dtype == SHORT[dtype_name] and type(t.dtype) is str
    assert t.device == "cpu" and type(t.device) is str
    assert t.requires_grad is requires_grad


def test_each_read_builds_a_new_object():
    t = Tensor(np.zeros((2, 3)))
    shape = t.shape
    strides = t.strides
    assert t.shape is not shape and t.strides is not strides
    shape.append(9)
    strides[0] = 100
    assert t.shape == [2, 3]
    assert t.strides == [3, 1]


@pytest.mark.parametrize(
    "name, value",
    [
        ("shape", [6]),
        ("ndim", 1),
        ("strides", [1]),
        ("dtype", "f16"),
        ("device", "cpu"),
        ("requires_grad", True),
    ],
)
def test_attributes_are_read_only(name, value):
    t = Tensor(np.zeros((2, 3)))
    before = getattr(t, name)
    with pytest.raises(AttributeError):
        setattr(t, name, value)
    with pytest.raises(AttributeError):
        delattr(t, name)
    assert getattr(t, name) == before


def test_grad_is_a_method_not_an_attribute():
    t = Tensor([1.0])
    assert callable(t.grad)
    assert t.grad.__self__ is t
    assert t.grad() is None
