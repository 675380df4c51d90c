"""Construction from NumPy views that are neither row- nor column-major: the
gather walks them by NumPy's own byte strides, which need not be multiples
of the item size, and merges whatever axes the view lets it merge."""

import numpy as np
import pytest

from quarn_core import Tensor

# The array's values sit one padding byte after another, so every stride of
# a view of the field is an odd number of bytes; `packed` is the same values
# without padding, where merged axes become long copies.
VIEWS = {
    "field": lambda a: a,
    "field, reversed": lambda a: a[::-1, :, ::-1, :],
    "field, stepped and transposed": lambda a: a[:, ::2, :, ::3].transpose(3, 1, 0, 2),
    "field, one row": lambda a: a[1:2, 2:3],
    "field, empty": lambda a: a[:, 3:3],
    "field, many axes": lambda a: a.reshape(3, 2, 2, 5, 6)[None, :, ::-1, :, None, :, ::2, None],
    "packed, row pieces": lambda a: np.ascontiguousarray(a)[:, :, 1:4, :],
    "packed, inner axes merge": lambda a: np.ascontiguousarray(a)[::2],
    "packed, inner axes reversed": lambda a: np.ascontiguousarray(a)[:, ::-1, ::-1, ::-1],
}


@pytest.mark.parametrize("view", list(VIEWS))
def test_views_with_any_byte_strides_give_numpys_values(view, dtype_name, rng):
    dtype = np.dtype(dtype_name)
    records = np.zeros((3, 4, 5, 6), dtype=[("pad", "u1"), ("value", dtype)])
    records["value"] = rng.random(records.shape) < 0.5 if dtype_name == "bool" else rng.standard_normal(records.shape)
    array = VIEWS[view](records["value"])
    out = Tensor(array, dtype=dtype_name).to_numpy()
    want = np.ascontiguousarray(array)
    assert out.shape == want.shape
    assert out.tobytes() == want.tobytes()
