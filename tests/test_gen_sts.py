"""Properties of the benchmark file generator (tools/gen_sts.py)."""

import datetime
import itertools
import struct
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"
sys.path.insert(0, str(TOOLS))

import gen_sts  # noqa: E402


def split_file(path):
    """(header lines, data lines) by the OBJECT / END_OBJECT balance rule."""
    lines = Path(path).read_bytes().split(b"\n")
    opened = closed = 0
    for number, line in enumerate(lines):
        if b"END_OBJECT" in line:
            closed += 1
        elif b"OBJECT" in line:
            opened += 1
        if opened and opened == closed:
            return lines[: number + 1], [x for x in lines[number + 1 :] if x]
    pytest.fail("header never closes")


def row_time(fields):
    year, doy, hour, minute, second, ms = (int(f) for f in fields[:6])
    return datetime.datetime(year, 1, 1) + datetime.timedelta(
        days=doy - 1, hours=hour, minutes=minute, seconds=second, milliseconds=ms
    )


def nearest_binary32(value: Fraction) -> int:
    """Bits of the correctly rounded binary32 of an exact decimal."""

    def bits(x):
        return struct.unpack("<I", struct.pack("<f", x))[0]

    def from_bits(b):
        return struct.unpack("<f", struct.pack("<I", b))[0]

    guess = bits(float(value))  # within one binary32 step of the answer
    best = None
    for cand in (guess - 1, guess, guess + 1):
        f = Fraction(from_bits(cand))
        key = (abs(f - value), cand & 1)  # ties go to the even pattern
        if best is None or key < best[0]:
            best = (key, cand)
    return best[1]


@pytest.mark.parametrize(
    "token, bits",
    [
        ("0.1", 0x3DCCCCCD),
        ("-183.613", 0xC3379CEE),
        ("16777217", 0x4B800000),  # tie between two floats: the even one
        ("16777219", 0x4B800002),  # tie: rounds up to the even one
        # just above a midpoint by less than half a double ulp: the double
        # route lands on the midpoint and ties down, exact rounding goes up
        ("1.00000005960464477550", 0x3F800001),
    ],
)
def test_exact_rounding_reference(token, bits):
    assert nearest_binary32(Fraction(token)) == bits


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("gen") / "sample.sts"
    gen_sts.write_sts(str(path), rows=20_000, seed=7)
    return path


def test_header_closes_on_last_header_line(sample):
    header, data = split_file(sample)
    assert header[-1].startswith(b"END_OBJECT")
    assert len(data) == 20_000
    # The header has nested blocks, and no data line mentions a keyword.
    depth = max_depth = 0
    for line in header:
        depth += (b"OBJECT" in line) - 2 * (b"END_OBJECT" in line)
        max_depth = max(max_depth, depth)
    assert max_depth >= 3
    assert not any(b"OBJECT" in line for line in data)


def test_rows_have_eighteen_fields_and_decimal_day(sample):
    _, data = split_file(sample)
    for line in data:
        fields = line.split()
        assert len(fields) == 18, line
        assert [len(f) for f in fields[1:6]] == [3, 2, 2, 2, 3], line
        t = row_time(fields)
        seconds = (t - datetime.datetime(t.year, 1, 1)).total_seconds()
        integer, _, fraction = fields[6].partition(b".")
        assert integer == fields[1] and len(fraction) == 8, line
        assert abs(float(fields[6]) - 1 - seconds / 86400) < 1e-8, line
        for token in fields[7:]:
            # the bound under which double rounding cannot bite
            integer, _, fraction = token.lstrip(b"-").partition(b".")
            assert len(fraction) <= 8 and abs(float(token)) < 2**25, token


def test_average_row_length(sample):
    _, data = split_file(sample)
    mean = sum(len(line) + 1 for line in data) / len(data)
    assert 122.0 <= mean <= 128.0


@pytest.mark.parametrize(
    "start, expected",
    [
        # leap year: day 366 exists, then the next year starts at day 001
        (
            "2020-366T23:59:58",
            [b"2020 366 23 59 58", b"2020 366 23 59 59", b"2021 001 00 00 00", b"2021 001 00 00 01"],
        ),
        # common year: day 365 is the last
        (
            "2021-365T23:59:59",
            [b"2021 365 23 59 59", b"2022 001 00 00 00", b"2022 001 00 00 01", b"2022 001 00 00 02"],
        ),
        # hour and minute carries inside a day
        (
            "2020-059T10:59:59",
            [b"2020 059 10 59 59", b"2020 059 11 00 00", b"2020 059 11 00 01", b"2020 059 11 00 02"],
        ),
        (
            "2021-100T23:59:59",
            [b"2021 100 23 59 59", b"2021 101 00 00 00", b"2021 101 00 00 01", b"2021 101 00 00 02"],
        ),
    ],
)
def test_time_fields_carry_across_boundaries(tmp_path, start, expected):
    path = tmp_path / "edge.sts"
    gen_sts.write_sts(str(path), rows=4, seed=1, start=start, millisecond=31)
    _, data = split_file(path)
    assert [line[:17] for line in data] == expected
    assert all(line.split()[5] == b"031" for line in data)


def test_one_second_cadence_over_several_days(tmp_path):
    path = tmp_path / "days.sts"
    gen_sts.write_sts(str(path), rows=3 * 86400 + 5, seed=2, start="2020-365T00:00:00")
    _, data = split_file(path)
    times = [row_time(line.split()) for line in data]
    assert all(b - a == datetime.timedelta(seconds=1) for a, b in itertools.pairwise(times))
    assert data[-1].startswith(b"2021 002 00 00 04")


def test_seeded_output_is_deterministic(tmp_path):
    a, b, c = (tmp_path / n for n in ("a.sts", "b.sts", "c.sts"))
    gen_sts.write_sts(str(a), rows=3000, seed=11)
    subprocess.run(
        [sys.executable, str(TOOLS / "gen_sts.py"), str(b), "--rows", "3000", "--seed", "11"], check=True
    )
    gen_sts.write_sts(str(c), rows=3000, seed=12)
    assert a.read_bytes() == b.read_bytes()
    assert a.read_bytes() != c.read_bytes()


def test_values_round_the_same_through_binary64(sample):
    """Parsing via double then casting must give the correctly rounded float.

    Exact rational arithmetic decides the correctly rounded binary32; the
    double route is what numpy.loadtxt and pandas take.
    """
    _, data = split_file(sample)
    seen = 0
    for line in data[::7]:
        for token in line.split()[7:]:
            if float(token) == 0:
                continue  # zeros are exact on either route
            exact = nearest_binary32(Fraction(token.decode()))
            via_double = struct.unpack("<I", struct.pack("<f", float(token)))[0]
            assert via_double == exact, token
            seen += 1
    assert seen > 30_000


@pytest.mark.parametrize(
    "args",
    [
        ["--rows", "-1"],
        ["--rows", "3", "--start", "2021-366T00:00:00"],
        ["--rows", "3", "--millisecond", "1000"],
    ],
)
def test_rejects_bad_arguments(tmp_path, args):
    result = subprocess.run(
        [sys.executable, str(TOOLS / "gen_sts.py"), str(tmp_path / "x.sts"), *args], capture_output=True
    )
    assert result.returncode != 0


def test_exponent_form_values_keep_the_double_rounding_bound(tmp_path):
    path = tmp_path / "exp.sts"
    gen_sts.write_sts(str(path), rows=3000, seed=5, values="exp")
    _, data = split_file(path)
    digits = set()
    for line in data:
        fields = line.split()
        assert len(fields) == 18, line
        for token in fields[7:]:
            mantissa, e, exponent = token.lstrip(b"-").partition(b"e")
            assert e and mantissa[1:2] == b"." and exponent[:1] in b"+-" and len(exponent) == 3, token
            digits.add(len(mantissa) - 1)
            value = Fraction(token.decode())
            assert (value * 10**8).denominator == 1 and abs(value) < 2**25, token
            if value:
                exact = nearest_binary32(value)
                assert struct.unpack("<I", struct.pack("<f", float(token)))[0] == exact, token
    assert digits == {9, 10}  # both %.8e and %.9e occur
