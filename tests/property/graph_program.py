"""Random short programs, run step by step on the library and on the model.

A program starts from one tensor and applies 2 to 5 operations to the
current result, drawing each operation, its operands (fresh tensors of
related or unrelated shapes and dtypes, earlier results, numbers on either
side) and its parameters from hypothesis. Every step's result, or its error,
is compared with the model's before the next step is drawn.

In gradient-safe mode the draws keep to programs whose gradients do not
depend on how contributions of a broadcast intermediate are summed: every
valid step, no intermediate result broadcast by a later operation, every
tensor used at one shape only. Leaves may still be broadcast where they are
used.
"""

from math import prod

import numpy as np
from hypothesis import strategies as st

import numpy_model as m
from quarn_core import Tensor
from quarn_core import nn

NUMERIC = ["float32", "float16", "bfloat16"]
EXTENTS = st.sampled_from([2, 1, 3, 2, 3, 1, 2, 0])

# Element values. "small" values keep every sum of products exact in
# binary32, so matrix products have one right answer; "dense" values use every
# bit of the format, so that every rounding step shows; "wide" values add the
# extremes and the special values.
SMALL = st.integers(-6, 6).map(lambda k: k / 2)
DENSE = st.builds(lambda k, e: k * 2.0**e, st.integers(-(2**24), 2**24), st.integers(-30, -12))
SPECIAL = st.sampled_from([0.0, -0.0, np.inf, -np.inf, np.nan, 65504.0, 65520.0, 2.0**-24, 1e-40, 3e38])
WIDE = st.one_of(DENSE, DENSE, DENSE, SMALL, SPECIAL, st.floats(width=32))
ELEMENTS = {"small": SMALL, "dense": DENSE, "wide": WIDE}

SMALL_NUMBERS = st.sampled_from([2.0, 0.5, -1.0, 0.25, 4, -2, 3, 1.5, True])
DENSE_NUMBERS = st.one_of(SMALL_NUMBERS, st.sampled_from([0.1, 1e-3, 7e4]), st.floats(-1e3, 1e3))
WIDE_NUMBERS = st.one_of(
    SMALL_NUMBERS,
    st.sampled_from([0.1, 0.0, -0.0, 1e-3, 7e4, 1e300, float("inf"), float("nan"), 10**20]),
    st.floats(-1e3, 1e3),
)

ARITHMETIC = ["+", "-", "*", "/"]
COMPARISONS = ["==", "<", "<=", ">", ">="]
SWAPPED = {"==": "==", "<": ">", "<=": ">=", ">": "<", ">=": "<="}
PY = {
    "+": lambda a, b: a + b,
    "-": lambda a, b: a - b,
    "*": lambda a, b: a * b,
    "/": lambda a, b: a / b,
    "@": lambda a, b: a @ b,
    "&": lambda a, b: a & b,
    "|": lambda a, b: a | b,
    "^": lambda a, b: a ^ b,
    "==": lambda a, b: a == b,
    "<": lambda a, b: a < b,
    "<=": lambda a, b: a <= b,
    ">": lambda a, b: a > b,
    ">=": lambda a, b: a >= b,
}

FORWARD_OPS = ["arith", "arith", "number", "number", "matmul", "relu", "reshape", "transpose", "compare", "logic"]
GRADIENT_OPS = ["arith", "arith", "number", "number", "matmul", "relu", "reshape", "transpose"]


def bits_match(got, want, what="result"):
    """Same dtype, shape and bit patterns; any NaN matches any NaN."""
    got = np.asarray(got)
    assert (got.dtype, got.shape) == (want.dtype, want.shape), f"{what}: {got!r} instead of {want!r}"
    if want.dtype == np.bool_:
        same = got == want
    else:
        unsigned = f"u{want.itemsize}"
        same = np.ascontiguousarray(got).view(unsigned) == np.ascontiguousarray(want).view(unsigned)
        nan = np.isnan(want.astype(np.float32))
        same = np.where(nan, np.isnan(got.astype(np.float32)), same)
    assert same.all(), f"{what}: {got!r} instead of {want!r}"


def outcome(run):
    try:
        return run(), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - faults derive from BaseException
        return None, exc


class Program:
    def __init__(self, data, panic, gradient_safe=False, dtype=None, style=None):
        self.draw = data.draw
        self.panic = panic
        self.safe = gradient_safe
        self.tensors, self.values = [], []
        self.records = {}  # result index -> (kind, input indices, parameter)
        self.broadcast_operands = set()  # operands used at a broadcast shape
        self.dtype = dtype or self.draw(st.sampled_from(NUMERIC if gradient_safe else NUMERIC * 3 + ["bool"]))
        self.style = style or self.draw(st.sampled_from(list(ELEMENTS)))

    # --- operands ---------------------------------------------------------------

    def shape(self, max_dims=3, min_dims=0):
        return tuple(self.draw(EXTENTS) for _ in range(self.draw(st.integers(min_dims, max_dims))))

    def leaf(self, shape, dtype, requires_grad=None, broadcast=False):
        """A new tensor; sometimes built transposed, so it reads column-major.
        A transposed tensor that requires a gradient is an intermediate
        result, which gradient-safe programs never broadcast."""
        if requires_grad is None:
            requires_grad = dtype != "bool" and self.draw(st.booleans())
        axes = None
        if len(shape) >= 2 and self.draw(st.integers(0, 3)) == 0:
            axes = tuple(self.draw(st.permutations(range(len(shape))))[:2])
            if self.safe and requires_grad and broadcast:
                axes = None
        stored = list(shape)
        if axes:
            stored[axes[0]], stored[axes[1]] = stored[axes[1]], stored[axes[0]]
        count = prod(stored)
        if dtype == "bool":
            flat = np.array(self.draw(st.lists(st.booleans(), min_size=count, max_size=count)), np.bool_)
        else:
            floats = self.draw(st.lists(ELEMENTS[self.style], min_size=count, max_size=count))
            flat = m.rounded(np.array(floats, np.float64), dtype)
        array = flat.reshape(stored)
        t = Tensor(array, dtype=dtype, requires_grad=requires_grad)
        index = self.add(t, m.row_major_value(array, dtype, requires_grad))
        if axes:
            index = self.step("transpose", [index], axes, lambda t: t.transpose(*axes), lambda v: m.transpose(v, *axes))
        return index

    def number(self):
        return self.draw({"small": SMALL_NUMBERS, "dense": DENSE_NUMBERS}.get(self.style, WIDE_NUMBERS))

    def partner_shape(self, target):
        """A shape that broadcasts into `target`; outside gradient-safe mode
        also one that grows it, or any shape at all."""
        how = self.draw(st.sampled_from(["same", "fits"] if self.safe else ["same", "fits", "grows", "any"]))
        if how == "same":
            return tuple(target)
        if how == "any":
            return self.shape()
        shape = [e if self.draw(st.booleans()) else 1 for e in target]
        shape = shape[self.draw(st.integers(0, len(shape))) :]
        if how == "grows":
            shape = [self.draw(EXTENTS) if e == 1 else e for e in shape]
            shape = list(self.shape(max_dims=2)) + shape
        return tuple(shape)

    def operand(self, target, dtype):
        """An earlier result or a fresh tensor to combine with the current
        one, whose shape is `target`."""
        if not self.safe and self.draw(st.integers(0, 5)) == 0:
            dtype = self.draw(st.sampled_from(NUMERIC + ["bool"]))
        reusable = [i for i, v in enumerate(self.values) if v.dtype == dtype]
        if self.safe:
            reusable = [i for i in reusable if self.values[i].shape == target and i not in self.broadcast_operands]
        if reusable and self.draw(st.integers(0, 5)) == 0:
            return self.draw(st.sampled_from(reusable))
        shape = self.partner_shape(target)
        index = self.leaf(shape, dtype, broadcast=shape != tuple(target))
        if shape != tuple(target):
            self.broadcast_operands.add(index)
        return index

    # --- running ----------------------------------------------------------------

    def add(self, tensor, value):
        self.tensors.append(tensor)
        self.values.append(value)
        self.check(tensor, value)
        return len(self.values) - 1

    def check(self, tensor, value):
        assert tensor.dtype == m.SHORT_NAMES[value.dtype]
        assert tensor.requires_grad == value.requires_grad
        assert tensor.shape == list(value.shape)
        assert tensor.strides == list(value.strides)
        if value.bounds is None:
            bits_match(tensor.to_numpy(), value.data)
            return
        # A product whose binary32 sum depends on the order: within the
        # bounds, and the model continues from the library's value.
        got = tensor.to_numpy()
        lo, hi = (b.astype(np.float64) for b in value.bounds)
        known = np.isfinite(lo) & np.isfinite(hi)
        g = got.astype(np.float64)
        assert ((lo <= g) & (g <= hi) | ~known).all(), (got, value.bounds)
        value.data, value.bounds = got, None

    def expect_error(self, expected, exc):
        assert exc is not None, f"expected {expected.cls}: {expected.message}"
        cls = self.panic if expected.cls == m.PANIC else expected.cls
        assert type(exc) is cls and str(exc) == expected.message, (type(exc), str(exc), expected.message)

    def step(self, kind, inputs, param, run, model):
        """One operation on both sides. Returns the result's index, or None
        after an error (which both sides must agree on)."""
        tensor, exc = outcome(lambda: run(*(self.tensors[i] for i in inputs)))
        try:
            value = model(*(self.values[i] for i in inputs))
        except m.Expected as expected:
            self.expect_error(expected, exc)
            return None
        if exc is not None:
            raise exc
        index = self.add(tensor, value)
        if value.requires_grad:
            self.records[index] = (kind, list(inputs), param)
        return index

    def expect_python_type_error(self, op, number, run):
        _, exc = outcome(run)
        message = f"unsupported operand type(s) for {op}: '{type(number).__name__}' and 'quarn.Tensor'"
        assert type(exc) is TypeError and str(exc) == message, (exc, message)

    # --- drawing steps ----------------------------------------------------------

    def run(self, first=(), steps=(2, 5)):
        """Draws and runs the program; returns the index of its last result.
        `first`: the first operations, as (kind, keyword arguments) pairs."""
        min_dims = {"matmul": 2, "transpose": 2, "reshape": 1}.get(first[0][0], 0) if first else 0
        cur = self.leaf(self.shape(min_dims=min_dims), self.dtype, True if self.safe else None)
        for n in range(max(len(first), self.draw(st.integers(*steps)))):
            if n < len(first):
                kind, forced = first[n]
            else:
                kind, forced = self.draw(st.sampled_from(GRADIENT_OPS if self.safe else FORWARD_OPS)), {}
            nxt = getattr(self, "op_" + kind)(cur, **forced)
            if nxt is None:
                break
            cur = nxt
        return cur

    def op_arith(self, cur, op=None):
        op = op or self.draw(st.sampled_from(ARITHMETIC))
        other = self.operand(self.values[cur].shape, self.values[cur].dtype)
        inputs = [other, cur] if self.draw(st.booleans()) else [cur, other]
        return self.step(op, inputs, None, PY[op], lambda a, b: m.arithmetic(op, a, b))

    def op_number(self, cur, op=None, left=None):
        op, number = op or self.draw(st.sampled_from(ARITHMETIC)), self.number()
        if self.draw(st.booleans()) if left is None else left:
            if op == "-":
                if self.safe:
                    op = "+"
                else:
                    self.expect_python_type_error("-", number, lambda: number - self.tensors[cur])
                    return None
            kind = "r/" if op == "/" else "n" + op
            model_op = "r/" if op == "/" else op
            return self.step(kind, [cur], number, lambda t: PY[op](number, t),
                             lambda v: m.with_number(model_op, v, number))
        return self.step("n" + op, [cur], number, lambda t: PY[op](t, number),
                         lambda v: m.with_number(op, v, number))

    def op_matmul(self, cur):
        v = self.values[cur]
        if self.safe and (v.data.ndim < 2 or self.style != "small"):
            return cur  # nothing to multiply exactly; keep going
        if v.data.ndim >= 2 and (self.safe or self.draw(st.integers(0, 3)) > 0):
            left = self.draw(st.booleans())
            batch = self.partner_shape(v.shape[:-2])
            inner = v.shape[-2] if left else v.shape[-1]
            shape = (*batch, self.draw(EXTENTS), inner) if left else (*batch, inner, self.draw(EXTENTS))
            dtype = v.dtype if self.safe else self.draw(st.sampled_from([v.dtype] * 5 + ["bool"]))
            other = self.leaf(shape, dtype, broadcast=batch != v.shape[:-2])
            if batch != v.shape[:-2]:
                self.broadcast_operands.add(other)
        else:
            left, other = self.draw(st.booleans()), self.leaf(self.shape(max_dims=4), v.dtype)
        inputs = [other, cur] if left else [cur, other]
        return self.step("@", inputs, None, PY["@"], m.matmul)

    def op_relu(self, cur):
        return self.step("relu", [cur], None, nn.functional.relu, m.relu)

    def op_reshape(self, cur):
        v = self.values[cur]
        if self.safe and not m.contiguous(v.shape, v.strides, "C"):
            return cur
        if self.safe or self.draw(st.integers(0, 4)) > 0:
            shape = self.shape_of_size(v.data.size)
        else:
            shape = self.shape()
        return self.step("reshape", [cur], shape, lambda t: t.reshape(list(shape)), lambda a: m.reshape(a, shape))

    def shape_of_size(self, size):
        """A random shape with `size` elements, of at most four axes."""
        if size == 0:
            return tuple(self.draw(st.permutations([*self.shape(), 0])))
        shapes = []

        def extend(prefix, rest):
            if rest == 1:
                shapes.append(tuple(prefix))
            if len(prefix) < 4:
                for d in range(1, rest + 1):
                    if rest % d == 0:
                        extend(prefix + [d], rest // d)

        extend([], size)
        return self.draw(st.sampled_from(shapes))

    def op_transpose(self, cur, distinct=False):
        ndim = self.values[cur].data.ndim
        if self.safe and ndim == 0:
            return cur
        dims = st.integers(0, ndim - 1) if self.safe else st.integers(0, ndim)
        axes = (self.draw(dims), self.draw(dims))
        if distinct and ndim >= 2:
            axes = tuple(self.draw(st.permutations(range(ndim)))[:2])
        return self.step("transpose", [cur], axes, lambda t: t.transpose(*axes), lambda a: m.transpose(a, *axes))

    def op_compare(self, cur):
        op = self.draw(st.sampled_from(COMPARISONS))
        v = self.values[cur]
        how = self.draw(st.sampled_from(["tensor", "number", "number on the left"]))
        if how == "tensor":
            other = self.operand(v.shape, v.dtype)
            return self.step(op, [cur, other], None, PY[op], lambda a, b: m.compare(op, a, b))
        number = self.number()
        if how == "number":
            return self.step(op, [cur], None, lambda t: PY[op](t, number), lambda a: m.compare_number(op, a, number))
        # Python asks the tensor with the mirrored operator.
        return self.step(op, [cur], None, lambda t: PY[op](number, t),
                         lambda a: m.compare_number(SWAPPED[op], a, number))

    def op_logic(self, cur):
        if self.draw(st.integers(0, 3)) == 0:
            return self.step("~", [cur], None, lambda t: ~t, m.logical_not)
        op = self.draw(st.sampled_from(["&", "|", "^"]))
        other = self.operand(self.values[cur].shape, "bool")
        inputs = [other, cur] if self.draw(st.booleans()) else [cur, other]
        return self.step(op, inputs, None, PY[op], lambda a, b: m.logical(op, a, b))
