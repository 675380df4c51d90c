"""Convolutions and pooling over a grid of their arguments: values against
the float64 NumPy models of tests/conv_models.py, gradients against PyTorch
and finite differences, the refusals PyTorch users expect (made before
anything is recorded), half-precision rounding, and the same bits on any
number of threads."""

import conv_models
import ml_dtypes
import numpy as np
import pytest

import quarn
import quarn.nn.functional as F
from quarn import Tensor

try:
    import torch
except ImportError:
    torch = None

needs_torch = pytest.mark.skipif(torch is None, reason="compares with PyTorch")

# (x shape, w shape, keyword arguments): every path of the lowering (column
# blocks, the 1x1 shortcut, groups, padding on one side only, strides and
# dilations past the kernel) on small shapes.
CONV2D = [
    ((2, 3, 7, 6), (4, 3, 3, 3), {}),
    ((2, 3, 7, 6), (4, 3, 3, 3), {"stride": 2, "padding": 1}),
    ((1, 4, 9, 8), (6, 2, 3, 2), {"stride": (2, 1), "padding": (0, 2), "dilation": (1, 2), "groups": 2}),
    ((2, 4, 6, 6), (4, 1, 3, 3), {"padding": "same", "groups": 4}),
    ((2, 2, 6, 7), (3, 2, 4, 2), {"padding": "same", "dilation": 2}),
    ((2, 2, 5, 5), (3, 2, 5, 5), {"padding": "valid"}),
    ((3, 5, 4, 5), (6, 5, 1, 1), {}),
    ((2, 4, 5, 5), (6, 2, 1, 1), {"stride": 2, "groups": 2}),
    ((1, 1, 4, 4), (2, 1, 3, 3), {"padding": 2, "stride": 3}),
    ((1, 16, 48, 48), (3, 16, 3, 3), {"padding": 1}),  # more columns than one block holds
    ((1, 64, 48, 48), (2, 64, 3, 3), {"stride": 2, "padding": 1}),  # the same through col2im
    # Unit strides through the register tiles: several blocks of taps, an
    # edge tile of channels, channel panels past the widest weight tile and
    # a tap count no tile divides;
    ((2, 51, 9, 11), (70, 51, 3, 3), {"padding": 1}),
    # several bands of output rows and one output row per weight block;
    ((1, 3, 20, 128), (64, 3, 3, 3), {"padding": 1}),
    # few channels, a 5 x 5 window (LeNet's second layer);
    ((3, 6, 14, 13), (16, 6, 5, 5), {}),
    # a result of 4 MiB, written by streaming stores;
    ((2, 4, 64, 64), (128, 4, 3, 3), {"padding": 1}),
    # padding past the window's reach.
    ((1, 2, 5, 6), (3, 2, 2, 2), {"padding": 3}),
]

CONV_TRANSPOSE2D = [
    ((2, 3, 4, 4), (3, 2, 3, 3), {}),
    ((2, 4, 3, 3), (4, 3, 3, 3), {"stride": 2, "padding": 1, "output_padding": 1}),
    ((1, 4, 3, 4), (4, 1, 2, 3), {"stride": (1, 3), "groups": 2, "dilation": (2, 1)}),
    ((2, 2, 3, 3), (2, 3, 1, 1), {"stride": 2}),
    ((1, 2, 3, 3), (2, 2, 3, 3), {"dilation": 2, "output_padding": 1, "padding": 2}),
]

CONV1D = [
    ((2, 3, 9), (4, 3, 3), {}),
    ((2, 4, 11), (6, 2, 4), {"stride": 2, "padding": 3, "dilation": 2, "groups": 2}),
    ((1, 2, 8), (2, 2, 4), {"padding": "same"}),
]

POOLS = [
    ("max_pool2d", (2, 3, 7, 6), {"kernel_size": 2}),
    ("max_pool2d", (2, 3, 7, 6), {"kernel_size": 3, "stride": 2, "padding": 1}),
    ("max_pool2d", (1, 2, 9, 8), {"kernel_size": (3, 2), "stride": (2, 3), "dilation": (2, 1), "ceil_mode": True}),
    ("max_pool2d", (1, 2, 6, 6), {"kernel_size": 4, "stride": 3, "padding": 2, "ceil_mode": True}),
    ("max_pool2d", (2, 3, 9, 7), {"kernel_size": (3, 2)}),  # windows tiling the plane but its last column
    ("avg_pool2d", (2, 3, 7, 6), {"kernel_size": 2}),
    ("avg_pool2d", (2, 3, 7, 6), {"kernel_size": 3, "stride": 2, "padding": 1}),
    ("avg_pool2d", (1, 2, 7, 8), {"kernel_size": 3, "stride": 2, "padding": 1, "count_include_pad": False}),
    ("avg_pool2d", (1, 2, 6, 7), {"kernel_size": (2, 3), "stride": 2, "padding": 1, "ceil_mode": True}),
    ("avg_pool2d", (1, 2, 6, 7), {"kernel_size": 3, "stride": 2, "padding": 1, "ceil_mode": True,
                                  "count_include_pad": False}),
    ("adaptive_avg_pool2d", (2, 3, 6, 4), {"output_size": (2, 4)}),
    ("adaptive_avg_pool2d", (1, 2, 4, 6), {"output_size": 1}),
    ("adaptive_avg_pool2d", (1, 2, 4, 6), {"output_size": (None, 3)}),
]


def case_id(case):
    return "-".join(str(part) for part in case if not isinstance(part, dict)) + str(sorted(case[-1].items()))


def conv_cases():
    for x, w, kw in CONV2D:
        yield "conv2d", (x, w, (w[0],)), kw
    for x, w, kw in CONV_TRANSPOSE2D:
        yield "conv_transpose2d", (x, w, (w[1] * kw.get("groups", 1),)), kw
    for x, w, kw in CONV1D:
        yield "conv1d", (x, w, (w[0],)), kw


CONV_CASES = list(conv_cases())


def pick(name, **kwargs):
    """The first case of `name` whose arguments include `kwargs`."""
    return next(c for c in CONV_CASES if c[0] == name and kwargs.items() <= c[2].items())


# A few cases for the slower checks: groups, "same", a strided transpose, 1-D.
FEW = [pick("conv2d", groups=2), pick("conv2d", padding="same", dilation=2),
       pick("conv_transpose2d", stride=2), pick("conv1d", groups=2)]


def arrays_for(shapes, rng, dtype=np.float32):
    return [rng.standard_normal(s).astype(dtype) for s in shapes]


def numpy_model(name, kwargs):
    if name == "adaptive_avg_pool2d":
        size = kwargs["output_size"]
        return lambda x: conv_models.adaptive_avg_pool2d(
            x, tuple(x.shape[2 + i] if s is None else s for i, s in enumerate(conv_models.pair(size))))
    return lambda *a: getattr(conv_models, name)(*a, **kwargs)


def close(got, want, rtol=2e-5):
    scale = np.abs(want).max() + 1e-30
    assert got.shape == want.shape
    assert np.abs(got - want).max() <= rtol * scale


@pytest.mark.parametrize("bias", [False, True], ids=["no-bias", "bias"])
@pytest.mark.parametrize("name, shapes, kwargs", CONV_CASES, ids=[case_id(c) for c in CONV_CASES])
def test_convolutions_match_the_float64_model(name, shapes, kwargs, bias, rng):
    arrays = arrays_for(shapes if bias else shapes[:2], rng)
    got = getattr(F, name)(*[Tensor(a) for a in arrays], **kwargs)
    want = numpy_model(name, kwargs)(*[a.astype(np.float64) for a in arrays])
    close(got.to_numpy().astype(np.float64), want)


@pytest.mark.parametrize("name, shape, kwargs", POOLS, ids=[case_id(c) for c in POOLS])
def test_pooling_matches_the_float64_model(name, shape, kwargs, rng):
    x = rng.standard_normal(shape).astype(np.float32)
    got = getattr(F, name)(Tensor(x), **kwargs)
    want = numpy_model(name, kwargs)(x.astype(np.float64))
    close(got.to_numpy().astype(np.float64), want)


def backward_through(fn, arrays, weights):
    leaves = [Tensor(a, requires_grad=True) for a in arrays]
    y = fn(*leaves)
    quarn.sum(y * Tensor(weights)).backward()
    return [t.grad() for t in leaves]


@needs_torch
@pytest.mark.filterwarnings("ignore:Using padding='same'")
@pytest.mark.parametrize("name, shapes, kwargs", CONV_CASES, ids=[case_id(c) for c in CONV_CASES])
def test_convolution_gradients_match_pytorch(name, shapes, kwargs, rng):
    arrays = arrays_for(shapes, rng)
    fn = getattr(F, name)
    out_shape = fn(*[Tensor(a) for a in arrays], **kwargs).shape
    weights = rng.standard_normal(out_shape).astype(np.float32)
    ours = backward_through(lambda *t: fn(*t, **kwargs), arrays, weights)
    theirs = [torch.tensor(a, requires_grad=True) for a in arrays]
    (getattr(torch.nn.functional, name)(*theirs, **kwargs) * torch.tensor(weights)).sum().backward()
    for g, t in zip(ours, theirs):
        close(g, t.grad.numpy(), rtol=1e-5)


@needs_torch
@pytest.mark.parametrize("name, shape, kwargs", POOLS, ids=[case_id(c) for c in POOLS])
def test_pooling_gradients_match_pytorch(name, shape, kwargs, rng):
    x = rng.standard_normal(shape).astype(np.float32)
    fn = getattr(F, name)
    weights = rng.standard_normal(fn(Tensor(x), **kwargs).shape).astype(np.float32)
    [ours] = backward_through(lambda t: fn(t, **kwargs), [x], weights)
    tx = torch.tensor(x, requires_grad=True)
    (getattr(torch.nn.functional, name)(tx, **kwargs) * torch.tensor(weights)).sum().backward()
    close(ours, tx.grad.numpy(), rtol=1e-6)


@pytest.mark.parametrize("name, shapes, kwargs", FEW, ids=["conv2d-groups", "conv2d-same", "transpose-stride", "conv1d"])
def test_convolution_gradients_match_finite_differences(name, shapes, kwargs, rng):
    arrays = arrays_for(shapes, rng)
    model = numpy_model(name, kwargs)
    wide = [a.astype(np.float64) for a in arrays]
    weights = rng.standard_normal(model(*wide).shape)
    ours = backward_through(lambda *t: getattr(F, name)(*t, **kwargs), arrays, weights.astype(np.float32))
    h = 1e-6
    for k, a in enumerate(wide):
        numeric = np.zeros_like(a)
        for index in np.ndindex(a.shape):
            moved = [b.copy() for b in wide]
            moved[k][index] += h
            up = (model(*moved) * weights).sum()
            moved[k][index] -= 2 * h
            numeric[index] = (up - (model(*moved) * weights).sum()) / (2 * h)
        np.testing.assert_allclose(ours[k], numeric, rtol=2e-3, atol=2e-4)


@pytest.mark.parametrize("kernel, stride, padding", [(3, 2, 1), (2, 2, 0), ((3, 2), (3, 2), 0)],
                         ids=["overlapping", "tiling-2x2", "tiling-3x2"])
def test_max_pool_sends_each_gradient_to_the_first_largest_element(kernel, stride, padding, rng):
    # Few distinct values, so most windows hold ties.
    x = rng.integers(0, 3, (2, 2, 7, 7)).astype(np.float32)
    x[0, 0, 3, 3] = np.nan
    kwargs = {"kernel_size": kernel, "stride": stride, "padding": padding}
    (kh, kw), (sh, sw) = conv_models.pair(kernel), conv_models.pair(stride)
    y = F.max_pool2d(Tensor(x, requires_grad=True), **kwargs)
    weights = rng.standard_normal(y.shape).astype(np.float32)
    leaf = Tensor(x, requires_grad=True)
    quarn.sum(F.max_pool2d(leaf, **kwargs) * Tensor(weights)).backward()
    want = np.zeros_like(x, dtype=np.float64)
    padded = np.pad(x, ((0, 0), (0, 0), (padding, padding), (padding, padding)), constant_values=-np.inf)
    nan_windows = np.zeros(y.shape, bool)
    for n, c, a, b in np.ndindex(*y.shape):
        window = padded[n, c, sh * a:sh * a + kh, sw * b:sw * b + kw]
        nan_windows[n, c, a, b] = np.isnan(window).any()
        flat = np.where(np.isnan(window.ravel()), np.inf, window.ravel())
        i, j = divmod(int(np.argmax(flat)), kw)  # argmax: the first largest
        want[n, c, sh * a + i - padding, sw * b + j - padding] += weights[n, c, a, b]
    np.testing.assert_allclose(leaf.grad(), want, rtol=1e-6)
    assert nan_windows.any()
    np.testing.assert_array_equal(np.isnan(y.to_numpy()), nan_windows)


def test_a_dilated_window_wholly_in_the_padding_gives_minus_infinity_and_no_gradient():
    # Padding 1 is within half the kernel, yet with dilation 3 both taps of
    # the only window row and column fall outside the 2 x 2 input.
    leaf = Tensor(np.arange(4, dtype=np.float32).reshape(1, 1, 2, 2), requires_grad=True)
    y = F.max_pool2d(leaf, 2, stride=1, padding=1, dilation=3)
    assert y.shape == [1, 1, 1, 1] and y.to_numpy()[0, 0, 0, 0] == -np.inf
    quarn.sum(y).backward()
    assert not leaf.grad().any()


HALVES = {"float16": np.float16, "bfloat16": ml_dtypes.bfloat16}


@pytest.mark.parametrize("dtype", list(HALVES))
@pytest.mark.parametrize("name, shapes, kwargs", [pick("conv2d", stride=2, padding=1), *FEW],
                         ids=["conv2d-strided", "conv2d-groups", "conv2d-same", "transpose", "conv1d"])
def test_half_precision_is_the_float32_computation_rounded_once(name, shapes, kwargs, dtype, rng):
    arrays = arrays_for(shapes, rng, HALVES[dtype])
    fn = getattr(F, name)
    half = fn(*[Tensor(a, dtype=dtype) for a in arrays], **kwargs).to_numpy()
    wide = fn(*[Tensor(a.astype(np.float32)) for a in arrays], **kwargs).to_numpy()
    assert half.dtype == HALVES[dtype]
    assert np.array_equal(half, wide.astype(HALVES[dtype]))
    weights = rng.standard_normal(half.shape).astype(HALVES[dtype])
    leaves = [Tensor(a, dtype=dtype, requires_grad=True) for a in arrays]
    quarn.sum(fn(*leaves, **kwargs) * Tensor(weights, dtype=dtype)).backward()
    wide_leaves = [Tensor(a.astype(np.float32), requires_grad=True) for a in arrays]
    quarn.sum(fn(*wide_leaves, **kwargs) * Tensor(weights.astype(np.float32))).backward()
    for t, t32 in zip(leaves, wide_leaves):
        assert t.grad().dtype == HALVES[dtype]
        assert np.array_equal(t.grad(), t32.grad().astype(HALVES[dtype]))


def grad_tensor(*shape):
    return Tensor(np.ones(shape, np.float32), requires_grad=True)


REFUSALS = [
    (lambda: F.conv2d(grad_tensor(2, 3, 5), grad_tensor(4, 3, 3, 3)), RuntimeError, r"Expected 4D \(batched\) input"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3)), RuntimeError, "4-dimensional weight"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 2, 3, 3)), RuntimeError,
     r"expected input\[2, 3, 5, 5\] to have 2 channels, but got 3 channels instead"),
    (lambda: F.conv2d(grad_tensor(2, 4, 5, 5), grad_tensor(3, 2, 3, 3), groups=2), RuntimeError,
     "expected weight to be divisible by 2 at dimension 0"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 1, 3, 3), groups=3), RuntimeError,
     "expected weight to be divisible by 3"),
    (lambda: F.conv2d(grad_tensor(2, 3, 4, 4), grad_tensor(4, 3, 5, 5)), RuntimeError,
     r"padded input size per channel: \(4 x 4\). Kernel size: \(5 x 5\)"),
    (lambda: F.conv2d(grad_tensor(2, 3, 4, 4), grad_tensor(4, 3, 3, 3), dilation=2), RuntimeError,
     "Kernel size can't be greater than actual input size"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), grad_tensor(3)), RuntimeError,
     "expected bias to be 1-dimensional with 4 elements"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), stride=0), RuntimeError,
     "non-positive stride"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), padding=-1), RuntimeError,
     "negative padding"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), padding="same", stride=2), ValueError,
     "not supported for strided convolutions"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), padding="full"), ValueError,
     "Invalid padding string 'full'"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), stride=(1, 2, 3)), ValueError,
     "tuple of 2 ints"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), stride=1.5), TypeError, "stride must be"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), padding=2 ** 40), RuntimeError,
     "below 2\\*\\*31"),
    (lambda: F.conv2d(grad_tensor(2, 3, 5, 5), Tensor(np.ones((4, 3, 3, 3)), dtype="float16")), RuntimeError,
     "one dtype"),
    (lambda: F.conv1d(grad_tensor(2, 3, 5), grad_tensor(4, 3, 6)), RuntimeError, r"\(5\). Kernel size: \(6\)"),
    (lambda: F.conv_transpose2d(grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3)), RuntimeError,
     "to have 4 channels, but got 3 channels"),
    (lambda: F.conv_transpose2d(grad_tensor(2, 3, 5, 5), grad_tensor(3, 2, 3, 3), output_padding=1), RuntimeError,
     "output padding must be smaller than either stride or dilation"),
    (lambda: F.conv_transpose2d(grad_tensor(1, 3, 1, 1), grad_tensor(3, 2, 3, 3), padding=2), RuntimeError,
     "Output size is too small"),
    (lambda: F.max_pool2d(grad_tensor(2, 3, 5, 5), 2, padding=2), RuntimeError, "pad should be at most half"),
    (lambda: F.max_pool2d(grad_tensor(1, 1, 2, 2), 3), RuntimeError, "Output size is too small"),
    (lambda: F.max_pool2d(grad_tensor(1, 1, 4, 4), 0), RuntimeError, "kernel_size must be greater than zero"),
    (lambda: F.avg_pool2d(grad_tensor(1, 1, 4), 2), RuntimeError, r"Expected 4D \(batched\) input"),
    (lambda: F.adaptive_avg_pool2d(grad_tensor(1, 1, 7, 7), 3), ValueError,
     "only output sizes that divide the input size"),
    (lambda: F.adaptive_avg_pool2d(grad_tensor(1, 1, 6, 6), (0, 2)), RuntimeError, "greater than zero"),
    (lambda: F.adaptive_avg_pool2d(grad_tensor(1, 1, 6, 6), (-1, 2)), RuntimeError, "greater than or equal to 0"),
    (lambda: F.conv2d(grad_tensor(1, 1, 4, 4), grad_tensor(1, 1, 1, 1), stride=True), TypeError, "stride must be"),
    (lambda: F.conv_transpose2d(grad_tensor(1, 1, 3, 3), grad_tensor(1, 1, 1, 1), stride=2 ** 30), MemoryError, ""),
]


@pytest.mark.parametrize("call, error, message", REFUSALS, ids=[r[2][:40] or r[1].__name__ for r in REFUSALS])
def test_bad_arguments_are_refused_before_anything_is_recorded(call, error, message, graph_len):
    before = graph_len()
    with pytest.raises(error, match=message or None):
        call()
    # Only the leaves the call itself made.
    leaves = graph_len() - before
    assert leaves <= 3
    quarn.clear_graph()


def test_a_refusal_records_nothing_beyond_the_operands(graph_len):
    x, w, b = grad_tensor(2, 3, 5, 5), grad_tensor(4, 3, 3, 3), grad_tensor(3)
    before = graph_len()
    with pytest.raises(RuntimeError):
        F.conv2d(x, w, b)
    assert graph_len() == before
    F.conv2d(x, w, grad_tensor(4))
    assert graph_len() == before + 3  # the new bias, the convolution and its bias node


def test_transposed_and_strided_operands_are_read_through_their_strides(rng):
    x = rng.standard_normal((2, 3, 6, 5)).astype(np.float32)
    w = rng.standard_normal((4, 3, 3, 3)).astype(np.float32)
    xt = Tensor(np.ascontiguousarray(x.transpose(0, 1, 3, 2))).transpose(2, 3)
    got = F.conv2d(xt, Tensor(w), padding=1).to_numpy()
    close(got.astype(np.float64), conv_models.conv2d(x.astype(np.float64), w.astype(np.float64), padding=1))


@pytest.fixture
def restore_threads():
    old = quarn.get_num_threads()
    yield
    quarn.set_num_threads(old)


def conv_workload(rng):
    """Every path large enough for the pool: the column-block and unit-stride
    forward passes, col2im and the flipped-filter input gradient, the weight
    gradient's partial sums, pooling."""
    x, w, b, w3 = (rng.standard_normal(s).astype(np.float32)
                   for s in ((8, 8, 32, 32), (16, 8, 3, 3), (16,), (16, 8, 3, 3)))
    # Four images whose result (4 MiB) goes by streaming stores, with 70
    # output channels: edge tiles and two panels of the weight gradient.
    xs, ws = (rng.standard_normal(s).astype(np.float32) for s in ((4, 3, 64, 64), (70, 3, 3, 3)))
    weights = [rng.standard_normal(s).astype(np.float32) for s in ((8, 16, 8, 8), (8, 16, 30, 30), (8, 16, 32, 32))]

    def run():
        quarn.clear_graph()
        leaves = [Tensor(a, requires_grad=True) for a in (x, w, b, w3)]
        y = F.conv2d(*leaves[:3], stride=2, padding=1)
        z = F.conv2d(leaves[0], leaves[3], padding=1)
        terms = [F.max_pool2d(F.relu(y), 2), F.max_pool2d(z, 3, 1), F.avg_pool2d(z, 3, 1, 1)]
        loss = quarn.sum(terms[0] * Tensor(weights[0]))
        for term, wt in zip(terms[1:], weights[1:]):
            loss = loss + quarn.sum(term * Tensor(wt))
        loss.backward()
        up = F.conv_transpose2d(Tensor(y.to_numpy()), Tensor(w), stride=2, padding=1, output_padding=1)
        big = [Tensor(a, requires_grad=True) for a in (xs, ws)]
        wide = F.conv2d(*big, padding=1)
        quarn.sum(wide * wide).backward()
        return [y.to_numpy(), z.to_numpy(), up.to_numpy(), wide.to_numpy(), *[t.grad() for t in leaves + big]]
    return run


def test_results_are_the_same_bits_on_any_number_of_threads(restore_threads, rng):
    run = conv_workload(rng)
    results = {}
    for threads in (1, 2, 3):
        quarn.set_num_threads(threads)
        results[threads] = [(a.shape, a.tobytes()) for a in run()]
    assert results[2] == results[1]
    assert results[3] == results[1]
