#!/usr/bin/env bash
# Benchmark quillrow.read_sts against numpy.loadtxt, pandas.read_csv, a pure
# Python loop and a naive C++ reader.  See bench/README.md.
#
#   bash bench/run.sh            full run: 1, 1k, 100k and 2M rows
#   bash bench/run.sh --smoke    small files, two rounds (about a minute)
#
# Further options go to bench/bench.py (--sizes, --rounds, --methods).
# Installs what it needs: Debian packages (as root, or through sudo), a venv
# .venv-bench at the repository root with NumPy, pandas and matplotlib, the
# quillrow module built from this tree, and the naive reader.  Both builds of
# quillrow are measured: the g++ build (`pip install .` into .venv-bench)
# and the release wheel (tools/build_wheels.sh, installed into
# .venv-bench-wheel).  A full run builds the wheel for this Python when
# wheelhouse/ holds none newer than the sources (build_wheels.sh replaces
# wheelhouse/); the smoke mode only uses such a wheel when it is there (the
# test command builds it just before), and runs without it otherwise.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PYTHON="${PYTHON:-python3}"
VENV="$ROOT/.venv-bench"
BUILD="$ROOT/build/bench"

log() { printf '[bench] %s\n' "$*"; }

# --- system packages -------------------------------------------------------
missing=()
command -v g++ >/dev/null || missing+=(g++)
[[ -f /usr/include/fast_float/fast_float.h ]] || missing+=(libfast-float-dev)
command -v "$PYTHON" >/dev/null || { PYTHON=python3; missing+=(python3); }
if command -v "$PYTHON" >/dev/null; then
    "$PYTHON" -c 'import sysconfig, os, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
        || missing+=(python3-dev)
    "$PYTHON" -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
fi
if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    SUDO=""
    [[ $(id -u) -eq 0 ]] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- Python environment ----------------------------------------------------
if [[ ! -x "$VENV/bin/python" ]]; then
    log "creating $VENV"
    "$PYTHON" -m venv "$VENV"
fi
PY="$VENV/bin/python"
# The build below runs without isolation: the build requirements
# (scikit-build-core, mimalloc) come from pyproject.toml into this venv.
if ! "$PY" -c 'import numpy, pandas, matplotlib, scikit_build_core, importlib.metadata as m
m.version("cmeel-mimalloc")' 2>/dev/null; then
    log "installing numpy, pandas, matplotlib and the build requirements"
    "$PY" -m pip install -q --upgrade pip
    mapfile -t build_requires < <("$PY" "$ROOT/tools/build_requires.py")
    "$PY" -m pip install -q numpy pandas matplotlib "${build_requires[@]}"
fi
if ! command -v cmake >/dev/null && [[ ! -x "$VENV/bin/cmake" ]]; then
    "$PY" -m pip install -q cmake
fi

# --- quillrow, built from this tree ---------------------------------------
# A kept build directory makes rebuilds incremental; the build settings are
# the project's own (pyproject.toml), as with a plain `pip install .`.
mkdir -p "$BUILD"
log "building quillrow (pip install .)"
if ! PATH="$VENV/bin:$PATH" "$PY" -m pip install -q --no-build-isolation \
        -C build-dir="$ROOT/build/bench-quillrow" "$ROOT" >"$BUILD/quillrow-build.log" 2>&1; then
    log "quillrow did not build; see $BUILD/quillrow-build.log (last lines below)"
    tail -n 15 "$BUILD/quillrow-build.log" >&2
fi

# --- the release wheel -------------------------------------------------------
smoke=false
for arg in "$@"; do [[ $arg == --smoke ]] && smoke=true; done
WHEEL_VENV="$ROOT/.venv-bench-wheel"
py_version="$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
py_tag="cp${py_version/./}"
# The newest wheel for this Python, if no source file is newer than it.
fresh_wheel() {
    local wheel
    wheel=$(ls -t "$ROOT"/wheelhouse/quillrow-*-"$py_tag"-"$py_tag"-*x86_64.whl 2>/dev/null | head -1)
    [[ -n $wheel ]] || return 1
    [[ -z $(find "$ROOT/src" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" "$ROOT/python" \
        -newer "$wheel" -type f -print -quit) ]] || return 1
    echo "$wheel"
}
wheel=$(fresh_wheel || true)
if [[ -z $wheel ]] && ! $smoke; then
    log "building the release wheel for CPython $py_version (tools/build_wheels.sh)"
    if QUILLROW_PYTHONS="$py_version" bash "$ROOT/tools/build_wheels.sh" >"$BUILD/wheel-build.log" 2>&1; then
        wheel=$(fresh_wheel || true)
    else
        log "the wheel did not build; see $BUILD/wheel-build.log (last lines below)"
        tail -n 15 "$BUILD/wheel-build.log" >&2
    fi
fi
wheel_args=()
if [[ -n $wheel ]]; then
    [[ -x "$WHEEL_VENV/bin/python" ]] || "$PYTHON" -m venv "$WHEEL_VENV"
    # The same NumPy as the g++ build's venv, so only the build differs.
    numpy_version="$("$PY" -c 'import numpy; print(numpy.__version__)')"
    log "installing $(basename "$wheel") into $WHEEL_VENV"
    "$WHEEL_VENV/bin/python" -m pip install -q "numpy==$numpy_version"
    "$WHEEL_VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
    wheel_args=(--wheel-python "$WHEEL_VENV/bin/python")
else
    log "no release wheel for CPython $py_version: measuring the g++ build only"
fi

# --- naive C++ reader --------------------------------------------------------
EXT="$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
NAIVE="$BUILD/naive_reader$EXT"
if [[ ! -f "$NAIVE" || "$NAIVE" -ot "$ROOT/bench/naive_reader.cpp" ]]; then
    log "building the naive reader"
    g++ -O2 -std=c++20 -shared -fPIC -Wall -Wextra \
        -I"$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
        -I"$("$PY" -c 'import numpy; print(numpy.get_include())')" \
        "$ROOT/bench/naive_reader.cpp" -o "$NAIVE"
fi

# Run from outside the source tree so `import quillrow` finds the installed
# module, not a source directory.
cd "$BUILD"
exec "$PY" "$ROOT/bench/bench.py" "${wheel_args[@]}" "$@"
