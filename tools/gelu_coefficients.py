"""Prints the polynomials of the standard normal distribution function that
the gelu kernels use (src/engine/elementwise/wide_math.hpp), and the error
of their binary32 evaluation emulated in NumPy.

  |x| < 1.25:  P(X <= x) = 1/2 + x C(x^2), C of degree 6, fitted at the
               Chebyshev nodes in x^2;
  |x| >= 1.25: P(X <= -|x|) = e^(-x^2/2) T(m), where m maps t = 4 / (4 + |x|)
               over [4/18, 4/5.25] onto [-1, 1] (|x| up to 14: beyond it the
               exponential is zero in binary32); T of degree 9.

The references are Python's math.erfc in binary64.
"""

import math

import numpy as np
from numpy.polynomial import chebyshev as C

CUT = 1.25
FAR = 14.0
T_LO, T_HI = 4 / (4 + FAR), 4 / (4 + CUT)


def upper_tail(u):
    return 0.5 * math.erfc(u / math.sqrt(2))


def fit(xs, f, deg):
    """Chebyshev interpolation on [-1, 1], as monomial coefficients, rounded to binary32."""
    coefficients = C.cheb2poly(C.chebfit(xs, f, deg))
    return [np.float32(c) for c in coefficients]


def main():
    # Central piece, in s = x^2 mapped from [0, CUT^2] to [-1, 1] would cost a
    # step; in s itself the coefficients fall fast enough.
    s = CUT * CUT * (1 - np.cos(np.linspace(0, np.pi, 2001))) / 2 + 1e-12
    x = np.sqrt(s)
    f = np.array([(0.5 * math.erfc(-v / math.sqrt(2)) - 0.5) / v for v in x])
    central = [np.float32(c) for c in np.polynomial.polynomial.polyfit(s, f, 6)]
    m = np.cos(np.linspace(0, np.pi, 2001))
    t = T_LO + (m + 1) * (T_HI - T_LO) / 2
    u = 4 / t - 4
    g = np.array([upper_tail(v) * math.exp(v * v / 2) for v in u])
    tail = fit(m, g, 9)
    print("central:", ", ".join(float(c).hex() for c in central))
    print("tail:", ", ".join(float(c).hex() for c in tail))
    print("map: m = t * %s + %s" % (float(np.float32(2 / (T_HI - T_LO))).hex(),
                                    float(np.float32(-(T_HI + T_LO) / (T_HI - T_LO))).hex()))
    # binary32 emulation of the evaluation (separate roundings, no fused steps)
    xs = np.linspace(-14, 14, 200001).astype(np.float32)
    worst = 0.0
    for xv in xs[::7]:
        xv = np.float32(xv)
        want = 0.5 * math.erfc(-float(xv) / math.sqrt(2))
        a = abs(xv)
        if a < CUT:
            ss = xv * xv
            p = central[-1]
            for c in central[-2::-1]:
                p = np.float32(p * ss + c)
            got = np.float32(np.float32(0.5) + np.float32(xv * p))
        else:
            tt = np.float32(np.float32(4) / np.float32(np.float32(4) + a))
            mm = np.float32(tt * np.float32(2 / (T_HI - T_LO)) + np.float32(-(T_HI + T_LO) / (T_HI - T_LO)))
            p = tail[-1]
            for c in tail[-2::-1]:
                p = np.float32(p * mm + c)
            e = np.float32(math.exp(-float(xv) * float(xv) / 2))
            lower = np.float32(e * p)
            got = lower if xv < 0 else np.float32(np.float32(1) - lower)
        if want > 1e-37:
            ulp = math.ulp(np.float32(want)) if False else np.spacing(np.float32(want))
            err = abs(float(got) - want) / float(ulp)
            if err > worst:
                worst, where = err, float(xv)
    print("worst of the emulation: %.2f ulp at x = %g" % (worst, where))


if __name__ == "__main__":
    main()
