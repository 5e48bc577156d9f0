"""The quillrow-info command installed with the distribution."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import HEADER_LINES

COMMAND = Path(sys.executable).parent / "quillrow-info"


# 2024-001 00:00:00.000 + offset seconds; the values 1..11 with some NaNs.
def row(offset_s: int, nan_columns: tuple[int, ...] = ()) -> bytes:
    values = [b"nan" if i in nan_columns else str(i + 1).encode() for i in range(11)]
    m, s = divmod(offset_s, 60)
    return b"2024 001 00 %02d %02d 000 Q " % (m, s) + b" ".join(values)


def run(*args: str) -> subprocess.CompletedProcess:
    assert COMMAND.exists(), f"{COMMAND} is not installed: the distribution's console script is missing"
    return subprocess.run([str(COMMAND), *args], capture_output=True, text=True, timeout=60)


@pytest.fixture
def irregular(sts_file):
    # Intervals 1, 1, 1, 5 s: median 1 s (the mean would be 2 s), span 8 s;
    # NaNs in columns 2 (twice) and 10.
    return sts_file(row(0), row(1, (2,)), row(2), row(3, (2, 10)), row(8))


def test_text_report(irregular):
    out = run(irregular)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    lines = out.stdout.splitlines()
    assert lines[0] == irregular
    fields = {line.split()[0]: line.split(None, 1)[1] for line in lines[1:]}
    assert fields["rows"] == "5"
    assert fields["span"] == "2024-01-01T00:00:00.000 .. 2024-01-01T00:00:08.000 (00:00:08.000)"
    assert fields["cadence"] == "1 s (median interval)"
    assert fields["NaN"] == "0 0 2 0 0 0 0 0 0 0 1"
    assert "MB/s" in fields["read"]


def test_json_report(irregular, sts_file):
    single = sts_file(row(0, tuple(range(11))))
    out = run("--json", irregular, single)
    assert out.returncode == 0, out.stderr
    first, second = json.loads(out.stdout)
    assert first["file"] == irregular
    assert (first["rows"], first["span_s"], first["cadence_s"]) == (5, 8.0, 1.0)
    assert (first["first"], first["last"]) == ("2024-01-01T00:00:00.000", "2024-01-01T00:00:08.000")
    assert first["nan_counts"] == [0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1]
    assert first["bytes"] == Path(irregular).stat().st_size
    assert first["read_s"] > 0 and first["mb_per_s"] > 0
    # One row: no interval, so no cadence; every column NaN.
    assert (second["rows"], second["span_s"], second["cadence_s"]) == (1, 0.0, None)
    assert second["nan_counts"] == [1] * 11


@pytest.mark.parametrize("as_json", [False, True])
def test_bad_files_give_one_line_each_and_exit_1(irregular, sts_file, tmp_path, as_json):
    bad_row = sts_file(row(0), b"2024 0x1 00 00 01 000 Q 1 2 3 4 5 6 7 8 9 10 11")
    no_header_end = sts_file(header=b"OBJECT = FILE\n")
    missing = str(tmp_path / "absent.sts")
    out = run(*(["--json"] if as_json else []), bad_row, irregular, no_header_end, missing)
    assert out.returncode == 1
    expected = [
        f"quillrow-info: Invalid file {bad_row} at line {HEADER_LINES + 2}: bad doy",
        f"quillrow-info: Invalid file {no_header_end}: header END_OBJECT not found",
        f"quillrow-info: {missing}: No such file or directory (os error 2)",
    ]
    assert out.stderr.splitlines() == expected
    # The good file between them is still reported.
    if as_json:
        reports = json.loads(out.stdout)
        assert [r["file"] for r in reports] == [bad_row, irregular, no_header_end, missing]
        assert reports[1]["rows"] == 5
        assert [r.get("error") for r in reports] == [
            expected[0].removeprefix("quillrow-info: "),
            None,
            expected[1].removeprefix("quillrow-info: "),
            expected[2].removeprefix("quillrow-info: "),
        ]
    else:
        assert out.stdout.splitlines()[0] == irregular


def test_progress_bar_over_many_files(irregular):
    pytest.importorskip("tqdm")
    paths = [irregular] * 5
    # Not a terminal: no bar unless asked for, so that piped output stays clean.
    assert run(*paths).stderr == ""
    out = run("--progress", "always", *paths)
    assert out.returncode == 0
    assert "/5 [" in out.stderr and "file" in out.stderr
    assert out.stdout.count(f"{irregular}\n") == 5
    assert run("--progress", "never", *paths).stderr == ""


# The same command under its two names: quillrow-info, and quillrow info.
COMMANDS = {"quillrow-info": [str(COMMAND)], "quillrow info": [str(COMMAND.parent / "quillrow"), "info"]}


@pytest.mark.parametrize("name", COMMANDS)
def test_a_directory_is_named_as_one(irregular, tmp_path, name):
    out = subprocess.run(
        [*COMMANDS[name], str(tmp_path), irregular], capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 1
    assert out.stderr.splitlines() == [f"{name}: {tmp_path}: Is a directory"]
    # The file after it is still reported, as the other name reports it.
    same = run(irregular).stdout.splitlines()
    assert out.stdout.splitlines()[:-1] == same[:-1] and same[-1].split()[0] == "read"


@pytest.mark.parametrize("name", COMMANDS)
@pytest.mark.parametrize("as_json", [False, True])
def test_output_closed_early_ends_quietly(irregular, name, as_json):
    # Far more than a pipe holds (64 KiB on Linux), so that the command is still writing when
    # the reader goes: 400 files' report lines could fit in one.
    files = [irregular] * 4000
    process = subprocess.Popen(
        [*COMMANDS[name], *(["--json"] if as_json else []), *files],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert process.stdout is not None and process.stderr is not None
    assert process.stdout.read(1) in (b"[", irregular[:1].encode())
    process.stdout.close()
    stderr = process.stderr.read()
    assert process.wait(timeout=60) == 1
    assert stderr == b""
