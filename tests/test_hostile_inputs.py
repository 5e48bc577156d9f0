"""Files and paths made to break a reader: each call ends with its own
exception or result, and leaves no descriptor and no mapping behind.  (A FIFO
is never opened here: opening one blocks until a writer comes.)"""

import gc
import mmap
import os
import random
import re

import pytest

from quillrow import read_sts

from conftest import HEADER, HEADER_LINES, ROW, ROW_MS, resource_counts

NOT_CLOSED = "Invalid file {}: header END_OBJECT not found"
NO_ROWS = "Invalid file {}: no data rows found"
AT_LINE = re.compile(
    r"Invalid file (.*) at line (\d+): (missing (year|doy|hour|minute|second|millisecond|field 7|data field)"
    r"|bad (year|doy|hour|minute|second|millisecond|data field)|too many fields)"
)


@pytest.fixture(scope="module", autouse=True)
def numpy_in_place(tmp_path_factory):
    """NumPy and the one-time objects exist before anything is counted."""
    path = tmp_path_factory.mktemp("warm") / "warm.sts"
    path.write_bytes(HEADER + ROW + b"\n")
    read_sts(str(path))


@pytest.fixture(autouse=True)
def nothing_left_behind():
    gc.collect()
    before = resource_counts()
    yield
    gc.collect()
    assert resource_counts() == before


def message_of(path):
    with pytest.raises(ValueError) as info:
        read_sts(path)
    assert len(info.value.args) == 1
    return info.value.args[0]


def fields_with(index, text):
    fields = ROW.split(b" ")
    fields[index] = text
    return b" ".join(fields)


@pytest.mark.parametrize("seed", range(12))
def test_random_bytes(write_file, seed):
    rng = random.Random(seed)
    noise = rng.randbytes(rng.randrange(0, 1 << 16))
    path = write_file(noise)
    assert message_of(path) == NOT_CLOSED.format(path)  # no OBJECT line, so no header end
    # After a closed header, the noise is read as rows and fails on one of them.
    path = write_file(HEADER + noise)
    match = AT_LINE.fullmatch(message_of(path))
    assert match and match.group(1) == path
    assert HEADER_LINES < int(match.group(2)) <= HEADER_LINES + noise.count(b"\n") + 1


@pytest.mark.parametrize(
    "row, outcome",
    [
        (fields_with(0, b"2024\x00"), "bad year"),
        (fields_with(5, b"\x00"), "bad millisecond"),
        (fields_with(6, b"\x00\x00"), None),  # field 7 is never read
        (fields_with(9, b"3\x00"), "bad data field"),
        (ROW.replace(b" ", b"\x00"), "bad year"),  # NUL separates nothing
        (ROW + b" \x00", "too many fields"),
        (b"\x00" + ROW, "bad year"),
    ],
)
def test_nul_bytes_inside_rows(sts_file, row, outcome):
    path = sts_file(ROW, row)
    if outcome is None:
        timestamps, _ = read_sts(path)
        assert timestamps.view("i8").tolist() == [ROW_MS, ROW_MS]
    else:
        assert message_of(path) == f"Invalid file {path} at line {HEADER_LINES + 2}: {outcome}"


def page_filling(prefix: bytes, head: bytes, digit: bytes, tail: bytes, size: int) -> bytes:
    """prefix + head + digits + tail, exactly `size` bytes long."""
    fill = size - len(prefix) - len(head) - len(tail)
    assert fill > 0
    return prefix + head + digit * fill + tail


@pytest.mark.parametrize("pages", [1, 2])
@pytest.mark.parametrize(
    "last_field, head, digit, tail, outcome",
    [
        (17, b"1.", b"0", b"", 1.0),  # a long number ending the file: read exactly
        (17, b"0.", b"0", b"1", 0.0),  # underflows after thousands of zeros
        (17, b"1", b"0", b"", float("inf")),  # overflows
        (17, b"1.", b"0", b"e", "bad data field"),  # exponent with no digit, on the last byte
        (5, b"", b"9", b"", "bad millisecond"),  # out of the 32-bit range
    ],
)
def test_last_line_without_lf_ending_at_a_page_boundary(
    write_file, pages, last_field, head, digit, tail, outcome
):
    prefix = HEADER + ROW + b"\n" + b" ".join(ROW.split(b" ")[:last_field]) + b" "
    content = page_filling(prefix, head, digit, tail, pages * mmap.PAGESIZE)
    path = write_file(content)
    assert os.path.getsize(path) % mmap.PAGESIZE == 0 and not content.endswith(b"\n")
    if isinstance(outcome, str):
        assert message_of(path) == f"Invalid file {path} at line {HEADER_LINES + 2}: {outcome}"
    else:
        _, values = read_sts(path)
        assert values.shape == (2, 11)
        assert values[1, 10] == outcome


TEN_MB = 10 << 20


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: b"7" * TEN_MB, NOT_CLOSED),  # one line, no header
        (lambda: HEADER + b"7" * TEN_MB, f"at line {HEADER_LINES + 1}: bad year"),
        (lambda: HEADER + b" " * TEN_MB + b"\n", f"at line {HEADER_LINES + 1}: missing year"),
        (lambda: HEADER + ROW + b"\t" * TEN_MB + b"x\n", f"at line {HEADER_LINES + 1}: too many fields"),
        (lambda: HEADER + fields_with(6, b"Q" * TEN_MB) + b"\n", None),  # a huge field 7 is fine
        (lambda: HEADER + fields_with(17, b"1" + b"0" * TEN_MB), float("inf")),
        (lambda: HEADER + fields_with(17, b"0." + b"0" * TEN_MB + b"1"), 0.0),
        (lambda: HEADER + fields_with(17, b"11." + b"0" * TEN_MB), 11.0),
    ],
    ids=["no-header", "year", "blanks", "after-row", "field-7", "overflow", "underflow", "trailing-zeros"],
)
def test_ten_megabyte_line(write_file, make, expected):
    path = write_file(make())
    if expected is None or isinstance(expected, float):
        timestamps, values = read_sts(path)
        assert timestamps.view("i8").tolist() == [ROW_MS]
        assert values[0, 10] == (11.0 if expected is None else expected)
    elif expected == NOT_CLOSED:
        assert message_of(path) == NOT_CLOSED.format(path)
    else:
        assert message_of(path) == f"Invalid file {path} {expected}"


def test_header_of_a_million_object_lines(write_file):
    opened = b"OBJECT = X\n" * 1_000_000
    path = write_file(opened + ROW + b"\n")
    assert message_of(path) == NOT_CLOSED.format(path)
    # Closed by a million END_OBJECT lines: the rows after them count from there.
    path = write_file(opened + b"END_OBJECT = X\n" * 1_000_000 + ROW + b"\nx\n")
    assert message_of(path) == f"Invalid file {path} at line 2000002: bad year"


@pytest.mark.parametrize("blank", [b"\n", b"\r\n", b"\r\n\n"])
def test_only_blank_lines(write_file, blank):
    path = write_file(blank * 100_000)
    assert message_of(path) == NOT_CLOSED.format(path)
    path = write_file(HEADER + blank * 100_000)
    assert message_of(path) == NO_ROWS.format(path)


def test_path_of_four_thousand_bytes(tmp_path):
    # Nested directories of 250-byte names: every component is legal.
    directory = tmp_path
    while len(str(directory)) < 4000 - 260:
        directory = directory / ("d" * 250)
    directory.mkdir(parents=True)
    name = "f" * (4000 - len(str(directory)) - 1)
    path = str(directory / name)
    assert len(path.encode()) == 4000
    with pytest.raises(FileNotFoundError) as info:
        read_sts(path)
    assert str(info.value) == "No such file or directory (os error 2)"

    with open(path, "wb") as file:
        file.write(HEADER + ROW + b"\nx\n")
    assert message_of(path) == f"Invalid file {path} at line {HEADER_LINES + 2}: bad year"
    with open(path, "wb") as file:
        file.write(HEADER + ROW + b"\n")
    timestamps, _ = read_sts(path)
    assert timestamps.view("i8").tolist() == [ROW_MS]

    with pytest.raises(OSError) as info:
        read_sts(path + "\0")
    assert str(info.value) == "file name contained an unexpected NUL byte"
    with pytest.raises(OSError) as info:
        read_sts(str(tmp_path / ("n" * 4000)))  # one component beyond NAME_MAX
    assert type(info.value) is OSError
    assert str(info.value) == f"{os.strerror(36)} (os error 36)"


@pytest.mark.parametrize("text", ["\udcff.sts", "\ud800", "ok/\udfff/f.sts"])
def test_path_without_utf8_form(tmp_path, monkeypatch, text):
    # The file exists under the bytes that the surrogate escapes stand for,
    # but the path text has no UTF-8 form.
    (tmp_path / "ok").mkdir()
    if text == "\udcff.sts":
        with open(os.path.join(os.fsencode(tmp_path), b"\xff.sts"), "wb") as file:
            file.write(HEADER + ROW + b"\n")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(UnicodeEncodeError) as info:
        read_sts(text)
    assert info.value.encoding == "utf-8"
    assert info.value.object == text
