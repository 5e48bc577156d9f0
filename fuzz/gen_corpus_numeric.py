#!/usr/bin/env python3
"""Writes seed tokens for fuzz_numeric into the directory given as argument:
realistic value and time fields, and tokens at every boundary of the
conversions (special words, exponents, long mantissas, halfway points)."""

import pathlib
import random
import sys
from fractions import Fraction


def exact_decimal(fr, digits=130):
    """Fraction with a power-of-two denominator written out in full."""
    n, d = fr.numerator, fr.denominator
    whole, rest = divmod(n, d)
    out = str(whole) + "."
    for _ in range(digits):
        if rest == 0:
            break
        rest *= 10
        q, rest = divmod(rest, d)
        out += str(q)
    return out


def tokens(rng):
    yield from [
        "-183.613",
        "1204.55",
        "16.005",
        "240.50000036",
        "3.151",
        "-3.406",
        "0.000",
        "2019",
        "365",
        "23",
        "59",
        "999",
        "007",
        "-0",
        "+0",
        "2147483647",
        "-2147483648",
        "2147483648",
        "nan",
        "-NaN",
        "inf",
        "-Infinity",
        "1e",
        "1e+",
        ".e5",
        "1.5x",
        "+.5",
        "1.",
        "0x10",
        "1e4294967296",
        "1e-99999999999",
        "3.4028235e38",
        "1e-45",
        "16777217",
        "16777217.0000000000000000001",
        "340282356779733661637539395458142568448",
        "0" * 28 + "1",
        "16777217." + "0" * 120 + "1",
    ]
    for _ in range(150):
        n = rng.randint(1, 11)
        s = "".join(rng.choice("0123456789") for _ in range(n))
        p = rng.randint(0, n)
        yield rng.choice(["", "-", "+"]) + s[:p] + "." + s[p:]
    for _ in range(60):
        m = rng.randint(1, 2**24 - 1)
        e = rng.randint(-149, 104)
        half = Fraction(2 * m + 1) * Fraction(2) ** (e - 1)
        yield exact_decimal(half)
        yield f"{float(Fraction(m) * Fraction(2) ** e):.9e}"
    for _ in range(40):
        n = rng.randint(19, 60)
        s = "".join(rng.choice("0123456789") for _ in range(n))
        yield s + "e" + str(rng.randint(-70, 50))


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for i, t in enumerate(tokens(random.Random(3))):
        (out / f"seed-{i:04d}").write_text(t)


if __name__ == "__main__":
    main()
