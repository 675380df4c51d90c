"""einsum on the recorded operations: diagonals by take, sums by sum,
contractions by one batched matmul between permuted and reshaped operands.
Every step is a recorded operation, so the gradient is theirs: nothing here
computes a value of its own."""

from __future__ import annotations

from typing import Any

import numpy as np

import quarn_core as _core

from ._indexing import _permute

_f = _core._functions


def _parse(subscripts: str, ndims: list[int]) -> tuple[list[str], str]:
    spec = subscripts.replace(" ", "")
    inputs, arrow, output = spec.partition("->")
    terms = inputs.split(",")
    if len(terms) != len(ndims):
        raise ValueError(f"einsum: {len(terms)} operand subscripts given for {len(ndims)} operands")
    # '...' becomes letters of its own, aligned from the right as broadcasting
    # aligns axes; the axes it stands for must match exactly between operands.
    spare = [c for c in "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz" if c not in spec]
    extra = [ndim - (len(term) - 3) if "..." in term else 0 for term, ndim in zip(terms, ndims)]
    widest = max(extra)
    for k, term in enumerate(terms):
        if "..." in term:
            if extra[k] < 0:
                raise ValueError(f"einsum: subscripts {term!r} name {len(term) - 3} axes of a tensor with {ndims[k]}")
            terms[k] = term.replace("...", "".join(spare[widest - extra[k]:widest]))
    ellipsis = "".join(spare[:widest])
    for term in terms + [output.replace("...", "")]:
        if not all(c.isalpha() and c.isascii() for c in term):
            raise ValueError(f"einsum: subscripts are ASCII letters and '...', got {term!r}")
    if arrow:
        output = output.replace("...", ellipsis)
    else:
        letters = "".join(terms)
        output = ellipsis + "".join(sorted(c for c in set(letters) if letters.count(c) == 1 and c not in ellipsis))
    if len(set(output)) != len(output):
        raise ValueError(f"einsum: output subscript {output!r} repeats a letter")
    missing = set(output) - set("".join(terms))
    if missing:
        raise ValueError(f"einsum: output letter {sorted(missing)[0]!r} appears in no operand")
    return terms, output


def _rows(t: Any, shape: list[int]) -> Any:
    """t reshaped; a layout that cannot be relabelled is laid out row-major
    first, by taking every element in order (exact, recorded)."""
    try:
        return t.reshape(shape)
    except ValueError:
        n = int(np.prod(t.shape, dtype=np.int64))
        return _f.take(t, np.arange(n, dtype=np.int64), None).reshape(shape)


def _reduce_operand(t: Any, term: str, keep: set[str]) -> tuple[Any, str]:
    """Diagonals of repeated letters taken and letters outside `keep`
    summed: the operand with each letter at most once."""
    while True:
        repeated = next((c for c in term if term.count(c) > 1), None)
        if repeated is None:
            break
        axes = [i for i, c in enumerate(term) if c == repeated]
        rest = [i for i, c in enumerate(term) if c != repeated]
        n = t.shape[axes[0]]
        if any(t.shape[i] != n for i in axes):
            raise ValueError(f"einsum: letter {repeated!r} has different extents in one operand")
        step = sum(n ** k for k in range(len(axes)))  # i on every repeated axis, in their flattening
        t = _f.take(_permute(t, axes + rest), np.arange(n, dtype=np.int64) * step, tuple(range(len(axes))))
        term = repeated + "".join(term[i] for i in rest)
    dropped = [i for i, c in enumerate(term) if c not in keep]
    if dropped:
        t = _f.sum(t, tuple(dropped))
        term = "".join(c for c in term if c in keep)
    return t, term


def _extent(shapes: dict[str, int], letters: str) -> int:
    n = 1
    for c in letters:
        n *= shapes[c]
    return n


def _pair(a: Any, ta: str, b: Any, tb: str, out: str) -> tuple[Any, str]:
    """The contraction of two reduced operands to the letters of `out`
    (which may hold letters of only one of them)."""
    shapes = {c: a.shape[i] for i, c in enumerate(ta)}
    for i, c in enumerate(tb):
        if shapes.setdefault(c, b.shape[i]) != b.shape[i]:
            raise ValueError(f"einsum: letter {c!r} has extents {shapes[c]} and {b.shape[i]}")
    batch = "".join(c for c in ta if c in tb and c in out)
    inner = "".join(c for c in ta if c in tb and c not in out)
    left = "".join(c for c in ta if c not in tb)
    right = "".join(c for c in tb if c not in ta)
    order_a = [ta.index(c) for c in batch + left + inner]
    order_b = [tb.index(c) for c in batch + inner + right]
    a3 = _rows(_permute(a, order_a), [_extent(shapes, batch), _extent(shapes, left), _extent(shapes, inner)])
    b3 = _rows(_permute(b, order_b), [_extent(shapes, batch), _extent(shapes, inner), _extent(shapes, right)])
    product = a3 @ b3
    result = batch + left + right
    return product.reshape([shapes[c] for c in result]), result


def einsum(subscripts: str, *operands: Any) -> Any:
    """Sums of products over named axes, as NumPy's einsum: "ij,jk->ik",
    "...ij,...jk->...ik", "ii->i", "ii", "ij->", "i,j->ij". Without '->'
    the output is the axes of '...' followed by every letter that appears
    once, in alphabetical order. The axes '...' stands for must have equal
    extents in every operand (no broadcasting of extent 1). More than two
    operands are contracted left to right."""
    if not operands:
        raise ValueError("einsum needs at least one operand")
    terms, output = _parse(subscripts, [t.ndim for t in operands])
    for t, term in zip(operands, terms):
        if len(term) != t.ndim:
            raise ValueError(f"einsum: subscripts {term!r} name {len(term)} axes of a tensor with {t.ndim}")
    current, term = operands[0], terms[0]
    for k in range(1, len(operands)):
        later = set(output).union(*terms[k + 1:])
        other = terms[k]
        current, term = _reduce_operand(current, term, later | set(other))
        right, other = _reduce_operand(operands[k], other, later | set(term))
        current, term = _pair(current, term, right, other, "".join(sorted(later)))
    current, term = _reduce_operand(current, term, set(output))
    return _permute(current, [term.index(c) for c in output])
