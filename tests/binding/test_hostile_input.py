"""Arguments built to mislead the binding: lying sequences, str subclasses,
names that are not valid text. Each gives an exception, never a crash."""

import pytest

from quarn_core import Tensor


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


@pytest.mark.parametrize("length", [2**61 + 1, 2**40, 4])
def test_reshape_with_a_sequence_that_lies_about_its_length(length):
    with pytest.raises((MemoryError, IndexError)) as info:
        Tensor([1.0]).reshape(LyingSequence(length))
    assert info.value.__notes__ == ["while processing 'shape'"]


def test_reshape_with_a_range_too_long_to_store():
    with pytest.raises(MemoryError):
        Tensor([1.0]).reshape(range(2**61 + 1))


class AlwaysCpu(str):
    def lower(self):
        return "cpu"


def test_device_is_lowered_as_a_str_not_by_a_subclass():
    with pytest.raises(ValueError, match="^The device string is invalid or not supported.$"):
        Tensor([1.0], device=AlwaysCpu("gpu"))
    assert Tensor([1.0], device=AlwaysCpu("CPU")).device == "cpu"


@pytest.mark.parametrize("name", ["f\x00", "float32\x00", "\udcff", "f32 "])
def test_invalid_dtype_names_reach_the_message_unchanged(name):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype=name)
    assert str(info.value) == f"Unsupported or invalid data type: '{name}'"
