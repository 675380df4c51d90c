"""Random short programs of every operation, compared bit for bit with the
NumPy model: values, dtypes, shapes, strides, the gradient flag of every
result, and the class and exact message of every error."""

from hypothesis import given
from hypothesis import strategies as st

from quarn_core import Tensor

from graph_program import Program


@given(data=st.data())
def test_programs_match_the_model(data, panic_exception):
    Tensor.clear_graph()
    program = Program(data, panic_exception)
    program.run()
    # Nothing computed from a tensor changed it.
    for tensor, value in zip(program.tensors, program.values):
        program.check(tensor, value)
