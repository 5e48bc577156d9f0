#!/usr/bin/env bash
# Makes (once) .venv-build, a virtual environment holding the build
# requirements of pyproject.toml, and prints the path of its Python.  CMake
# builds that pip does not drive (the C++ unit tests, the fuzzers) pass it as
# -DPython_EXECUTABLE, which is where CMakeLists.txt looks for mimalloc.
#   tools/build_env.sh [extra pip requirements...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="$root/.venv-build"
python="$venv/bin/python"
[ -x "$python" ] || python3 -m venv "$venv" >&2
mapfile -t wanted < <("$python" "$root/tools/build_requires.py")
wanted+=("$@")
if ! "$python" -c 'import sys
from importlib.metadata import version, PackageNotFoundError
from packaging.requirements import Requirement
for line in sys.argv[1:]:
    r = Requirement(line)
    try:
        assert r.specifier.contains(version(r.name), prereleases=True)
    except (PackageNotFoundError, AssertionError):
        sys.exit(1)' "${wanted[@]}" 2>/dev/null; then
  "$python" -m pip install -q --upgrade pip packaging >&2
  "$python" -m pip install -q "${wanted[@]}" >&2
fi
echo "$python"
