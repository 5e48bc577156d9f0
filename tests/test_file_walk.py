"""The header, line ends, blank lines and the physical line numbers of faults."""

import pytest

from quillrow import read_sts

from conftest import HEADER, HEADER_LINES, ROW, ROW_MS

NOT_CLOSED = "Invalid file {}: header END_OBJECT not found"
NO_ROWS = "Invalid file {}: no data rows found"


def message_of(path):
    with pytest.raises(ValueError) as info:
        read_sts(path)
    assert len(info.value.args) == 1
    return str(info.value)


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", NOT_CLOSED),
        (ROW + b"\n" + ROW + b"\n", NOT_CLOSED),  # no OBJECT line at all
        (b"OBJECT\nEND_OBJECT\n", NO_ROWS),
        (b"OBJECT\nEND_OBJECT", NO_ROWS),
        (b"OBJECT\nEND_OBJECT\n\n\r\n  \n", "Invalid file {} at line 5: missing year"),
        (b"OBJECT\nEND_OBJECT\n\n\r\n\n", NO_ROWS),
        (b"object\nend_object\n" + ROW + b"\n", NOT_CLOSED),  # keywords are case-sensitive
        (b"OBJECT\nOBJECT\nEND_OBJECT\n" + ROW + b"\n", NOT_CLOSED),  # still one block open
        (b"OBJECT\nOBJECT\nEND_OBJECT\nEND_OBJECT\n", NO_ROWS),
        (b"END_OBJECT\nOBJECT\n", NO_ROWS),  # 1 = 1 closes the header
        (b"END_OBJECT\nEND_OBJECT\nOBJECT\n" + ROW + b"\n", NOT_CLOSED),  # 1 open, 2 closed: not balanced
        (b"OBJECT\nEND_OBJECT\nEND_OBJECT\nOBJECT\n", "Invalid file {} at line 3: bad year"),
        (b"OBJECT\nEND_OBJECT = OBJECT\n", NO_ROWS),  # a line with both words counts as END_OBJECT
        (b"OBJECT\nOBJECT = END_OBJECT\n", NO_ROWS),  # ... also when OBJECT comes first in it
        (b"XOBJECTX\nEND_OBJECTS=1\n", NO_ROWS),  # no word boundaries
        (b"\r\r\n", NOT_CLOSED),
        (b"OBJECT\nEND_OBJECT\n\r\r\n", "Invalid file {} at line 3: missing year"),  # CR CR keeps one CR
        (b"OBJECT\nEND_OBJECT\nOBJECT\n", "Invalid file {} at line 3: bad year"),  # header never reopens
        (b"OBJECT\nEND_OBJECT\nEND_OBJECT\n", "Invalid file {} at line 3: bad year"),
    ],
)
def test_header_and_blank_lines(write_file, content, expected):
    path = write_file(content)
    assert message_of(path) == expected.format(path)


@pytest.mark.parametrize("line_end", [b"\n", b"\r\n"])
@pytest.mark.parametrize("final_newline", [True, False])
def test_line_ends(write_file, line_end, final_newline):
    body = line_end.join([*HEADER.splitlines(), ROW, b"", ROW])
    if final_newline:
        body += line_end
    timestamps, values = read_sts(write_file(body))
    assert timestamps.view("i8").tolist() == [ROW_MS, ROW_MS]
    assert values.shape == (2, 11)


def test_line_numbers_count_header_and_blank_lines(sts_file):
    path = sts_file(ROW, b"", b"   ", ROW, b"2024 001 12 30 15 250 Q 1 2 3")
    # header lines, then row, blank, spaces-only -> fails first at the spaces-only line
    assert message_of(path) == f"Invalid file {path} at line {HEADER_LINES + 3}: missing year"
    path = sts_file(ROW, b"", b"\r", ROW, b"2024 001 12 30 15 250 Q 1 2 3")
    assert message_of(path) == f"Invalid file {path} at line {HEADER_LINES + 5}: missing data field"


def test_path_text_is_the_callers_text(write_file, monkeypatch, tmp_path):
    write_file(b"", name="é x.sts")
    monkeypatch.chdir(tmp_path)
    assert message_of("./é x.sts") == "Invalid file ./é x.sts: header END_OBJECT not found"
