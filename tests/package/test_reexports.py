"""The quarn package is the compiled module under its public names: the same
objects, the version of the installed distribution, and bfloat16 ready."""

import importlib.metadata
import subprocess
import sys

import pytest

import quarn
import quarn.nn.functional
import quarn_core


@pytest.mark.parametrize(
    "ours, theirs",
    [
        (lambda: quarn.nn.functional.relu, lambda: quarn_core.nn.functional.relu),
        (lambda: quarn.PanicException, lambda: quarn_core._PanicException),
        (lambda: quarn.clear_graph, lambda: quarn_core.Tensor.clear_graph),
        *[(lambda n=n: getattr(quarn, n), lambda n=n: getattr(quarn_core._functions, n))
          for n in ("exp", "log", "tanh", "sigmoid", "sum", "mean")],
        *[(lambda n=n: getattr(quarn.nn.functional, n), lambda n=n: getattr(quarn_core._functions, n))
          for n in ("log_softmax", "softmax", "cross_entropy", "mse_loss")],
    ],
    ids=["relu", "PanicException", "clear_graph", "exp", "log", "tanh", "sigmoid", "sum", "mean",
         "log_softmax", "softmax", "cross_entropy", "mse_loss"],
)
def test_names_are_the_compiled_objects(ours, theirs):
    assert ours() is theirs()


def test_tensor_is_the_compiled_type_with_the_protocol_added():
    # The compiled subclass itself, so that results are allocated and freed
    # by compiled functions; it adds no fields.
    assert quarn.Tensor is quarn_core._functions._TensorBase
    assert quarn.Tensor.__mro__[1:] == (quarn_core.Tensor, object)
    assert (quarn.Tensor.__module__, quarn.Tensor.__name__, quarn.Tensor.__qualname__) == ("quarn", "Tensor", "Tensor")
    assert quarn.Tensor.__basicsize__ == quarn_core.Tensor.__basicsize__
    assert not hasattr(quarn.Tensor([1.0]), "__dict__")


def test_panic_exception_is_what_a_fault_raises(panic_exception):
    assert quarn.PanicException is panic_exception
    assert quarn.PanicException.__module__ == "quarn"
    assert quarn.PanicException.__name__ == "PanicException"


def test_package_all_resolves_and_core_all_is_untouched():
    assert all(hasattr(quarn, name) for name in quarn.__all__)
    assert "functional" in quarn.nn.__all__ and all(hasattr(quarn.nn, name) for name in quarn.nn.__all__)
    assert all(hasattr(quarn.optim, name) for name in quarn.optim.__all__)
    assert all(hasattr(quarn.nn.functional, name) for name in quarn.nn.functional.__all__)
    assert quarn_core.__all__ == ["Tensor", "nn"]


def test_version_is_the_distribution_version():
    assert quarn.__version__ == importlib.metadata.version("quarn")


def test_import_alone_makes_bfloat16_work():
    # A fresh interpreter: this session's conftest has imported ml_dtypes already.
    program = (
        "import quarn\n"
        "t = quarn.Tensor([1.5, -2.0], dtype='bfloat16')\n"
        "a = (t * 2.0).to_numpy()\n"
        "assert t.dtype == 'bf16' and str(a.dtype) == 'bfloat16', a.dtype\n"
        "assert a.astype('float32').tolist() == [3.0, -4.0]\n"
    )
    run = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
