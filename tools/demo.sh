#!/usr/bin/env bash
# Installs everything, builds quillrow, and reads a generated sample STS file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
venv=.venv-demo
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q .
exec "$venv/bin/python" tools/demo.py "$@"
