"""Files beyond 4 GiB: sizes, offsets, row counts and line numbers past 32
bits.  Long and heavy (each test writes over 4 GiB to the temporary directory
and maps all of it), so it runs only with QUILLROW_LONG_TESTS=1; each test
prints the peak resident memory of the process that read the file."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import HEADER, HEADER_LINES, ROW

pytestmark = pytest.mark.skipif(
    os.environ.get("QUILLROW_LONG_TESTS") != "1", reason="long test: set QUILLROW_LONG_TESTS=1"
)

BEYOND_4_GIB = (4 << 30) + (64 << 20)
BLOCK_ROWS = 10_000

# Row i of a block: one second after row i - 1 from 2020-001T00:00:00.000,
# values i + k/8 for k = 1..11 (exact in binary32).
EXPECTED = (
    """
import numpy as np
BLOCK_ROWS = %d
i = np.arange(BLOCK_ROWS, dtype=np.int64)
block_ms = 1577836800000 + i * 1000
block_values = (i[:, None] + np.arange(1, 12)[None, :] / 8).astype(np.float32)
"""
    % BLOCK_ROWS
)


def block() -> bytes:
    lines = []
    for i in range(BLOCK_ROWS):
        doy, rest = divmod(i, 86400)
        hour, rest = divmod(rest, 3600)
        minute, second = divmod(rest, 60)
        values = " ".join(f"{i + k / 8:.3f}" for k in range(1, 12))
        lines.append(f"2020 {doy + 1:03d} {hour:02d} {minute:02d} {second:02d} 000 L {values}\n")
    return "".join(lines).encode()


def read_in_child(path: str, *pieces: str) -> dict:
    """Runs the code pieces in a fresh interpreter and returns the `report` they fill."""
    import quillrow

    env = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join(
            filter(None, [os.path.dirname(quillrow.__file__), os.environ.get("PYTHONPATH")])
        ),
    }
    script = "".join(textwrap.dedent(piece) for piece in pieces) + textwrap.dedent("""
        import json, resource
        report["peak_rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
        print(json.dumps(report))
    """)
    out = subprocess.run(
        [sys.executable, "-c", script, path], capture_output=True, text=True, env=env, timeout=3600
    )
    assert out.returncode == 0, out.stderr[-4000:]
    return json.loads(out.stdout.splitlines()[-1])


def test_rows_beyond_4_gib(tmp_path, capsys):
    path = tmp_path / "large.sts"
    rows = block()
    repeats = -(-(BEYOND_4_GIB - len(HEADER)) // len(rows))
    try:
        with open(path, "wb") as file:
            file.write(HEADER)
            for _ in range(repeats):
                file.write(rows)
        size = path.stat().st_size
        assert size > 4 << 30
        report = read_in_child(
            str(path),
            EXPECTED,
            """
            import sys
            from quillrow import read_sts
            timestamps, values = read_sts(sys.argv[1])
            count = timestamps.shape[0]
            repeats = count // BLOCK_ROWS
            report = {
                "rows": count,
                "timestamps_match": bool(
                    (timestamps.view("i8").reshape(repeats, BLOCK_ROWS) == block_ms).all()
                ),
                "values_match": bool((values.reshape(repeats, BLOCK_ROWS, 11) == block_values).all()),
                "shape": list(values.shape),
            }
        """,
        )
    finally:
        path.unlink(missing_ok=True)
    assert report["rows"] == repeats * BLOCK_ROWS > 1 << 25
    assert report["shape"] == [repeats * BLOCK_ROWS, 11]
    assert report["timestamps_match"] and report["values_match"]
    with capsys.disabled():
        print(f"\n{size / (1 << 30):.2f} GiB, {report['rows']} rows: peak RSS {report['peak_rss_mib']} MiB")


def test_line_numbers_beyond_32_bits(tmp_path, capsys):
    path = tmp_path / "blank.sts"
    blank_lines = (1 << 32) + 7
    chunk = b"\n" * (64 << 20)
    try:
        with open(path, "wb") as file:
            file.write(HEADER + ROW + b"\n")
            left = blank_lines
            while left:
                file.write(chunk[: min(left, len(chunk))])
                left -= min(left, len(chunk))
            file.write(b"2024 x\n")
        size = path.stat().st_size
        report = read_in_child(
            str(path),
            """
            import sys
            from quillrow import read_sts
            try:
                read_sts(sys.argv[1])
            except ValueError as error:
                report = {"message": str(error)}
            else:
                report = {"message": None}
        """,
        )
    finally:
        path.unlink(missing_ok=True)
    line = HEADER_LINES + 1 + blank_lines + 1
    assert line > 1 << 32
    assert report["message"] == f"Invalid file {path} at line {line}: bad doy"
    with capsys.disabled():
        print(f"\n{size / (1 << 30):.2f} GiB, fault at line {line}: peak RSS {report['peak_rss_mib']} MiB")


def test_value_token_with_more_than_2_to_28_digits(tmp_path):
    # 0.000...01e2684354560 with 2^28 - 1 zeros is 10^2415919104: the
    # decimal point moves the exponent by the digit count, and no bound on
    # the exponent that such a count can reach may cut it short.
    path = tmp_path / "giant.sts"
    with open(path, "wb") as file:
        file.write(HEADER + b"2020 001 00 00 00 000 L 0.")
        file.write(b"0" * ((1 << 28) - 1))
        file.write(b"1e2684354560 -0." + b"0" * ((1 << 28) - 1) + b"1e2684354560" + b" 1" * 9 + b"\n")
    report = read_in_child(
        str(path),
        """
        import sys
        from quillrow import read_sts
        _, values = read_sts(sys.argv[1])
        report = {"values": [repr(float(v)) for v in values[0, :3]]}
        """,
    )
    assert report["values"] == ["inf", "-inf", "1.0"]
