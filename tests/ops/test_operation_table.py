"""Every operation of the operation table against its models.

The compiled module describes each row of its table in
quarn_core._functions.operations. MODELS below gives each operation a way to
call it, a float64 NumPy model and a PyTorch model; an operation in the table
without a model here fails the first test, so a new operation cannot skip
the rest. Each differentiable operation is then driven over ordinary and
extreme inputs, in every float dtype, with every operand requiring a
gradient and its result broadcast further before the loss.
"""

import ast
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import conv_models
import ml_dtypes
import numpy as np
import pytest

import quarn
import quarn.nn.functional as F
import quarn_core
from quarn import Tensor

try:
    import torch
except ImportError:  # the PyTorch comparisons are skipped
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="compares with PyTorch")

OPERATIONS = {row["name"]: row for row in quarn_core._functions.operations}
HALF = {"float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
UNIT = {"float32": 2.0 ** -23, "float16": 2.0 ** -10, "bfloat16": 2.0 ** -7}
TARGETS = [1, 0, 4]
ROUND_TRIP = {"f32": "bfloat16", "f16": "float32", "bf16": "float32"}


def np_softmax(x, axis):
    e = np.exp(x - x.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


COND = np.array([[True], [False], [True]])


def np_normal_cdf(x):
    return 0.5 * np.vectorize(math.erfc)(-x / math.sqrt(2))


def np_log_softmax(x, axis):
    shifted = x - x.max(axis=axis, keepdims=True)
    return shifted - np.log(np.exp(shifted).sum(axis=axis, keepdims=True))


@dataclass
class Model:
    call: Callable  # quarn tensors -> tensor
    numpy: Callable  # float64 arrays -> array
    torch: Callable  # torch tensors -> tensor
    shapes: tuple = ((3, 5),)
    domain: str = "real"  # "positive": away from zero; "kinked": no zeros
    tol: float = 8.0  # in units of the dtype's last place, relative to the largest model value
    smooth: bool = True  # finite differences apply
    extra: dict = field(default_factory=dict)


def torch_fn(name):
    def call(*args):
        fn = torch
        for part in name.split("."):
            fn = getattr(fn, part)
        return fn(*args)
    return call


MODELS = {
    "add": Model(lambda a, b: a + b, np.add, torch_fn("add"), ((2, 3, 5), (3, 1))),
    "sub": Model(lambda a, b: a - b, np.subtract, torch_fn("sub"), ((3, 1), (2, 3, 5))),
    "mul": Model(lambda a, b: a * b, np.multiply, torch_fn("mul"), ((2, 3, 5), (5,))),
    "div": Model(lambda a, b: a / b, np.divide, torch_fn("div"), ((2, 3, 5), (3, 5)), domain="positive"),
    "matmul": Model(lambda a, b: a @ b, np.matmul, torch_fn("matmul"), ((2, 3, 4), (4, 5)), tol=32),
    "scalar_add": Model(lambda a: a + 1.5, lambda a: a + 1.5, lambda a: a + 1.5),
    "scalar_sub": Model(lambda a: a - 1.5, lambda a: a - 1.5, lambda a: a - 1.5),
    "scalar_mul": Model(lambda a: a * -3.0, lambda a: a * -3.0, lambda a: a * -3.0),
    "scalar_div": Model(lambda a: a / 4.0, lambda a: a / 4.0, lambda a: a / 4.0),
    "scalar_rdiv": Model(lambda a: 3.0 / a, lambda a: 3.0 / a, lambda a: 3.0 / a, domain="positive"),
    "reshape": Model(lambda a: a.reshape([5, 3]), lambda a: a.reshape(5, 3), lambda a: a.reshape(5, 3)),
    "transpose": Model(lambda a: a.transpose(0, 1), lambda a: a.T, lambda a: a.transpose(0, 1)),
    "relu": Model(F.relu, lambda a: np.maximum(a, 0), torch_fn("relu"), domain="kinked", smooth=False),
    "exp": Model(quarn.exp, np.exp, torch_fn("exp")),
    "log": Model(quarn.log, np.log, torch_fn("log"), domain="positive"),
    "tanh": Model(quarn.tanh, np.tanh, torch_fn("tanh")),
    "sigmoid": Model(quarn.sigmoid, lambda a: 1 / (1 + np.exp(-a)), torch_fn("sigmoid")),
    "abs": Model(quarn.abs, np.abs, torch_fn("abs"), domain="kinked", smooth=False),
    "neg": Model(quarn.neg, np.negative, torch_fn("neg")),
    "sum": Model(lambda a: quarn.sum(a, axis=(0, 2)), lambda a: a.sum(axis=(0, 2)),
                 lambda a: a.sum((0, 2)), ((3, 4, 5),), tol=32),
    "mean": Model(lambda a: quarn.mean(a, axis=-1, keepdims=True), lambda a: a.mean(axis=-1, keepdims=True),
                  lambda a: a.mean(-1, keepdim=True), ((3, 4, 5),), tol=32),
    "max": Model(lambda a: quarn.max(a, axis=(0, 2)), lambda a: a.max(axis=(0, 2)),
                 lambda a: a.amax((0, 2)), ((3, 4, 5),), smooth=False),
    "min": Model(lambda a: quarn.min(a, axis=1, keepdims=True), lambda a: a.min(axis=1, keepdims=True),
                 lambda a: a.amin(1, keepdim=True), ((3, 4, 5),), smooth=False),
    "logsumexp": Model(lambda a: quarn.logsumexp(a, axis=-1), lambda a: np.log(np.exp(a - a.max(-1, keepdims=True)).sum(-1)) + a.max(-1),
                       lambda a: torch.logsumexp(a, -1), tol=32),
    "argmax": Model(lambda a: quarn.argmax(a, axis=0), lambda a: a.argmax(axis=0).astype(np.float64), None,
                    ((3, 4, 5),)),
    "argmin": Model(lambda a: quarn.argmin(a), lambda a: np.float64(a.argmin()), None, ((3, 4, 5),)),
    "log_softmax": Model(lambda a: F.log_softmax(a, axis=0), lambda a: np_log_softmax(a, 0),
                         lambda a: torch.log_softmax(a, 0), tol=32),
    "softmax": Model(F.softmax, lambda a: np_softmax(a, -1), lambda a: torch.softmax(a, -1), tol=32),
    "cross_entropy": Model(lambda a: F.cross_entropy(a, TARGETS),
                           lambda a: -np_log_softmax(a, 1)[np.arange(3), TARGETS].mean(),
                           lambda a: torch.nn.functional.cross_entropy(a, torch.tensor(TARGETS)), tol=32),
    "mse_loss": Model(F.mse_loss, lambda a, b: ((a - b) ** 2).mean(), torch_fn("nn.functional.mse_loss"),
                      ((3, 5), (3, 5)), tol=32),
    # Never recorded: values only.
    "eq": Model(lambda a, b: a == b, np.equal, None, ((3, 5), (5,))),
    "ge": Model(lambda a, b: a >= b, np.greater_equal, None, ((3, 5), (5,))),
    "gt": Model(lambda a, b: a > b, np.greater, None, ((3, 5), (5,))),
    "le": Model(lambda a, b: a <= b, np.less_equal, None, ((3, 5), (5,))),
    "lt": Model(lambda a, b: a < b, np.less, None, ((3, 5), (5,))),
    "logical_and": Model(lambda a, b: a & b, np.logical_and, None, ((3, 5), (5,))),
    "logical_or": Model(lambda a, b: a | b, np.logical_or, None, ((3, 5), (5,))),
    "logical_xor": Model(lambda a, b: a ^ b, np.logical_xor, None, ((3, 5), (5,))),
    "logical_not": Model(lambda a: ~a, np.logical_not, None),
    "zeros_like": Model(lambda a: a.zeros_like(), np.zeros_like, None),
    "ones_like": Model(lambda a: a.ones_like(), np.ones_like, None),
    # Maps, maps with numbers, two-tensor maps and where, added for models.
    "sqrt": Model(quarn.sqrt, np.sqrt, torch_fn("sqrt"), domain="positive"),
    "rsqrt": Model(quarn.rsqrt, lambda a: 1 / np.sqrt(a), torch_fn("rsqrt"), domain="positive"),
    "square": Model(quarn.square, np.square, torch_fn("square")),
    "sign": Model(quarn.sign, np.sign, torch_fn("sign"), domain="kinked", smooth=False),
    "exp2": Model(quarn.exp2, np.exp2, torch_fn("exp2")),
    "log2": Model(quarn.log2, np.log2, torch_fn("log2"), domain="positive"),
    "log1p": Model(quarn.log1p, np.log1p, torch_fn("log1p"), domain="positive"),
    "expm1": Model(quarn.expm1, np.expm1, torch_fn("expm1")),
    "sin": Model(quarn.sin, np.sin, torch_fn("sin")),
    "cos": Model(quarn.cos, np.cos, torch_fn("cos")),
    "silu": Model(F.silu, lambda a: a / (1 + np.exp(-a)), torch_fn("nn.functional.silu")),
    "gelu": Model(F.gelu, lambda a: a * np_normal_cdf(a), torch_fn("nn.functional.gelu")),
    "leaky_relu": Model(lambda a: F.leaky_relu(a, 0.2), lambda a: np.where(a > 0, a, 0.2 * a),
                        lambda a: torch.nn.functional.leaky_relu(a, 0.2), domain="kinked", smooth=False),
    "elu": Model(lambda a: F.elu(a, alpha=1.5), lambda a: np.where(a > 0, a, 1.5 * np.expm1(a)),
                 lambda a: torch.nn.functional.elu(a, 1.5), domain="kinked", smooth=False),
    "softplus": Model(lambda a: F.softplus(a, beta=2.0, threshold=5.0),
                      lambda a: np.where(2 * a > 5, a, np.logaddexp(0, 2 * a) / 2),
                      lambda a: torch.nn.functional.softplus(a, 2.0, 5.0)),
    "hardtanh": Model(lambda a: F.hardtanh(a, -0.5, 1.0), lambda a: np.clip(a, -0.5, 1.0),
                      lambda a: torch.nn.functional.hardtanh(a, -0.5, 1.0), smooth=False),
    "clip": Model(lambda a: quarn.clip(a, -0.5, 1.0), lambda a: np.clip(a, -0.5, 1.0),
                  lambda a: torch.clamp(a, -0.5, 1.0), smooth=False),
    "scalar_pow": Model(lambda a: a ** 3.0, lambda a: a ** 3.0, lambda a: a ** 3.0),
    "scalar_rpow": Model(lambda a: 2.5 ** a, lambda a: 2.5 ** a, lambda a: 2.5 ** a),
    "maximum": Model(quarn.maximum, np.maximum, torch_fn("maximum"), ((2, 3, 5), (3, 1)), smooth=False),
    "minimum": Model(quarn.minimum, np.minimum, torch_fn("minimum"), ((3, 1), (2, 3, 5)), smooth=False),
    "pow": Model(quarn.pow, np.power, torch_fn("pow"), ((2, 3, 5), (3, 1)), domain="positive", tol=16),
    "where": Model(lambda a, b: quarn.where(COND, a, b), lambda a, b: np.where(COND, a, b),
                   lambda a, b: torch.where(torch.tensor(COND), a, b), ((3, 5), (5,))),
    # Indexing and joining: exact; repeated positions add their gradients.
    "getitem": Model(lambda a: a[1:, ::-2], lambda a: a[1:, ::-2], lambda a: a[1:].flip(1)[:, ::2]),
    "take": Model(lambda a: quarn.take(a, [[4, 0], [4, -1]], axis=1), lambda a: np.take(a, [[4, 0], [4, -1]], axis=1),
                  lambda a: a[:, torch.tensor([[4, 0], [4, -1]])]),
    "concatenate": Model(lambda a, b, c: quarn.concatenate([a, b, c], axis=1),
                         lambda a, b, c: np.concatenate([a, b, c], axis=1), lambda a, b, c: torch.cat([a, b, c], 1),
                         ((3, 2), (3, 5), (3, 1))),
    # Convolutions and pooling (tests/ops/test_conv.py drives their arguments).
    "conv2d": Model(lambda x, w: F.conv2d(x, w, stride=(1, 2), padding=1),
                    lambda x, w: conv_models.conv2d(x, w, stride=(1, 2), padding=1),
                    lambda x, w: torch.nn.functional.conv2d(x, w, stride=(1, 2), padding=1),
                    ((2, 3, 5, 6), (4, 3, 3, 2)), tol=32),
    "conv1d": Model(lambda x, w: F.conv1d(x, w, padding="same", groups=2),
                    lambda x, w: conv_models.conv1d(x, w, padding="same", groups=2),
                    lambda x, w: torch.nn.functional.conv1d(x, w, padding="same", groups=2),
                    ((2, 4, 7), (6, 2, 4)), tol=32),
    "conv_transpose2d": Model(lambda x, w: F.conv_transpose2d(x, w, stride=2, padding=1, output_padding=1),
                              lambda x, w: conv_models.conv_transpose2d(x, w, stride=2, padding=1, output_padding=1),
                              lambda x, w: torch.nn.functional.conv_transpose2d(x, w, stride=2, padding=1,
                                                                                output_padding=1),
                              ((2, 4, 3, 3), (4, 3, 3, 3)), tol=32),
    "channel_bias": Model(lambda x, w, b: F.conv2d(x, w, b, dilation=2),
                          lambda x, w, b: conv_models.conv2d(x, w, b, dilation=2),
                          lambda x, w, b: torch.nn.functional.conv2d(x, w, b, dilation=2),
                          ((2, 2, 6, 5), (3, 2, 2, 2), (3,)), tol=32),
    "max_pool2d": Model(lambda x: F.max_pool2d(x, 3, 2, padding=1),
                        lambda x: conv_models.max_pool2d(x, 3, 2, padding=1),
                        lambda x: torch.nn.functional.max_pool2d(x, 3, 2, padding=1),
                        ((2, 3, 6, 5),), smooth=False),
    "avg_pool2d": Model(lambda x: F.avg_pool2d(x, 3, 2, 1, ceil_mode=True, count_include_pad=False),
                        lambda x: conv_models.avg_pool2d(x, 3, 2, 1, ceil_mode=True, count_include_pad=False),
                        lambda x: torch.nn.functional.avg_pool2d(x, 3, 2, 1, ceil_mode=True, count_include_pad=False),
                        ((2, 3, 6, 5),), tol=32),
    "adaptive_avg_pool2d": Model(lambda x: F.adaptive_avg_pool2d(x, (3, 1)),
                                 lambda x: conv_models.adaptive_avg_pool2d(x, (3, 1)),
                                 lambda x: torch.nn.functional.adaptive_avg_pool2d(x, (3, 1)),
                                 ((2, 3, 6, 4),), tol=32),
    # Layout: a float32 operand goes through bfloat16 and back, a 16-bit one
    # through float32 (exact both ways), so the result keeps the operand's dtype.
    "cast": Model(lambda a: quarn.cast(quarn.cast(a, ROUND_TRIP[a.dtype]), a.dtype),
                  lambda a: a.astype(ml_dtypes.bfloat16).astype(np.float64),
                  lambda a: a.to(torch.bfloat16 if a.dtype == torch.float32 else torch.float32).to(a.dtype),
                  smooth=False),
    "contiguous": Model(lambda a: quarn.contiguous(a.transpose(0, 1)), lambda a: a.T,
                        lambda a: a.transpose(0, 1).contiguous()),
    "broadcast_to": Model(lambda a: quarn.broadcast_to(a, [2, 3, 5]), lambda a: np.broadcast_to(a, (2, 3, 5)),
                          lambda a: a.broadcast_to((2, 3, 5)), ((3, 1),)),
}

# Constants of an operand's dtype (the losses' weights), as the models need them.
DTYPE_OF = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}
CLASS_WEIGHT = np.array([0.5, 2.0, 1.0, 0.25, 1.5])
IGNORED_TARGETS = [1, 2, 4]  # the middle row ignored (ignore_index=2)


def like(a, values):
    return Tensor(np.asarray(values, np.float32), dtype=DTYPE_OF[a.dtype])


def np_layer_norm(x, w, b, eps=1e-5):
    m = x.mean(-1, keepdims=True)
    return (x - m) / np.sqrt(((x - m) ** 2).mean(-1, keepdims=True) + eps) * w + b


def np_nll(logp, targets, weight, ignore):
    rows = [i for i, t in enumerate(targets) if t != ignore]
    w = weight[[targets[i] for i in rows]]
    return -(logp[rows, [targets[i] for i in rows]] * w).sum() / w.sum()


def np_bce_logits(x, y, pw):
    return ((1 - y) * x + (1 + (pw - 1) * y) * (np.log1p(np.exp(-np.abs(x))) + np.maximum(-x, 0))).sum()


def np_smooth_l1(d, beta):
    return np.where(np.abs(d) < beta, 0.5 * d * d / beta, np.abs(d) - 0.5 * beta)


def np_huber(d, delta):
    return np.where(np.abs(d) < delta, 0.5 * d * d, delta * (np.abs(d) - 0.5 * delta))


TF = torch.nn.functional if torch is not None else None
MODELS.update({
    "prod": Model(lambda a: quarn.prod(a, axis=-1), lambda a: a.prod(axis=-1), lambda a: a.prod(-1), ((3, 4, 5),),
                  domain="kinked", tol=32),  # groups with one zero and with two
    "var": Model(lambda a: quarn.var(a, axis=0, ddof=1), lambda a: a.var(axis=0, ddof=1),
                 lambda a: torch.var(a, 0, correction=1), tol=32),
    "std": Model(lambda a: quarn.std(a, axis=(0, 2), keepdims=True, correction=0),
                 lambda a: a.std(axis=(0, 2), keepdims=True), lambda a: torch.std(a, (0, 2), correction=0, keepdim=True),
                 ((3, 4, 5),), tol=32),
    "any": Model(lambda a: quarn.any(a, axis=1), lambda a: np.any(a, axis=1), None, domain="kinked"),
    "all": Model(lambda a: quarn.all(a, axis=0, keepdims=True), lambda a: np.all(a, axis=0, keepdims=True), None,
                 domain="kinked"),
    "nll_loss": Model(lambda a: F.nll_loss(a, IGNORED_TARGETS, weight=like(a, CLASS_WEIGHT), ignore_index=2),
                      lambda a: np_nll(a, IGNORED_TARGETS, CLASS_WEIGHT, 2),
                      lambda a: TF.nll_loss(a, torch.tensor(IGNORED_TARGETS), weight=torch.tensor(CLASS_WEIGHT, dtype=torch.float32), ignore_index=2),
                      tol=32),
    "binary_cross_entropy": Model(
        lambda p, y: F.binary_cross_entropy(p, y, reduction="none"),
        lambda p, y: (y - 1) * np.maximum(np.log1p(-p), -100) - y * np.maximum(np.log(p), -100),
        lambda p, y: TF.binary_cross_entropy(p, y, reduction="none"), ((3, 5), (3, 5)), domain="unit", tol=32),
    "binary_cross_entropy_with_logits": Model(
        lambda x, y: F.binary_cross_entropy_with_logits(x, y, pos_weight=like(x, CLASS_WEIGHT), reduction="sum"),
        lambda x, y: np_bce_logits(x, y, CLASS_WEIGHT),
        lambda x, y: TF.binary_cross_entropy_with_logits(x, y, pos_weight=torch.tensor(CLASS_WEIGHT, dtype=torch.float32), reduction="sum"),
        ((3, 5), (3, 5)), tol=32),
    "l1_loss": Model(lambda a, b: F.l1_loss(a, b, reduction="none"), lambda a, b: np.abs(a - b),
                     lambda a, b: TF.l1_loss(a, b, reduction="none"), ((3, 5), (3, 5))),
    "smooth_l1_loss": Model(lambda a, b: F.smooth_l1_loss(a, b, reduction="sum", beta=0.5),
                            lambda a, b: np_smooth_l1(a - b, 0.5).sum(),
                            lambda a, b: TF.smooth_l1_loss(a, b, reduction="sum", beta=0.5), ((3, 5), (3, 5)), tol=32),
    "huber_loss": Model(lambda a, b: F.huber_loss(a, b, delta=0.7), lambda a, b: np_huber(a - b, 0.7).mean(),
                        lambda a, b: TF.huber_loss(a, b, delta=0.7), ((3, 5), (3, 5)), tol=32),
    "layer_norm": Model(lambda x, w, b: F.layer_norm(x, 5, w, b), np_layer_norm,
                        lambda x, w, b: TF.layer_norm(x, (5,), w, b), ((3, 4, 5), (5,), (5,)), tol=32),
    "pad": Model(lambda a: F.pad(a, (1, 2, 2, 0), mode="reflect"),
                 lambda a: np.pad(a, ((0, 0), (2, 0), (1, 2)), mode="reflect"),
                 lambda a: TF.pad(a, (1, 2, 2, 0), mode="reflect"), ((2, 3, 5),)),
})

LONG_RUNS = ("Operator", "Scalar", "Map", "Row", "Untracked")
TRACKED = [n for n, row in OPERATIONS.items() if row["order"] != "Never"]
FLOAT_ONLY = [n for n, row in OPERATIONS.items() if row["dtypes"] == "Float"]


def test_every_operation_has_a_model_a_python_name_and_a_stub():
    assert sorted(OPERATIONS) == sorted(MODELS)
    stubs = Path(__file__).parents[2] / "python" / "quarn_core-stubs" / "_functions.pyi"
    tree = ast.parse(stubs.read_text()).body
    defined = {node.name for node in tree if isinstance(node, ast.FunctionDef)}
    stubbed = next(ast.literal_eval(node.value) for node in tree
                   if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    bound = set(quarn_core._functions.__all__)
    functions = {n for n, row in OPERATIONS.items()
                 if row["family"] in ("Map", "Reduction", "Row", "Loss", "Index", "Join", "Convolution", "Pooling",
                                      "Layout", "Layer", "ParamMap", "Pairwise", "Select")}
    functions.add("relu6")  # hardtanh's row with its bounds fixed
    assert bound == functions == set(stubbed) and functions <= defined
    for name in bound - {"relu"}:  # quarn's relu is quarn_core.nn.functional's
        public = getattr(quarn, name, None) or getattr(F, name)
        assert public is getattr(quarn_core._functions, name)


def inputs(model, dtype, rng, scale=1.0, n=None):
    arrays = []
    for shape in model.shapes:
        if n is not None:  # long runs: past every block size of the kernels
            shape = (2, n // 2)
        if dtype == "bool":
            arrays.append(rng.random(shape) < 0.5)
            continue
        x = rng.standard_normal(shape)
        if scale > 1:  # both signs far out: logits beyond 88, saturated tanh and sigmoid
            x = 8 * x + scale * rng.choice([-1.0, 1.0], shape)
        if model.domain == "positive":
            x = np.abs(x) + 0.5
        elif model.domain == "kinked":  # exact zeros, where the gradient is a convention
            x.flat[::4] = 0.0
        elif model.domain == "unit":  # probabilities, 0 and 1 themselves at the extremes
            x = 1 / (1 + np.exp(-x))
        arrays.append(x.astype(HALF.get(dtype, np.float32)))
    return arrays


def close_to_model(got, want, dtype, tol):
    got = np.asarray(got, np.float64)
    want = np.asarray(want, np.float64)
    assert got.shape == want.shape
    finite = np.isfinite(want)
    assert np.array_equal(np.isnan(got), np.isnan(want))
    assert np.array_equal(got[~finite & ~np.isnan(want)], want[~finite & ~np.isnan(want)])
    if finite.any():
        scale = np.abs(want[finite]).max() + np.finfo(np.float32).tiny
        err = np.abs(got[finite] - want[finite]).max()
        assert err <= tol * UNIT[dtype] * scale, (err, scale)


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("scale, n", [(1.0, None), (100.0, None), (1.0, 5000)], ids=["ordinary", "extreme", "long"])
@pytest.mark.parametrize("name", FLOAT_ONLY + ["eq", "lt", "zeros_like", "getitem", "take", "concatenate"])
def test_values_match_the_float64_model(name, dtype, scale, n, rng):
    model = MODELS[name]
    if n is not None and (OPERATIONS[name]["family"] not in LONG_RUNS or name == "matmul"):
        pytest.skip("fixed shapes")
    arrays = inputs(model, dtype, rng, scale, n)
    got = model.call(*[Tensor(a, dtype=dtype) for a in arrays])
    positions = name in ("argmax", "argmin")
    assert got.dtype == ("bool" if name in ("eq", "lt") else
                         "f32" if positions else {"float32": "f32", "float16": "f16", "bfloat16": "bf16"}[dtype])
    with np.errstate(all="ignore"):
        want = model.numpy(*[a.astype(np.float64) for a in arrays])
    if name in ("eq", "lt") or positions:
        assert np.array_equal(got.to_numpy(), want)
        return
    # One rounding of the model to the dtype is the best any kernel can do;
    # within `tol` last places of the largest value is what each promises.
    with np.errstate(over="ignore"):  # beyond the format's range the model rounds to infinity too
        rounded = np.asarray(want).astype(HALF.get(dtype, np.float32))
    close_to_model(got.to_numpy(), rounded, dtype, model.tol)


def true_grad(t, shape):
    """A leaf's stored gradient keeps the broadcast shape it was computed
    at; summed over the axes by which it exceeds the leaf, it is the true one."""
    g = np.asarray(t.grad(), np.float64)
    g = g.sum(axis=tuple(range(g.ndim - len(shape))))
    return g.sum(axis=tuple(i for i, e in enumerate(shape) if e == 1 and g.shape[i] != 1), keepdims=True)


def loss_weights(shape, rng):
    # An extra leading axis: the result is broadcast further before the loss.
    return rng.standard_normal((2, *shape)).astype(np.float32)


@needs_torch
@pytest.mark.parametrize("scale", [1.0, 100.0], ids=["ordinary", "extreme"])
@pytest.mark.parametrize("name", [n for n in TRACKED if MODELS[n].torch is not None])
def test_gradients_match_pytorch_with_every_operand_requiring_one(name, scale, rng):
    model = MODELS[name]
    arrays = inputs(model, "float32", rng, scale)
    ours = [Tensor(a, requires_grad=True) for a in arrays]
    y = model.call(*ours)
    w = loss_weights(y.shape, rng)
    quarn.sum(y * Tensor(w)).backward()
    theirs = [torch.tensor(a, requires_grad=True) for a in arrays]
    ty = model.torch(*theirs)
    (ty * torch.tensor(w)).sum().backward()
    for t, tt in zip(ours, theirs):
        np.testing.assert_allclose(true_grad(t, tt.shape), tt.grad.numpy(), rtol=2e-5, atol=1e-5 * max(1.0, scale))


@pytest.mark.parametrize("name", [n for n in TRACKED if MODELS[n].smooth])
def test_gradients_match_finite_differences_of_the_model(name, rng):
    model = MODELS[name]
    arrays = [a.astype(np.float64) for a in inputs(model, "float32", rng)]
    ours = [Tensor(a.astype(np.float32), requires_grad=True) for a in arrays]
    y = model.call(*ours)
    w = loss_weights(y.shape, rng).astype(np.float64)
    quarn.sum(y * Tensor(w.astype(np.float32))).backward()
    h = 1e-6
    for k, (a, t) in enumerate(zip(arrays, ours)):
        numeric = np.zeros_like(a)
        for index in np.ndindex(a.shape):
            def loss(delta):
                moved = [b.copy() for b in arrays]
                moved[k][index] += delta
                return (np.asarray(model.numpy(*moved)) * w).sum()
            numeric[index] = (loss(h) - loss(-h)) / (2 * h)
        np.testing.assert_allclose(true_grad(t, a.shape), numeric, rtol=2e-3, atol=2e-4)


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
@pytest.mark.parametrize("name", [n for n in TRACKED if MODELS[n].torch is not None])
def test_half_precision_gradients_follow_the_binary32_ones(name, dtype, rng):
    model = MODELS[name]
    arrays = inputs(model, dtype, rng)
    ours = [Tensor(a, dtype=dtype, requires_grad=True) for a in arrays]
    y = model.call(*ours)
    w = loss_weights(y.shape, rng).astype(HALF[dtype])
    quarn.sum(y * Tensor(w, dtype=dtype)).backward()
    wide = [Tensor(a.astype(np.float32), requires_grad=True) for a in arrays]
    quarn.sum(model.call(*wide) * Tensor(w.astype(np.float32))).backward()
    for a, t, t32 in zip(arrays, ours, wide):
        assert t.grad().dtype == np.dtype(HALF[dtype])
        close_to_model(true_grad(t, a.shape), true_grad(t32, a.shape), dtype, 64 if OPERATIONS[name]["compute"] != "Pattern" else 2)


@pytest.mark.parametrize("name", FLOAT_ONLY)
def test_a_bool_operand_is_refused_where_the_table_says(name, graph_len):
    model = MODELS[name]
    rng = np.random.default_rng(3)
    arrays = inputs(model, "bool", rng)
    # quarn_core.Tensor: quarn.Tensor promotes a bool operand of arithmetic,
    # sum and mean to float before the row sees it.
    operands = [quarn_core.Tensor(a, dtype="bool", requires_grad=True) for a in arrays]
    before = graph_len()
    with pytest.raises((TypeError, ValueError, RuntimeError)) as info:
        model.call(*operands)
    grown = graph_len() - before
    if OPERATIONS[name]["order"] == "Recorded":
        assert grown == 1, "a Recorded operation keeps the node it recorded first"
    else:
        assert grown == 0, "a Checked operation records nothing it then refuses"
    if OPERATIONS[name]["family"] in ("Map", "Reduction", "Row") or name == "cross_entropy":
        assert str(info.value) == f"Tensor Dtype not supported for this operation: {name}"


@pytest.mark.parametrize("name", TRACKED)
def test_a_stale_operand_is_refused_before_anything_is_recorded(name, graph_len, rng):
    model = MODELS[name]
    arrays = inputs(model, "float32", rng)
    stale = [Tensor(a, requires_grad=True) for a in arrays]
    quarn.clear_graph()
    fresh = [Tensor(a, requires_grad=True) for a in arrays]
    before = graph_len()
    for k in range(len(arrays)):
        operands = fresh[:k] + [stale[k]] + fresh[k + 1:]
        with pytest.raises(RuntimeError, match="no longer exists"):
            model.call(*operands)
    assert graph_len() == before


@pytest.mark.parametrize("name", [n for n, row in OPERATIONS.items() if row["order"] == "Never"])
def test_untracked_operations_never_record(name, graph_len, rng):
    model = MODELS[name]
    dtype = "bool" if OPERATIONS[name]["dtypes"] == "Bool" else "float32"
    arrays = inputs(model, dtype, rng)
    before = graph_len()
    out = model.call(*[Tensor(a, dtype=dtype, requires_grad=True) for a in arrays])
    assert not out.requires_grad
    assert graph_len() == before + len(arrays)  # the leaves, nothing more
    assert np.array_equal(out.to_numpy(), model.numpy(*arrays))


def grad_tensor(*shape):
    return Tensor(np.ones(shape, np.float32), requires_grad=True)


@pytest.mark.parametrize(
    "name, call, error",
    [
        ("mse_loss", lambda: F.mse_loss(grad_tensor(3, 5), grad_tensor(5)), ValueError),
        ("sum", lambda: quarn.sum(grad_tensor(3, 5), axis=2), IndexError),
        ("mean", lambda: quarn.mean(grad_tensor(3, 5), axis=(0, -2)), ValueError),
        ("softmax", lambda: F.softmax(grad_tensor(3, 5), axis=-3), IndexError),
        ("cross_entropy", lambda: F.cross_entropy(grad_tensor(3, 5), [0, 9, 1]), IndexError),
        ("add", lambda: grad_tensor(3, 5) + grad_tensor(3, 2), RuntimeError),
        ("matmul", lambda: grad_tensor(3, 5) @ grad_tensor(3, 2), RuntimeError),
        ("reshape", lambda: grad_tensor(3, 5).reshape([4, 4]), ValueError),
    ],
)
def test_bad_arguments_are_refused_where_the_table_says(name, call, error, graph_len):
    before = graph_len()
    with pytest.raises(error):
        call()
    operands = 1 if name in ("sum", "mean", "softmax", "cross_entropy", "reshape") else 2
    recorded = 1 if OPERATIONS[name]["order"] == "Recorded" else 0
    assert graph_len() == before + operands + recorded
