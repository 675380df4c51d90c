"""Prints the leading fraction bits of 2/pi in 32-bit words, as the sine and
cosine kernels' reduction of large arguments reads them
(src/engine/elementwise/wide_math.hpp). pi comes from Machin's formula in
integer arithmetic with a thousand guard bits, so nothing here depends on a
floating-point library."""

WORDS = 12
GUARD = 1000


def arctan_inverse(x, bits):
    """arctan(1 / x) times 2^bits, as an integer (rounded down term by term)."""
    total, term, n, sign = 0, (1 << bits) // x, 1, 1
    while term:
        total += sign * (term // n)
        term //= x * x
        n += 2
        sign = -sign
    return total


def main():
    bits = 32 * WORDS + GUARD
    pi = 4 * (4 * arctan_inverse(5, bits) - arctan_inverse(239, bits))
    two_over_pi = (2 << (2 * bits)) // pi
    words = [(two_over_pi >> (bits - 32 * (i + 1))) & 0xFFFFFFFF for i in range(WORDS)]
    for i in range(0, WORDS, 6):
        print("    " + ", ".join("0x%08Xu" % w for w in words[i:i + 6]) + ",")


if __name__ == "__main__":
    main()
