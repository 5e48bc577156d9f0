"""Prints the build requirements of pyproject.toml, one a line.

For builds that pip does not isolate: tools/build_env.sh and the sanitizer
build install exactly these, so there is one list to keep.
"""

import tomllib
from pathlib import Path

pyproject = Path(__file__).resolve().parents[1] / "pyproject.toml"
print("\n".join(tomllib.loads(pyproject.read_text())["build-system"]["requires"]))
