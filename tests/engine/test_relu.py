"""ReLU forward: x when x > 0, else +0 (NaN included), on every half-precision
pattern, on binary32 specials, and with the operand's memory order kept."""

import ml_dtypes
import numpy as np
import pytest

import quarn_core
from quarn_core import Tensor

relu = quarn_core.nn.functional.relu

NP_TYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}


def raw(t):
    out = np.ascontiguousarray(t.to_numpy())
    return out.view(np.uint16 if out.itemsize == 2 else np.uint32)


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_every_half_pattern(dtype):
    bits = np.arange(65536, dtype=np.uint16)
    x = bits.view(NP_TYPES[dtype])
    with np.errstate(invalid="ignore"):
        keep = x.astype(np.float32) > 0  # decided by value: NaN and both zeros fail
    np.testing.assert_array_equal(raw(relu(Tensor(x, dtype=dtype))), np.where(keep, bits, 0))


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_gradient_on_every_half_pattern(dtype):
    bits = np.arange(65536, dtype=np.uint16)
    x = bits.view(NP_TYPES[dtype])
    t = Tensor(x, dtype=dtype, requires_grad=True)
    relu(t).backward()
    with np.errstate(invalid="ignore"):
        passes = x.astype(np.float32) > 0  # NaN patterns and both zeros stop it
    np.testing.assert_array_equal(t.grad().astype(np.float32), passes.astype(np.float32))


def test_f32_specials_and_random_values(rng):
    x = np.concatenate([
        np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 1e-45, -1e-45, 3.5, -3.5], np.float32),
        rng.standard_normal(1000).astype(np.float32),
    ])
    bits = x.view(np.uint32)
    np.testing.assert_array_equal(raw(relu(Tensor(x))), np.where(x > 0, bits, 0))


@pytest.mark.parametrize("dtype", list(NP_TYPES))
def test_named_values(dtype):
    got = relu(Tensor([-1.0, 0.0, 2.5, -0.0, np.nan, -np.inf, np.inf], dtype=dtype)).to_numpy()
    values = got.astype(np.float64)
    np.testing.assert_array_equal(values, [0.0, 0.0, 2.5, 0.0, 0.0, 0.0, np.inf])
    assert not np.signbit(values).any()


@pytest.mark.parametrize("dtype", list(NP_TYPES))
def test_transposed_operand_keeps_its_strides(rng, dtype):
    a = rng.standard_normal((2, 3)).astype(NP_TYPES[dtype])
    t = Tensor(a, dtype=dtype).transpose(0, 1)
    got = relu(t)
    assert got.shape == [3, 2] and got.strides == [1, 3]
    np.testing.assert_array_equal(got.to_numpy(), np.maximum(a.T, 0).astype(NP_TYPES[dtype]))
    # The kept layout is not row-major, so reshape refuses it.
    with pytest.raises(ValueError) as info:
        got.reshape([6])
    assert "IncompatibleLayout" in str(info.value)


def test_empty_and_zero_dimensional():
    empty = relu(Tensor(np.zeros((0, 3), np.float32)))
    assert empty.shape == [0, 3] and empty.to_numpy().shape == (0, 3)
    scalar = relu(Tensor(-2.0))
    assert scalar.shape == [] and scalar.to_numpy() == 0.0


def test_bool_is_rejected():
    with pytest.raises(TypeError) as info:
        relu(Tensor([True], dtype="bool"))
    assert str(info.value) == "Tensor Dtype not supported for this operation: relu"
