"""Whole files against an independent reference: integer arithmetic for the
timestamps, glibc's correctly rounded strtof for the values."""

import ctypes
import random

import numpy as np
import pytest

from quillrow import read_sts

from conftest import HEADER
from gen_sts import write_sts

libc = ctypes.CDLL("libc.so.6")
libc.strtof.restype = ctypes.c_float
libc.strtof.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]


def strtof_bits(token: bytes) -> int:
    return ctypes.c_uint32.from_buffer(ctypes.c_float(libc.strtof(token, None))).value


def days_from_civil(year: int, doy: int) -> int:
    y1 = year - 1
    return year * 365 + y1 // 4 - y1 // 100 + y1 // 400 + doy - 719528  # years >= 1 only


def reference(path: str):
    timestamps, values = [], []
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    opened = closed = 0
    data = False
    for line in lines:
        if not line.strip():
            continue
        if not data:
            if b"END_OBJECT" in line:
                closed += 1
            elif b"OBJECT" in line:
                opened += 1
            data = opened > 0 and opened == closed
            continue
        fields = line.split()
        y, doy, h, m, s, ms = (int(x) for x in fields[:6])
        timestamps.append(days_from_civil(y, doy) * 86_400_000 + h * 3_600_000 + m * 60_000 + s * 1000 + ms)
        values.append([strtof_bits(token) for token in fields[7:18]])
    return np.array(timestamps, dtype=np.int64), np.array(values, dtype=np.uint32)


def assert_same(path):
    timestamps, values = read_sts(path)
    expected_t, expected_v = reference(path)
    np.testing.assert_array_equal(timestamps.view(np.int64), expected_t)
    mismatch = np.nonzero(values.view(np.uint32) != expected_v)
    assert mismatch[0].size == 0, f"first differing value at row {mismatch[0][0]}, column {mismatch[1][0]}"


@pytest.mark.parametrize("values", ["fixed", "exp"])
def test_generated_file_matches_reference(tmp_path, values):
    path = str(tmp_path / "sample.sts")
    write_sts(path, rows=200_000, seed=7, start=(2020, 365, 86_000), values=values)
    assert_same(path)


def hard_token(rng: random.Random) -> bytes:
    kind = rng.randrange(6)
    sign = rng.choice(["", "-", "+"])
    if kind == 0:  # many significant digits
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(15, 60)))
        point = rng.randrange(len(digits) + 1)
        return f"{sign}{digits[:point]}.{digits[point:]}".encode()
    if kind == 1:  # exponents at the edges of the binary32 range
        return f"{sign}{rng.randrange(1, 10 ** rng.randrange(1, 12))}e{rng.randrange(-60, 45)}".encode()
    if kind == 2:  # exact halfway points between neighbouring binary32 values
        bits = rng.randrange(0x00800000, 0x7F000000)
        low = np.array([bits], dtype=np.uint32).view(np.float32)[0]
        high = np.array([bits + 1], dtype=np.uint32).view(np.float32)[0]
        from fractions import Fraction

        mid = (Fraction(float(low)) + Fraction(float(high))) / 2
        n, d = mid.numerator, mid.denominator
        k = d.bit_length() - 1  # d is a power of two: mid = n / 2^k = n * 5^k / 10^k
        text = str(n * 5**k).rjust(k + 1, "0")
        return f"{sign}{text[:-k] if k else text}.{text[-k:] if k else '0'}".encode()
    if kind == 3:  # subnormals
        return f"{sign}{rng.random():.{rng.randrange(1, 12)}f}e-{rng.randrange(38, 46)}".encode()
    if kind == 4:  # leading zeros
        return f"{sign}{'0' * rng.randrange(1, 30)}{rng.randrange(10**6)}.{rng.randrange(10**4)}".encode()
    return f"{sign}{rng.uniform(0, 1e4):.{rng.randrange(0, 9)}f}".encode()


def test_hard_tokens_match_strtof(write_file):
    rng = random.Random(20261208)
    lines = []
    for i in range(5_000):
        tokens = b" ".join(hard_token(rng) for _ in range(11))
        lines.append(b"2020 %03d 0 0 %d 0 x " % (i % 366 + 1, i % 60) + tokens + b"\n")
    assert_same(write_file(HEADER + b"".join(lines)))
