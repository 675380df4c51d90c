"""Requests that cannot be satisfied raise MemoryError instead of ending the
process, and leave the interpreter usable."""

import numpy as np
import pytest

from quarn_core import Tensor

HUGE = 2**20  # 2**40 elements per operand pair: terabytes, never available


def test_construction_from_a_huge_broadcast_array():
    data = np.broadcast_to(np.float32(0), (HUGE, HUGE))
    with pytest.raises(MemoryError):
        Tensor(data)


@pytest.mark.parametrize(
    "op",
    [lambda a, b: a + b, lambda a, b: a * b, lambda a, b: a > b, lambda a, b: a @ b],
    ids=["add", "mul", "compare", "matmul"],
)
def test_result_too_large_for_memory(op):
    a = Tensor(np.zeros((HUGE, 1), np.float32))
    b = Tensor(np.zeros((1, HUGE), np.float32))
    with pytest.raises(MemoryError):
        op(a, b)
    # Nothing is left half-done: the same tensors still work.
    np.testing.assert_array_equal(a.reshape([HUGE]).to_numpy()[:3], [0, 0, 0])


def test_element_count_overflow_is_refused_before_allocating():
    a = Tensor(np.zeros((2**40, 1, 0), np.float32))
    b = Tensor(np.zeros((1, 2**40, 0), np.float32))
    with pytest.raises(RuntimeError) as info:
        a + b
    target = f"[{2**40}, {2**40}, 0]"
    assert str(info.value) == f"Broadcast failed for A: [{2**40}, 1, 0] -> {target}"


def test_empty_results_with_huge_extents_need_no_memory():
    a = Tensor(np.zeros((0, 2**40, 0), np.float32))
    b = Tensor(np.zeros((0, 0, 2**40), np.float32))
    r = a @ b
    assert r.shape == [0, 2**40, 2**40]
