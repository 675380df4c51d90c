"""Half-precision arithmetic, bit for bit, on every one of the 65,536 patterns
of float16 and of bfloat16.

Every operation widens to binary32, computes, and rounds back to nearest-even,
which is exactly what NumPy's float16 and ml_dtypes' bfloat16 do, so finite and
infinite results must match them bit for bit. NaN results are checked by our
own rule instead: the result is quiet, keeps the sign and top fraction bits of
the NaN operand (or of the hardware's default NaN when the operation made
one), which NumPy and ml_dtypes do not promise.
"""

import ml_dtypes
import numpy as np
import pytest

from quarn_core import Tensor

FORMATS = {
    "float16": dict(np_type=np.float16, inf=0x7C00, quiet=0x0200),
    "bfloat16": dict(np_type=ml_dtypes.bfloat16, inf=0x7F80, quiet=0x0040),
}
ALL_BITS = np.arange(65536, dtype=np.uint16)


@pytest.fixture(params=list(FORMATS))
def fmt(request):
    return request.param


def tensor_of(bits, fmt):
    return Tensor(bits.view(FORMATS[fmt]["np_type"]), dtype=fmt)


def bits_of(tensor):
    out = tensor.to_numpy()
    assert out.dtype == np.uint16 or out.itemsize == 2
    return np.ascontiguousarray(out).view(np.uint16)


def is_nan(bits, fmt):
    return (bits & 0x7FFF) > FORMATS[fmt]["inf"]


def default_nans(fmt):
    """The NaN an invalid operation produces on x86 (negative, quiet, no
    payload), rounded by our rule, and its positive twin."""
    q = FORMATS[fmt]["inf"] | FORMATS[fmt]["quiet"]
    return {q, q | 0x8000}


def assert_bits(got, expected_values, operands, fmt):
    """`expected_values`: the reference result as an array of the format.

    Non-NaN results must be identical patterns. A NaN result must be the
    quieted pattern of one NaN operand, or a default NaN when no operand was
    NaN."""
    shape = np.broadcast(*operands).shape
    operands = [np.broadcast_to(op, shape).ravel() for op in operands]
    got = np.asarray(got).ravel()
    want = np.asarray(expected_values).view(np.uint16).ravel()
    assert got.shape == want.shape
    quiet = FORMATS[fmt]["quiet"]
    want_nan = is_nan(want, fmt)
    mismatch = ~want_nan & (got != want)
    assert not mismatch.any(), (
        f"{mismatch.sum()} results differ, first operands "
        f"{[hex(int(o[mismatch][0])) for o in operands]}: "
        f"got {hex(int(got[mismatch][0]))}, want {hex(int(want[mismatch][0]))}"
    )
    assert is_nan(got[want_nan], fmt).all()
    allowed_any = np.zeros(want.shape, dtype=bool)
    nan_operand = np.zeros(want.shape, dtype=bool)
    for op in operands:
        op_nan = is_nan(op, fmt)
        nan_operand |= op_nan
        allowed_any |= op_nan & (got == (op | quiet))
    made = ~nan_operand & np.isin(got, list(default_nans(fmt)))
    assert (allowed_any | made)[want_nan].all()


def reference(fmt, op, a_bits, b_bits):
    np_type = FORMATS[fmt]["np_type"]
    a = a_bits.view(np_type)
    b = b_bits.view(np_type)
    with np.errstate(all="ignore"):
        return op(a, b).astype(np_type)


OPERATIONS = {
    "add": lambda x, y: x + y,
    "sub": lambda x, y: x - y,
    "mul": lambda x, y: x * y,
    "div": lambda x, y: x / y,
}


def partner_patterns(seed):
    """Second operands for every pattern: reversed, shifted by amounts that
    align exponents differently, and a random permutation."""
    rng = np.random.default_rng(seed)
    return {
        "reversed": ALL_BITS[::-1].copy(),
        "roll1": np.roll(ALL_BITS, 1),
        "roll1024": np.roll(ALL_BITS, 1024),
        "roll12345": np.roll(ALL_BITS, 12345),
        "permuted": rng.permutation(ALL_BITS),
    }


@pytest.mark.parametrize("op", list(OPERATIONS))
@pytest.mark.parametrize("partner", list(partner_patterns(0)))
def test_tensor_tensor_every_pattern(fmt, op, partner):
    b_bits = partner_patterns(0)[partner]
    got = bits_of(OPERATIONS[op](tensor_of(ALL_BITS, fmt), tensor_of(b_bits, fmt)))
    assert_bits(got, reference(fmt, OPERATIONS[op], ALL_BITS, b_bits), [ALL_BITS, b_bits], fmt)


# Second operands broadcast against every pattern. 0.5 and 1.5 turn odd
# subnormals and many normals into exact ties; 3, 7 and 10 give quotients
# right next to the rounding boundaries.
BROADCAST_VALUES = [1.0, 0.5, 1.5, 3.0, 7.0, 10.0, -0.0, 2.0**-24, 65504.0]


@pytest.mark.parametrize("op", list(OPERATIONS))
@pytest.mark.parametrize("value", BROADCAST_VALUES)
def test_every_pattern_against_a_broadcast_value(fmt, op, value):
    np_type = FORMATS[fmt]["np_type"]
    b_bits = np.array([value], dtype=np_type).view(np.uint16)
    got = bits_of(OPERATIONS[op](tensor_of(ALL_BITS, fmt), tensor_of(b_bits, fmt)))
    assert_bits(got, reference(fmt, OPERATIONS[op], ALL_BITS, b_bits), [ALL_BITS, b_bits], fmt)
    # The same value on the left.
    got = bits_of(OPERATIONS[op](tensor_of(b_bits, fmt), tensor_of(ALL_BITS, fmt)))
    assert_bits(got, reference(fmt, OPERATIONS[op], b_bits, ALL_BITS), [b_bits, ALL_BITS], fmt)


def rounded_scalar(fmt, number):
    """The number as the engine sees it: narrowed to binary32, then rounded to
    the tensor's format."""
    with np.errstate(over="ignore"):
        return np.array([np.float32(number)], dtype=FORMATS[fmt]["np_type"]).view(np.uint16)


SCALAR_OPERATIONS = {
    "t * s": (lambda t, s: t * s, lambda x, y: x * y, False),
    "t + s": (lambda t, s: t + s, lambda x, y: x + y, False),
    "t - s": (lambda t, s: t - s, lambda x, y: x - y, False),
    "s / t": (lambda t, s: s / t, lambda x, y: y / x, True),
}


@pytest.mark.parametrize("op", list(SCALAR_OPERATIONS))
@pytest.mark.parametrize("number", [1.0, 0.1, -3.0, 2.0, 1e-6, 70000.0, 1e300])
def test_scalar_operations_every_pattern(fmt, op, number):
    apply, ref, scalar_first = SCALAR_OPERATIONS[op]
    s_bits = rounded_scalar(fmt, number)
    got = bits_of(apply(tensor_of(ALL_BITS, fmt), number))
    want = reference(fmt, ref, ALL_BITS, s_bits)
    assert_bits(got, want, [ALL_BITS, s_bits], fmt)


def test_times_one_is_identity_and_quiets_nans(fmt):
    got = bits_of(tensor_of(ALL_BITS, fmt) * 1.0)
    quiet = FORMATS[fmt]["quiet"]
    expected = np.where(is_nan(ALL_BITS, fmt), ALL_BITS | quiet, ALL_BITS)
    np.testing.assert_array_equal(got, expected)


def test_odd_lengths_and_strides_match_the_long_run(fmt):
    # The vector loops have tails; strided reads take another path. Every
    # slice must give the same bits as the full contiguous run.
    rng = np.random.default_rng(1)
    a_bits = rng.permutation(ALL_BITS)[:4099]
    b_bits = rng.permutation(ALL_BITS)[:4099]
    full = bits_of(tensor_of(a_bits, fmt) * tensor_of(b_bits, fmt))
    for n in [1, 7, 9, 15, 17, 513, 1025]:
        part = bits_of(tensor_of(a_bits[:n], fmt) * tensor_of(b_bits[:n], fmt))
        assert_bits(part, full[:n].view(FORMATS[fmt]["np_type"]), [a_bits[:n], b_bits[:n]], fmt)
    # Column-major reads of a transposed operand.
    a2 = tensor_of(a_bits[:4096].reshape(64, 64), fmt).transpose(0, 1)
    b2 = tensor_of(b_bits[:4096].reshape(64, 64), fmt)
    got = bits_of(a2 * b2)
    want = reference(fmt, OPERATIONS["mul"], a_bits[:4096].reshape(64, 64).T, b_bits[:4096].reshape(64, 64))
    assert_bits(got.ravel(), want, [a_bits[:4096].reshape(64, 64).T, b_bits[:4096].reshape(64, 64)], fmt)


# --- named cases ------------------------------------------------------------


def test_f16_overflow_tie_goes_to_infinity():
    got = Tensor([65504.0], dtype="float16") + Tensor([16.0], dtype="float16")
    assert got.to_numpy()[0] == np.inf


def test_f16_largest_finite_survives_just_below_the_tie():
    got = Tensor([65504.0], dtype="float16") + Tensor([8.0], dtype="float16")
    assert got.to_numpy()[0] == np.float16(65504.0)


def test_bf16_one_plus_half_ulp_ties_to_one():
    got = Tensor([1.0], dtype="bfloat16") + Tensor([0.00390625], dtype="bfloat16")
    assert got.to_numpy().astype(np.float32)[0] == 1.0


def test_f16_scalar_is_rounded_to_f16_first():
    got = Tensor([0.0], dtype="float16") + 0.1
    assert got.to_numpy().astype(np.float64)[0] == 0.0999755859375


def test_f16_scalar_beyond_range_becomes_infinity():
    got = Tensor([1.0, -1.0, 0.0], dtype="float16") * 70000.0
    values = got.to_numpy().astype(np.float64)
    assert values[0] == np.inf and values[1] == -np.inf and np.isnan(values[2])


def test_subnormal_halving_ties_to_even():
    # 3 * 2^-24 halved is 1.5 * 2^-24: a tie, rounded to the even 2 * 2^-24;
    # 2^-24 halved is exactly 2^-25: a tie, rounded to the even zero.
    t = Tensor(np.array([3, 1, 5], dtype=np.uint16).view(np.float16), dtype="float16")
    got = bits_of(t * 0.5)
    np.testing.assert_array_equal(got, [2, 0, 2])
