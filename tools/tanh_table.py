"""Coefficients of the table-driven tanh in src/engine/elementwise/vec_math.hpp.

For |x| in [0.625, 10) the binary32 tanh looks up one of 32 intervals by the
top bits of x (exponent and three leading fraction bits: each octave split
in eight) and evaluates a degree-5 polynomial in t = x - (interval centre).
The polynomial interpolates tanh at the Chebyshev nodes of the interval,
computed here in 60-digit arithmetic; c1..c5 are rounded to binary32 and
the constant term is kept as a head and a tail, so that its rounding does
not add half an ulp to the result.

Prints the C++ arrays, then the worst error over a dense sample of every
interval with the evaluation emulated in binary32 (the native accuracy test
checks the real thing).

Run:  python tools/tanh_table.py
"""

import mpmath
import numpy as np

mpmath.mp.dps = 60
DEGREE = 5


def intervals():
    # (exponent, three fraction bits) from 0.625 = 2^-1 * 1.25 up to 10.
    for e in range(-1, 4):
        for m in range(8):
            lo = mpmath.mpf(2) ** e * (1 + mpmath.mpf(m) / 8)
            if lo < 0.625 or lo >= 10:
                continue
            yield lo, mpmath.mpf(2) ** e / 8


def fit(lo, w):
    h = w / 2
    c = lo + h
    nodes = [h * mpmath.cos((2 * k + 1) * mpmath.pi / (2 * (DEGREE + 1))) for k in range(DEGREE + 1)]
    a = mpmath.matrix([[t ** j for j in range(DEGREE + 1)] for t in nodes])
    b = mpmath.matrix([mpmath.tanh(c + t) for t in nodes])
    return c, h, mpmath.lu_solve(a, b)


def hexf(v):
    """A binary32 value as a C++ hexadecimal literal, without trailing zeros."""
    mant, exp = float(v).hex().split("p")
    if "." in mant:
        mant = mant.rstrip("0").rstrip(".")
    return f"{mant}p{exp}f"


def f32(x):
    return np.float32(float(x))


def main():
    table = []
    for lo, w in intervals():
        c, h, coef = fit(lo, w)
        head = f32(coef[0])
        tail = f32(coef[0] - mpmath.mpf(float(head)))
        table.append((c, h, head, tail, [f32(coef[j]) for j in range(1, DEGREE + 1)]))
    assert len(table) == 32
    # The table is indexed by the low five bits of (bits of x) >> 20; the
    # first interval's index is 1010 % 32 = 18.
    names = ["c0_hi", "c0_lo"] + [f"c{j}" for j in range(1, DEGREE + 1)]
    columns = [[row[2] for row in table], [row[3] for row in table]] + \
              [[row[4][j] for row in table] for j in range(DEGREE)]
    for name, col in zip(names, columns):
        by_index = [None] * 32
        for i, v in enumerate(col):
            by_index[(i + 18) % 32] = v
        cells = [hexf(v) for v in by_index]
        lines = [", ".join(cells[i:i + 6]) for i in range(0, 32, 6)]
        print(f"    // {name}")
        print("    {" + (",\n     ").join(lines) + "},")
    worst = 0.0
    for c, h, head, tail, cs in table:
        ts = np.linspace(-float(h), float(h), 2001)
        for t in ts:
            x = np.float32(float(c) + t)
            tt = np.float64(x) - float(c)
            q = np.float64(cs[-1])
            for cj in reversed(cs[:-1]):
                q = np.float64(np.float32(q * tt + np.float64(cj)))
            s = np.float32(q * tt + np.float64(tail))
            r = np.float32(np.float64(s) + np.float64(head))
            ref = mpmath.tanh(mpmath.mpf(float(x)))
            ulp = np.spacing(np.float32(float(ref)))
            worst = max(worst, abs(float(r) - float(ref)) / float(ulp))
    print(f"// worst emulated error {worst:.3f} ulp")


if __name__ == "__main__":
    main()
