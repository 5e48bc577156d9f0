"""The repository's own checks (tools/): each refuses what it is there to refuse."""

import subprocess
from pathlib import Path

import pytest

CHECK_PIPES = Path(__file__).resolve().parent.parent / "tools" / "check_pipes.sh"


@pytest.mark.parametrize(
    ("line", "refused"),
    [
        ('if ! ldd "$m" | grep -q libasan; then :; fi', True),
        ("objdump -d x |grep -qE 'vpermt2|zmm' && exit 1", True),  # no space, options joined
        ("dpkg -l | grep -F --quiet python3", True),
        ("ldd x | grep -c libasan >/dev/null", False),  # grep -c reads to the end
        ("[[ $(ldd x) == *libasan* ]]", False),  # output captured first
        ("test -f a || grep -q word b", False),  # || is not a pipe
    ],
)
def test_pipe_into_quiet_grep_fails_lint(tmp_path, line, refused):
    script = tmp_path / "planted.sh"
    script.write_text(f"#!/usr/bin/env bash\nset -euo pipefail\n{line}\n")
    out = subprocess.run(["bash", str(CHECK_PIPES), str(script)], capture_output=True, text=True)
    assert out.returncode == (1 if refused else 0), out
    assert (f"{script}:3:" in out.stdout) == refused, out.stdout
