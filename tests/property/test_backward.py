"""Gradients of random programs, compared bit for bit with the NumPy model:
every rule in every numeric dtype, half-precision sums rounded per addition,
broadcast leaves receiving gradients of the broadcast shape, and a reshape
meeting a transposed gradient, which is laid out row-major first.

The programs never broadcast an intermediate result and use every tensor at
one shape; see graph_program."""

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import numpy_model as m
from quarn_core import Tensor

from graph_program import NUMERIC, Program, bits_match, outcome


def check_backward(program, root):
    try:
        expected, error = m.backward(program.values, program.records, root), None
    except m.Expected as exc:
        expected, error = {}, exc
    except m.Inexact:
        assume(False)  # a product of gradients with no single right answer
    _, exc = outcome(program.tensors[root].backward)
    if error is None:
        if exc is not None:
            raise exc
    else:
        program.expect_error(error, exc)
    for i, tensor in enumerate(program.tensors):
        got, want = tensor.grad(), expected.get(i)
        if want is None:
            assert got is None, f"value {i} has a gradient"
        else:
            bits_match(got, want.data, f"gradient of value {i}")


@given(data=st.data())
def test_gradients_match_the_model(data, panic_exception):
    Tensor.clear_graph()
    program = Program(data, panic_exception, gradient_safe=True)
    last = program.run()
    root = data.draw(st.one_of(st.just(last), st.integers(0, last)))
    check_backward(program, root)


# The first operation of each program, so that every rule runs in every
# dtype in every run of the suite.
RULES = {
    "a + b": [("arith", {"op": "+"})],
    "a - b": [("arith", {"op": "-"})],
    "a * b": [("arith", {"op": "*"})],
    "a / b": [("arith", {"op": "/"})],
    "t + n": [("number", {"op": "+", "left": False})],
    "t - n": [("number", {"op": "-", "left": False})],
    "t * n": [("number", {"op": "*", "left": False})],
    "t / n": [("number", {"op": "/", "left": False})],
    "n + t": [("number", {"op": "+", "left": True})],
    "n * t": [("number", {"op": "*", "left": True})],
    "n / t": [("number", {"op": "/", "left": True})],
    "a @ b": [("matmul", {})],
    "relu": [("relu", {})],
    "reshape": [("reshape", {})],
    "transpose": [("transpose", {})],
    # The gradient reaching the reshape is transposed; the rule lays it out
    # row-major before relabelling it.
    "reshape, transpose": [("reshape", {}), ("transpose", {"distinct": True})],
}


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("rule", list(RULES))
@settings(max_examples=settings.default.max_examples // 20)
@given(data=st.data())
def test_every_rule_in_every_dtype(rule, dtype, data, panic_exception):
    Tensor.clear_graph()
    style = "small" if rule == "a @ b" else "dense"
    program = Program(data, panic_exception, gradient_safe=True, dtype=dtype, style=style)
    check_backward(program, program.run(first=RULES[rule], steps=(1, 2)))
