"""A small NumPy model of the library: values, memory order, errors and
gradients.

Every arithmetic step is done in float64 and rounded to binary32 and then to
the element type, as the library computes in binary32 and rounds to the
element type. A float64 sum, difference, product or quotient of binary32
numbers rounded to binary32 is the binary32 operation's result (53 bits are
at least 2 * 24 + 2), so the two agree bit for bit. Strides are modelled
because reshape refuses operands that are not row-major, forward and
backward.
"""

from dataclasses import dataclass
from math import prod

import ml_dtypes
import numpy as np

from layouts import column_major_strides, row_major_strides

NP_TYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16, "bool": np.bool_}
SHORT_NAMES = {"float32": "f32", "float16": "f16", "bfloat16": "bf16", "bool": "bool"}
MESSAGE_NAMES = {"float32": "F32", "float16": "F16", "bfloat16": "BF16", "bool": "Bool"}
PANIC = "PanicException"  # stands for the fault class, which has no public name


class Expected(Exception):
    """The error the library must raise: its class and its exact message."""

    def __init__(self, cls, message):
        super().__init__(cls, message)
        self.cls, self.message = cls, message


class Inexact(Exception):
    """A matrix product whose binary32 sum depends on the summation order."""


@dataclass
class Value:
    data: np.ndarray  # the elements in logical order, in the dtype's NumPy type
    dtype: str
    strides: tuple
    requires_grad: bool = False
    # For a product whose sum is not exact in binary32: the lowest and highest
    # result any summation order can give.
    bounds: tuple | None = None

    @property
    def shape(self):
        return tuple(self.data.shape)


def rounded(x, dtype):
    with np.errstate(all="ignore"):
        return np.asarray(x, np.float64).astype(np.float32).astype(NP_TYPES[dtype])


def wide(v):
    return v.data.astype(np.float64)


def scalar_in(number, dtype):
    """A Python number as an operation sees it: narrowed to binary32, then
    rounded to the tensor's dtype."""
    with np.errstate(all="ignore"):
        return float(rounded(np.float32(float(number)), dtype))


def fmt(shape):
    return "[" + ", ".join(str(e) for e in shape) + "]"


def row_major_value(data, dtype, requires_grad=False):
    return Value(data, dtype, tuple(row_major_strides(data.shape)), requires_grad)


# --- memory order --------------------------------------------------------------


def contiguous(shape, strides, order):
    if 0 in shape:
        return True
    step = 1
    for k in reversed(range(len(shape))) if order == "C" else range(len(shape)):
        if shape[k] != 1:
            if strides[k] != step:
                return False
            step *= shape[k]
    return True


def order_score(shape, strides):
    longer = [e > 1 for e in shape]
    if len(shape) < 2 or contiguous(shape, strides, "C"):
        return 2 if sum(longer) > 1 else 0
    if contiguous(shape, strides, "F"):
        return -2
    if longer[0] and strides[0] == 1:
        return -1
    return 1 if longer[-1] and strides[-1] == 1 else 0


def expanded_strides(v, target):
    lead = len(target) - len(v.shape)
    return (0,) * lead + tuple(s if e == target[lead + i] else 0 for i, (e, s) in enumerate(zip(v.shape, v.strides)))


def binary_strides(target, a, b):
    """Memory order of a two-operand result: row-major unless both operands
    read column-major, or lean that way together."""
    sa, sb = expanded_strides(a, target), expanded_strides(b, target)
    if contiguous(target, sa, "C") and contiguous(target, sb, "C"):
        return tuple(row_major_strides(target))
    both_f = contiguous(target, sa, "F") and contiguous(target, sb, "F")
    if both_f or order_score(target, sa) + order_score(target, sb) < 0:
        return tuple(column_major_strides(target))
    return tuple(row_major_strides(target))


def broadcast_shape(a, b):
    n = max(len(a), len(b))
    pa, pb = (1,) * (n - len(a)) + tuple(a), (1,) * (n - len(b)) + tuple(b)
    if any(x != y and 1 not in (x, y) for x, y in zip(pa, pb)):
        raise Expected(RuntimeError, f"Shape mismatch: cannot broadcast {fmt(a)} and {fmt(b)}")
    return tuple(y if x == 1 else x for x, y in zip(pa, pb))


def spread(v, target):
    return np.broadcast_to(wide(v), target)


# --- forward operations ----------------------------------------------------------

BOOL_ARITHMETIC = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
ARITHMETIC = {"+": np.add, "-": np.subtract, "*": np.multiply, "/": np.divide}
COMPARISONS = {"==": np.equal, "<": np.less, "<=": np.less_equal, ">": np.greater, ">=": np.greater_equal}
LOGIC = {"&": np.logical_and, "|": np.logical_or, "^": np.logical_xor}


def check_numeric_pair(a, b):
    if a.dtype == b.dtype == "bool":
        raise Expected(TypeError, BOOL_ARITHMETIC)
    if a.dtype != b.dtype:
        raise Expected(
            ValueError,
            "Tensor DType mismatch during binary execution. Cannot operate between "
            f"{MESSAGE_NAMES[a.dtype]} and {MESSAGE_NAMES[b.dtype]}.",
        )


def arithmetic(op, a, b):
    check_numeric_pair(a, b)
    target = broadcast_shape(a.shape, b.shape)
    with np.errstate(all="ignore"):
        data = rounded(ARITHMETIC[op](spread(a, target), spread(b, target)), a.dtype)
    return Value(data, a.dtype, binary_strides(target, a, b), a.requires_grad or b.requires_grad)


def with_number(op, a, number):
    """t + n, t - n, t * n, t / n, and n / t written as op "r/"."""
    if a.dtype == "bool":
        word = {"+": "add", "-": "sub"}.get(op, "product")
        raise Expected(ValueError, f"Tensor DType invalid during scalar {word}. Cannot operate between Bool and scalar.")
    with np.errstate(all="ignore"):
        if op == "/":  # t / n is t * binary32(1 / n)
            op, number = "*", np.float32(1) / np.float32(float(number))
        s, x = scalar_in(number, a.dtype), wide(a)
        data = rounded(s / x if op == "r/" else ARITHMETIC[op](x, s), a.dtype)
    return Value(data, a.dtype, a.strides, a.requires_grad)


def exactly_summable(terms):
    """Whether every partial sum of the terms along axis -2, in any order, is a
    binary32 number: all terms are multiples of one power of two 2^q and their
    magnitudes add up to less than 2^(24+q)."""
    if not np.isfinite(terms).all():
        return False
    nonzero = np.abs(terms[terms != 0])
    if nonzero.size == 0:
        return True
    mantissa, exponent = np.frexp(nonzero)
    digits = (mantissa * 2.0**53).astype(np.int64)
    q = int((exponent - 53 + np.log2(digits & -digits).astype(np.int64)).min())
    return q >= -149 and bool((np.abs(terms).sum(axis=-2) < 2.0 ** (24 + q)).all())


def matmul(a, b):
    check_numeric_pair(a, b)
    if a.data.ndim < 2 or b.data.ndim < 2:
        raise Expected(RuntimeError, f"Matmul requires at least 2D tensors. A: {a.data.ndim}D, B: {b.data.ndim}D")
    if a.shape[-1] != b.shape[-2]:
        raise Expected(
            RuntimeError, f"Matrix inner dimensions mismatch for matmul: {a.shape[-1]} vs {b.shape[-2]}"
        )
    broadcast_shape(a.shape[:-2], b.shape[:-2])
    with np.errstate(all="ignore"):
        terms = wide(a)[..., :, :, None] * wide(b)[..., None, :, :]
        total = terms.sum(axis=-2)
        out = row_major_value(rounded(total, a.dtype), a.dtype, a.requires_grad or b.requires_grad)
        if not exactly_summable(terms):
            # Any order of binary32 additions stays within K units of 2^-24
            # of the sum of magnitudes (plus K subnormal steps); rounding to
            # the dtype is monotonic.
            slack = a.shape[-1] * (2.0**-23 * np.abs(terms).sum(axis=-2) + 2.0**-149)
            out.bounds = (rounded(total - slack, a.dtype), rounded(total + slack, a.dtype))
    return out


def relu(a):
    if a.dtype == "bool":
        raise Expected(TypeError, "Tensor Dtype not supported for this operation: relu")
    x = wide(a)
    return Value(rounded(np.where(x > 0, x, 0.0), a.dtype), a.dtype, a.strides, a.requires_grad)


def reshape(a, shape):
    prefix = "Error while reshape: ShapeError/"
    if prod(shape) != a.data.size:
        raise Expected(ValueError, prefix + "IncompatibleShape: incompatible shapes")
    if not contiguous(a.shape, a.strides, "C"):
        raise Expected(ValueError, prefix + "IncompatibleLayout: incompatible memory layout")
    return row_major_value(a.data.reshape(shape), a.dtype, a.requires_grad)


def transpose(a, i, j):
    for axis in (i, j):
        if axis >= a.data.ndim:
            raise Expected(PANIC, f"index out of bounds: the len is {a.data.ndim} but the index is {axis}")
    strides = list(a.strides)
    strides[i], strides[j] = strides[j], strides[i]
    return Value(np.swapaxes(a.data, i, j), a.dtype, tuple(strides), a.requires_grad)


def compare(op, a, b):
    if a.dtype != b.dtype:
        raise Expected(RuntimeError, f"Tensor device or dtype mismatch for element-wise {op} operation.")
    target = broadcast_shape(a.shape, b.shape)
    data = COMPARISONS[op](spread(a, target), spread(b, target))
    return Value(data, "bool", binary_strides(target, a, b))


def compare_number(op, a, number):
    if a.dtype == "bool":
        raise Expected(RuntimeError, f"Tensor device or dtype mismatch for scalar {op} operation.")
    return Value(COMPARISONS[op](wide(a), scalar_in(number, a.dtype)), "bool", a.strides)


def logical(op, a, b):
    if a.dtype != "bool" or b.dtype != "bool":
        raise Expected(RuntimeError, "Logical operations are only supported for Bool data types.")
    target = broadcast_shape(a.shape, b.shape)
    data = LOGIC[op](np.broadcast_to(a.data, target), np.broadcast_to(b.data, target))
    return Value(data, "bool", binary_strides(target, a, b))


def logical_not(a):
    if a.dtype != "bool":
        raise Expected(RuntimeError, "Logical NOT is only supported for Bool data type.")
    return Value(~a.data, "bool", a.strides)


# --- gradients -----------------------------------------------------------------


def swap_last_two(v):
    return transpose(v, v.data.ndim - 2, v.data.ndim - 1)


def div_grads(a, g, b):
    target = broadcast_shape(broadcast_shape(g.shape, a.shape), b.shape)
    gx, x, y = spread(g, target), spread(a, target), spread(b, target)
    d = g.dtype
    with np.errstate(all="ignore"):
        left = rounded(gx / y, d)
        # ((-g) * x) / (y * y), rounded to the dtype after every step.
        right = rounded(rounded(-gx * x, d) / rounded(y * y, d), d)
    return row_major_value(left, d), row_major_value(right, d)


def number_over_tensor_grad(t, g, number):
    target = broadcast_shape(g.shape, t.shape)
    gx, x, d = spread(g, target), spread(t, target), g.dtype
    with np.errstate(all="ignore"):
        step = rounded(-scalar_in(number, d) / rounded(x * x, d), d)
        return row_major_value(rounded(gx * step, d), d)


def relu_grad(t, g):
    if g.shape != t.shape:
        raise Expected(RuntimeError, f"Shape mismatch in relu_backward: grad {fmt(g.shape)} vs input {fmt(t.shape)}")
    zero = np.zeros((), NP_TYPES[g.dtype])
    return row_major_value(np.where(wide(t) > 0, g.data, zero), g.dtype)


def contributions(kind, inputs, param, g):
    """The gradient rule of one recorded operation: (input, contribution)
    pairs, left input first. `inputs` are (index, Value) pairs."""
    (i, a), (j, b) = inputs[0], inputs[-1]
    if kind in ("+", "-"):
        return [(i, with_number("*", g, 1.0)), (j, with_number("*", g, 1.0 if kind == "+" else -1.0))]
    if kind == "*":
        return [(i, arithmetic("*", g, b)), (j, arithmetic("*", g, a))]
    if kind == "/":
        return list(zip((i, j), div_grads(a, g, b)))
    if kind == "@":
        return [(i, matmul(g, swap_last_two(b))), (j, matmul(swap_last_two(a), g))]
    if kind in ("n+", "n-"):
        return [(i, with_number("*", g, 1.0))]
    if kind == "n*":
        return [(i, with_number("*", g, param))]
    if kind == "n/":
        return [(i, with_number("/", g, param))]
    if kind == "r/":
        return [(i, number_over_tensor_grad(a, g, param))]
    if kind == "reshape":
        # A gradient that is not row-major (a transposed one) is laid out
        # row-major before it is relabelled.
        return [(i, reshape(row_major_value(g.data, g.dtype), a.shape))]
    if kind == "transpose":
        return [(i, transpose(g, *param))]
    if kind == "relu":
        return [(i, relu_grad(a, g))]
    raise AssertionError(kind)


def backward(values, records, root):
    """Gradients after backward() from values[root]: {index: Value}.

    `records` maps the index of every recorded result to (kind, input
    indices, parameter). Nodes are visited from the newest back; the
    contributions reaching one node are added in arrival order, each addition
    rounded to the dtype."""
    if not values[root].requires_grad:
        raise Expected(ValueError, "backward() called on tensor that does not require grad")
    seed = values[root]
    slots = {root: row_major_value(np.ones(seed.shape, NP_TYPES[seed.dtype]), seed.dtype)}
    for k in sorted((k for k in records if k <= root), reverse=True):
        if k not in slots:
            continue
        kind, ins, param = records[k]
        for i, c in contributions(kind, [(i, values[i]) for i in ins], param, slots[k]):
            if not values[i].requires_grad:
                continue  # a constant node: nobody reads its gradient
            if c.bounds is not None:
                raise Inexact()
            slots[i] = c if i not in slots else arithmetic("+", slots[i], c)
    return slots
