"""Data rows: fields, separators, faults left to right, and timestamps."""

import numpy as np
import pytest

from quillrow import read_sts

from conftest import HEADER_LINES, ROW, ROW_MS

LINE = HEADER_LINES + 1
TIME = b"2024 001 12 30 15 250"
VALUES = b"1 2 3 4 5 6 7 8 9 10 11"


def row_fault(sts_file, line):
    path = sts_file(line)
    with pytest.raises(ValueError) as info:
        read_sts(path)
    return str(info.value).replace(path, "{}")


@pytest.mark.parametrize(
    "line, fault",
    [
        (b"", None),  # blank: skipped, then no rows
        (b" \t ", "missing year"),
        (b"2024", "missing doy"),
        (b"x", "bad year"),
        (b"2024 1 2 3 4", "missing millisecond"),
        (b"2024 1 2 3 4 5", "missing field 7"),
        (b"2024 1 2 3 4 5 Q", "missing data field"),
        (TIME + b" Q 1 2 3 4 5 6 7 8 9 10", "missing data field"),
        (TIME + b" Q " + VALUES + b" 12", "too many fields"),
        (TIME + b" Q " + VALUES + b" x", "too many fields"),
        (b"2024 1.0 2 3 4 5 Q " + VALUES, "bad doy"),
        (b"2024 1 2 3 4 2147483648 Q " + VALUES, "bad millisecond"),
        (b"2024\x0b001 12 30 15 250 Q " + VALUES, "bad year"),  # vertical tab is not a separator
        (TIME + b" Q 1\x0b2 3 4 5 6 7 8 9 10 11", "bad data field"),
        (TIME + b" Q 1 2 3 4 5 6 7 8 9 10 1.1.1", "bad data field"),
        (TIME + b" Q 1 2 3 4 5 6 7 8 9 10 1\x00", "bad data field"),
        (b"x y", "bad year"),  # leftmost fault wins over the missing fields after it
        (b"2024 001 12 30 15 250 Q 1 2 x", "bad data field"),  # bad value before missing ones
    ],
)
def test_row_faults(sts_file, line, fault):
    message = row_fault(sts_file, line)
    if fault is None:
        assert message == "Invalid file {}: no data rows found"
    else:
        assert message == f"Invalid file {{}} at line {LINE}: {fault}"


@pytest.mark.parametrize(
    "line",
    [
        ROW,
        ROW.replace(b" ", b"\t"),
        ROW.replace(b" ", b"   "),
        b"  \t" + ROW + b" \t ",
        ROW.replace(b" ", b"\x0c"),
        ROW.replace(b" ", b" \r "),
        ROW + b"\r",
    ],
)
def test_separators(sts_file, line):
    timestamps, values = read_sts(sts_file(line))
    assert timestamps.view("i8").tolist() == [ROW_MS]
    assert values.tolist() == [[float(i) for i in range(1, 12)]]


@pytest.mark.parametrize("field7", [b"Q", b"2024-01-01T00:00:00", b"-", b"+", b"\xff\xfe", b"nan"])
def test_field_seven_is_never_read(sts_file, field7):
    timestamps, _ = read_sts(sts_file(TIME + b" " + field7 + b" " + VALUES))
    assert timestamps.view("i8").tolist() == [ROW_MS]


def test_special_and_extreme_values_pass_through(sts_file):
    line = TIME + b" Q nan -nan inf -Infinity 1e39 -1e39 1e-50 -1e-50 0.1 -0 3.4028235e38"
    _, values = read_sts(sts_file(line))
    bits = values.view(np.uint32)[0].tolist()
    assert bits == [
        0x7FC00000,
        0xFFC00000,
        0x7F800000,
        0xFF800000,
        0x7F800000,
        0xFF800000,
        0x00000000,
        0x80000000,
        0x3DCCCCCD,
        0x80000000,
        0x7F7FFFFF,
    ]


@pytest.mark.parametrize(
    "fields, expected",
    [
        ((1970, 1, 0, 0, 0, 0), 0),
        ((2000, 1, 0, 0, 0, 0), 946684800000),
        ((2024, 366, 23, 59, 59, 999), 1735689599999),
        ((1, 1, 0, 0, 0, 0), -62135596800000),
        ((0, 1, 0, 0, 0, 0), -62167132800000),
        ((2023, 0, 0, 0, 0, 0), 1672444800000),  # day 0: 31 December of the year before
        ((2023, 366, 0, 0, 0, 0), 1704067200000),  # day 366 of a common year: next 1 January
        ((2023, 400, 0, 0, 0, 0), 1707004800000),
        ((2023, 1, 24, 0, 0, 0), 1672617600000),  # hour 24: next day
        ((2023, 1, -1, 0, 0, 0), 1672527600000),
        ((2023, 1, 0, 0, 0, 5000), 1672531205000),
        ((-2147483648, 1, 0, 0, 0, 0), -140610676982400000),  # year - 1 wraps
        ((2147483647, 1, 0, 0, 0, 0), -140610708518400000),  # the day count wraps
        ((2147483647,) * 6, 52793818275150647),
        ((-2147483648,) * 6, 37069970335588352),
        ((-1, 1, 0, 0, 0, 0), -62198668800000),
        ((2021, 45, 12, 0, 0, 31), 1613304000031),
        ((1900, 60, 0, 0, 0, 0), -2203891200000),  # 1 March: century years are common years
        ((2100, 60, 0, 0, 0, 0), 4107542400000),
        ((2000, 61, 0, 0, 0, 0), 951868800000),  # ... unless divisible by 400
    ],
)
def test_timestamps(sts_file, fields, expected):
    line = b" ".join(str(f).encode() for f in fields) + b" Q " + VALUES
    timestamps, _ = read_sts(sts_file(line))
    assert timestamps.view("i8").tolist() == [expected]


def test_rows_keep_file_order_and_duplicates(sts_file):
    lines = [
        b"2024 002 0 0 0 0 Q " + VALUES,
        b"2024 001 0 0 0 0 Q " + VALUES,
        b"2024 001 0 0 0 0 Q " + VALUES,
    ]
    timestamps, _ = read_sts(sts_file(*lines))
    day = 86400000
    base = 1704067200000
    assert timestamps.view("i8").tolist() == [base + day, base, base]


def test_zero_padded_integer_fields(sts_file):
    timestamps, _ = read_sts(sts_file(b"+2024 00001 -0 +00 0000 0250 Q " + VALUES))
    assert timestamps.view("i8").tolist() == [1704067200250]
