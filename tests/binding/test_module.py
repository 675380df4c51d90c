"""The object tree that importing quarn_core leaves behind."""

import importlib.util
import inspect
import sys
import types

import pytest

import quarn_core
from quarn_core import Tensor


def test_module_exports_exactly_tensor_and_nn(panic_exception):
    assert quarn_core.__name__ == "quarn_core"
    assert quarn_core.__all__ == ["Tensor", "nn"]
    public = {name for name in vars(quarn_core) if not name.startswith("_")}
    assert public == {"Tensor", "nn"}
    # The private entries, for the quarn package to export by name: the fault
    # class and the operations beyond the operators.
    assert {name for name in vars(quarn_core) if name.startswith("_") and not name.startswith("__")} == {
        "_PanicException",
        "_functions",
    }
    assert quarn_core._PanicException is panic_exception
    assert quarn_core.__doc__ == ""


def test_submodules_are_plain_attributes():
    nn = quarn_core.nn
    functional = nn.functional
    assert isinstance(nn, types.ModuleType)
    assert isinstance(functional, types.ModuleType)
    assert nn.__name__ == "nn"
    assert functional.__name__ == "functional"
    assert nn.__all__ == ["functional"]
    assert functional.__all__ == ["relu"]
    for name in ("nn", "functional", "quarn_core.nn", "quarn_core.nn.functional"):
        assert sys.modules.get(name) is not nn
        assert sys.modules.get(name) is not functional


def test_submodules_cannot_be_imported_by_dotted_name():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("quarn_core.nn")
    with pytest.raises(ModuleNotFoundError):
        exec("import quarn_core.nn.functional", {})
    namespace = {}
    exec("from quarn_core import nn", namespace)
    assert namespace["nn"] is quarn_core.nn


def test_relu_is_a_builtin_function_of_functional():
    relu = quarn_core.nn.functional.relu
    assert isinstance(relu, types.BuiltinFunctionType)
    assert relu.__name__ == "relu"
    assert relu.__text_signature__ == "(py_tensor)"
    # The documentation text is the signature alone.
    assert not relu.__doc__
    assert relu.__self__ is quarn_core.nn.functional
    assert list(inspect.signature(relu).parameters) == ["py_tensor"]


def test_tensor_type_names_and_signature():
    assert isinstance(Tensor, type)
    assert Tensor.__name__ == "Tensor"
    assert Tensor.__qualname__ == "Tensor"
    assert Tensor.__module__ == "quarn"
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    assert not Tensor.__doc__
    params = inspect.signature(Tensor).parameters
    assert list(params) == ["data", "dtype", "device", "requires_grad"]
    assert params["data"].default is inspect.Parameter.empty
    assert params["dtype"].default is None
    assert params["device"].default == "cpu"
    assert params["requires_grad"].default is False


@pytest.mark.parametrize(
    "method, signature",
    [
        ("grad", "($self)"),
        ("to_numpy", "($self)"),
        ("zeros_like", "($self)"),
        ("ones_like", "($self)"),
        ("reshape", "($self, shape)"),
        ("transpose", "($self, dim0, dim1)"),
        ("backward", "($self)"),
        ("clear_graph", "()"),
        ("__req__", "($self, other)"),
        ("__rlt__", "($self, other)"),
        ("__rgt__", "($self, other)"),
    ],
)
def test_method_text_signatures(method, signature):
    member = getattr(Tensor, method)
    assert member.__text_signature__ == signature
    assert not member.__doc__


def test_tensor_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Derived", (Tensor,), {})


def test_loading_module_again_reuses_the_tensor_type():
    # The type is built once per process; a second module object made from
    # the same extension shares it but gets its own submodules.
    found = importlib.util.find_spec("quarn_core")
    second = importlib.util.module_from_spec(found)
    found.loader.exec_module(second)
    assert second is not quarn_core
    assert second.Tensor is Tensor
    assert second.__all__ == ["Tensor", "nn"]
    assert second.nn is not quarn_core.nn
    assert second.nn.functional.relu is not quarn_core.nn.functional.relu


def test_every_fault_is_one_class_that_escapes_except_exception(panic_exception):
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    stale = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    for fault in (lambda: Tensor([[1.0, 2.0]]).transpose(0, 2), stale.backward):
        caught_by_exception = False
        with pytest.raises(BaseException) as info:
            try:
                fault()
            except Exception:
                caught_by_exception = True
        assert type(info.value) is panic_exception
        assert not caught_by_exception
