"""Indexing, gathering, joining and splitting, on the compiled operations.

Three recorded operations do all the work: basic indexing (`_getitem`: a
view where the selection is a dense block of the input, a copy otherwise),
`take` (elements at integer positions along an axis or along the
flattening of adjacent axes) and `concatenate`. Integer-array and mask
indexing, take_along_axis, gather, stack, split and chunk are arranged
here from those three, so their gradients are the recorded operations'
own: g placed back at the selected positions, summed where a position was
taken more than once.
"""

from __future__ import annotations

import operator
from typing import Any, Sequence, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

import quarn_core as _core

_f = _core._functions


def _is_basic(k: Any) -> bool:
    if k is None or k is Ellipsis or isinstance(k, slice):
        return True
    return isinstance(k, (int, np.integer)) and not isinstance(k, (bool, np.bool_))


def _axis(axis: SupportsIndex, ndim: int) -> int:
    a = operator.index(axis)
    if not -ndim <= a < ndim:
        raise IndexError(f"axis {a} is out of bounds for tensor of dimension {ndim}")
    return a % ndim


def _positions(k: Any) -> np.ndarray:
    """An index entry that is not basic as an array: integers or a bool mask."""
    if isinstance(k, _core.Tensor):
        if k.dtype != "bool":
            raise TypeError("a tensor used as an index must be a bool mask; "
                            "give integer positions as a list or NumPy array")
        return k.to_numpy()
    if isinstance(k, (bool, np.bool_)):
        raise TypeError("a single bool is not a valid index; use a bool array or tensor as a mask")
    a = np.asarray(k)
    if a.dtype == np.bool_:
        if a.ndim == 0:
            raise TypeError("a single bool is not a valid index; use a bool array or tensor as a mask")
        return a
    if a.size == 0:
        return a.astype(np.int64)
    if not np.issubdtype(a.dtype, np.integer):
        raise TypeError(f"arrays used as indices must be of integer or bool type, not {a.dtype}")
    return a


def getitem(t: Any, key: Any) -> Any:
    """t[key] as NumPy reads the key: integers, slices, None, ..., integer
    arrays (broadcast together; if slices separate them, their axes come
    first) and bool masks over leading axes."""
    if not isinstance(key, tuple):
        key = (key,)
    if all(_is_basic(k) for k in key):
        return _f._getitem(t, key)

    # Every entry as None, a slice, or an integer array; masks become one
    # array per axis they cover, integers 0-d arrays (with arrays about,
    # NumPy treats them as arrays too).
    entries: list[Any] = []
    ellipsis_at = None
    for k in key:
        if k is Ellipsis:
            if ellipsis_at is not None:
                raise IndexError("an index can only have a single ellipsis ('...')")
            ellipsis_at = len(entries)
        elif k is None or isinstance(k, slice):
            entries.append(k)
        elif isinstance(k, (int, np.integer)) and not isinstance(k, (bool, np.bool_)):
            entries.append(np.asarray(operator.index(k), dtype=np.int64))
        else:
            a = _positions(k)
            entries.append(("mask", a) if a.dtype == np.bool_ else a)
    used = sum(e[1].ndim if isinstance(e, tuple) else (e is not None) for e in entries)
    shape = t.shape
    if used > len(shape):
        raise IndexError(f"too many indices for tensor: tensor is {len(shape)}-dimensional, but {used} were indexed")
    if ellipsis_at is not None:
        entries[ellipsis_at:ellipsis_at] = [slice(None)] * (len(shape) - used)
    else:
        entries += [slice(None)] * (len(shape) - used)

    # Masks to integer arrays, each checked against the axes it covers.
    expanded: list[Any] = []
    extents: list[int] = []  # of the axis each integer array runs along
    axis = 0
    for e in entries:
        if isinstance(e, tuple):
            mask = e[1]
            covered = shape[axis:axis + mask.ndim]
            if mask.shape != tuple(covered):
                for i, (m, n) in enumerate(zip(mask.shape, covered)):
                    if m != n:
                        raise IndexError(f"boolean index did not match indexed tensor along axis {axis + i}; "
                                         f"size of axis is {n} but size of corresponding boolean axis is {m}")
            expanded += [np.asarray(p, np.int64) for p in np.nonzero(mask)]
            extents += covered
            axis += mask.ndim
        else:
            expanded.append(e)
            if isinstance(e, np.ndarray):
                extents.append(shape[axis])
            axis += e is not None

    # Every refusal before anything is recorded: positions out of range,
    # arrays that do not broadcast.
    where = [i for i, e in enumerate(expanded) if isinstance(e, np.ndarray)]
    given = [expanded[i] for i in where]
    for a, n in zip(given, extents):
        if a.size and (a.min() < -n or a.max() >= n):
            bad = a[(a < -n) | (a >= n)].flat[0]
            raise IndexError(f"index {bad} is out of bounds for an axis with size {n}")
    try:
        arrays = np.broadcast_arrays(*given)
    except ValueError:
        shapes = " ".join(str(a.shape) for a in given)
        raise IndexError(f"shape mismatch: indexing arrays could not be broadcast together with shapes {shapes}") from None

    # The basic part first; every entry then stands for one axis of `u`.
    basic = tuple(slice(None) if isinstance(e, np.ndarray) else e for e in expanded)
    u = t if all(b == slice(None) for b in basic) else _f._getitem(t, basic)
    if len(arrays) == 1:
        return _f.take(u, arrays[0], where[0])
    flat = np.zeros(arrays[0].shape, np.int64)
    for a, n in zip(arrays, extents):
        flat = flat * n + np.where(a < 0, a + n, a)
    if where != list(range(where[0], where[0] + len(where))):
        # Separated by a slice or None: the broadcast axes go first, as in NumPy.
        rest = [i for i in range(u.ndim) if i not in where]
        u = _permute(u, where + rest)
        where = list(range(len(where)))
    return _f.take(u, flat, tuple(where))


def _permute(t: Any, order: list[int]) -> Any:
    """The axes of t in `order`, made of swaps (views)."""
    current = list(range(len(order)))
    for i, axis in enumerate(order):
        j = current.index(axis)
        if j != i:
            t = t.transpose(i, j)
            current[i], current[j] = current[j], current[i]
    return t


def _index_array(indices: Any) -> np.ndarray:
    if isinstance(indices, _core.Tensor):
        raise TypeError("indices must be integers: a list or NumPy array of them, not a tensor")
    a = np.asarray(indices)
    if a.size and (a.dtype == np.bool_ or not np.issubdtype(a.dtype, np.integer)):
        raise TypeError(f"indices must be integers, not {a.dtype}")
    return a.astype(np.int64, copy=False)


def _flat_positions(shape: tuple[int, ...], idx: np.ndarray, axis: int, extents: Sequence[int]) -> np.ndarray:
    """Row-major positions in a tensor of `shape` of the elements that
    idx picks along `axis`, every other axis d running over extents[d]."""
    n = shape[axis]
    if idx.size and (idx.min() < -n or idx.max() >= n):
        bad = idx[(idx < -n) | (idx >= n)].flat[0]
        raise IndexError(f"index {bad} is out of bounds for axis {axis} with size {n}")
    idx = np.where(idx < 0, idx + n, idx)
    flat = np.zeros((), np.int64)
    for d, extent in enumerate(extents):
        along = idx if d == axis else np.arange(extent, dtype=np.int64).reshape(
            [extent if i == d else 1 for i in range(len(shape))])
        flat = flat * shape[d] + along
    return flat


def take_along_axis(input: Any, indices: ArrayLike, axis: SupportsIndex) -> Any:
    """Elements picked along `axis` by integer `indices` of the same number
    of axes as `input`, the other axes broadcast (NumPy's take_along_axis)."""
    idx = _index_array(indices)
    if idx.ndim != input.ndim:
        raise ValueError("indices and input must have the same number of dimensions")
    ax = _axis(axis, input.ndim)
    shape = tuple(input.shape)
    other = [1 if d == ax else shape[d] for d in range(len(shape))]
    try:
        out_shape = np.broadcast_shapes(idx.shape, tuple(other))
    except ValueError:
        raise ValueError(f"indices of shape {idx.shape} do not broadcast against input of shape {shape} "
                         f"outside axis {ax}") from None
    extents = [out_shape[d] for d in range(len(shape))]
    flat = np.broadcast_to(_flat_positions(shape, idx, ax, extents), out_shape)
    return _f.take(input, flat, None)


def gather(input: Any, dim: SupportsIndex, index: ArrayLike) -> Any:
    """out[i][j][k] = input[i][index[i][j][k]][k] for dim=1 (PyTorch's
    gather): `index` has input's number of axes and extents no larger than
    input's outside `dim`; the result has index's shape."""
    idx = _index_array(index)
    if idx.ndim != input.ndim:
        raise ValueError("index and input must have the same number of dimensions")
    ax = _axis(dim, input.ndim)
    shape = tuple(input.shape)
    for d in range(len(shape)):
        if d != ax and idx.shape[d] > shape[d]:
            raise ValueError(f"index has extent {idx.shape[d]} along axis {d}, more than input's {shape[d]}")
    flat = np.broadcast_to(_flat_positions(shape, idx, ax, idx.shape), idx.shape)
    return _f.take(input, flat, None)


def cat(tensors: Sequence[Any], dim: SupportsIndex = 0) -> Any:
    """concatenate under PyTorch's names."""
    return _f.concatenate(tensors, axis=operator.index(dim))


def stack(tensors: Sequence[Any], axis: SupportsIndex = 0) -> Any:
    """Tensors of one shape joined along a new axis at `axis`."""
    tensors = list(tensors)
    if not tensors:
        raise ValueError("need at least one tensor to stack")
    shape = tensors[0].shape
    if any(t.shape != shape for t in tensors):
        raise ValueError("all input tensors must have the same shape")
    ax = _axis(axis, len(shape) + 1)
    # A new axis by basic indexing is a view whatever the layout.
    key = (slice(None),) * ax + (None,)
    return _f.concatenate([_f._getitem(t, key) for t in tensors], axis=ax)


def split(tensor: Any, split_size_or_sections: int | Sequence[int], dim: SupportsIndex = 0) -> tuple[Any, ...]:
    """Pieces along `dim` (PyTorch's split): an int is every piece's length
    (the last may be shorter), a sequence lists the lengths, which must add
    up to the axis. Pieces are views where the layout allows."""
    ax = _axis(dim, tensor.ndim)
    n = tensor.shape[ax]
    if isinstance(split_size_or_sections, (int, np.integer)):
        size = operator.index(split_size_or_sections)
        if size <= 0:
            raise ValueError(f"split size must be positive, got {size}")
        sizes = [min(size, n - b) for b in range(0, n, size)] or [0]
    else:
        sizes = [operator.index(s) for s in split_size_or_sections]
        if any(s < 0 for s in sizes) or sum(sizes) != n:
            raise ValueError(f"split sizes {sizes} must be non-negative and add up to {n}, the extent of axis {ax}")
    pieces, begin = [], 0
    for s in sizes:
        pieces.append(_f._getitem(tensor, (slice(None),) * ax + (slice(begin, begin + s),)))
        begin += s
    return tuple(pieces)


def chunk(tensor: Any, chunks: int, dim: SupportsIndex = 0) -> tuple[Any, ...]:
    """At most `chunks` pieces of equal length along `dim` (the last may be
    shorter), as PyTorch's chunk."""
    chunks = operator.index(chunks)
    if chunks <= 0:
        raise ValueError(f"chunks must be positive, got {chunks}")
    n = tensor.shape[_axis(dim, tensor.ndim)]
    return split(tensor, max(1, -(-n // chunks)), dim)


def embedding(input: ArrayLike, weight: Any) -> Any:
    """Rows of `weight` at the integer ids in `input` (any shape): the
    result has input's shape plus weight's row. The gradient adds each id's
    rows of g into its row of weight."""
    return _f.take(weight, _index_array(input), 0)
