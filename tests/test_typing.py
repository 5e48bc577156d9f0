"""The installed type stub, as mypy --strict sees it from a user's code."""

import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

# Code a user would write: every line must check cleanly under --strict.
GOOD = """\
import numpy as np
import numpy.typing as npt

import quillrow
from quillrow import read_sts


def field_components(path: str) -> npt.NDArray[np.float32]:
    timestamps, values = read_sts(path)
    first: np.datetime64 = timestamps[0]
    rows: int = timestamps.shape[0]
    assert values.shape[0] == rows and first <= timestamps[-1]
    components: npt.NDArray[np.float32] = values[:, :3]
    return components


reveal_type(quillrow.read_sts("x.sts"))
names: list[str] = quillrow.__all__
"""

# Mistakes the stub must catch: (line, error code).
BAD = """\
import quillrow

quillrow.read_sts(b"x.sts")
quillrow.read_sts()
quillrow.read_sts("a", "b")
timestamps, values = quillrow.read_sts("x.sts")
label: str = timestamps.shape[0]
floats: list[float] = values
version = quillrow.__version__
"""
BAD_ERRORS = [
    (3, "arg-type"),
    (4, "call-arg"),
    (5, "call-arg"),
    (7, "assignment"),
    (8, "assignment"),
    (9, "attr-defined"),
]


def test_mypy_strict_uses_the_installed_stub(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    # Run from an empty directory so that only the installed distribution is seen.
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--python-executable",
            sys.executable,
            "good.py",
            "bad.py",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    lines = out.stdout.splitlines()
    good = [line for line in lines if line.startswith("good.py:")]
    errors = [line for line in good if ": error:" in line]
    assert errors == [], out.stdout

    revealed = [line for line in good if "Revealed type" in line]
    assert len(revealed) == 1, out.stdout
    assert re.search(
        r"tuple\[numpy\.ndarray\[tuple\[(builtins\.)?int\], numpy\.dtype\[numpy\.datetime64.*\]\], "
        r"numpy\.ndarray\[tuple\[(builtins\.)?int, (builtins\.)?int\], "
        r"numpy\.dtype\[numpy\.floating\[.*32Bit\]\]\]\]",
        revealed[0],
    ), revealed[0]

    found = []
    for line in lines:
        match = re.match(r"bad\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            found.append((int(match.group(1)), match.group(2)))
    assert found == BAD_ERRORS, out.stdout
