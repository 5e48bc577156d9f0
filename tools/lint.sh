#!/usr/bin/env bash
# Runs every format and lint check of the repository and fails if any finds
# something:
#   - clang-format --dry-run -Werror over all C++ (.clang-format),
#   - clang-tidy over src/ (.clang-tidy), zero findings,
#   - ruff check and ruff format --check over all Python (pyproject.toml),
#   - mypy --strict over the type stub and the quillrow_cli, quillrow_format and quillrow_xarray packages,
#   - no shell script pipes into a quiet grep (tools/check_pipes.sh),
#   - every source under src/ compiled for musl and macOS (tools/check_portable.sh).
#
#   bash tools/lint.sh          all checks (under a minute)
#   bash tools/lint.sh --fast   all but clang-tidy and the portable compile (a few
#                               seconds), while working
#   bash tools/lint.sh --fix    rewrite C++ and Python in the house format and
#                               apply ruff's safe fixes, then run the fast checks
#
# The tools are pinned in tools/lint-requirements.txt and installed into
# their own virtual environment, .venv-lint, which later runs reuse.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=all
case "${1:-}" in
  "") ;;
  --fast) mode=fast ;;
  --fix) mode=fix ;;
  *)
    echo "usage: bash tools/lint.sh [--fast | --fix]" >&2
    exit 2
    ;;
esac

venv="$root/.venv-lint"
requirements="$root/tools/lint-requirements.txt"
if ! cmp -s "$requirements" "$venv/lint-requirements.txt" 2>/dev/null; then
  echo "== installing the pinned lint tools into .venv-lint"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q -r "$requirements"
  cp "$requirements" "$venv/lint-requirements.txt"
fi
bin="$venv/bin"
build="$root/build/lint"
mkdir -p "$build"

# Tracked files plus new ones not yet added (ignored files excluded).
mapfile -t cxx_files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' '*.h' '*.cc' '*.inl' \
  | while read -r f; do [ -f "$f" ] && echo "$f"; done)

if [ "$mode" = fix ]; then
  "$bin/clang-format" -i "${cxx_files[@]}"
  "$bin/ruff" check --fix -q . || true
  "$bin/ruff" format -q .
  mode=fast
fi

status=0
failed=()
# check NAME COMMAND...: runs one check, reports its time, remembers a failure.
check() {
  local name=$1
  shift
  local start=$SECONDS
  if "$@"; then
    echo "== $name: ok ($((SECONDS - start)) s)"
  else
    echo "== $name: FAILED ($((SECONDS - start)) s)"
    failed+=("$name")
    status=1
  fi
}

check "clang-format" "$bin/clang-format" --dry-run -Werror "${cxx_files[@]}"
check "ruff check" "$bin/ruff" check -q .
check "ruff format" "$bin/ruff" format --check -q .
# The stub is checked as the module it describes: MYPYPATH makes
# `import quillrow` in the command-line package resolve to it.
check "no pipe into grep -q" bash tools/check_pipes.sh
check "mypy --strict" env MYPYPATH="$root/python" "$bin/mypy" --strict --no-error-summary \
  --cache-dir "$build/mypy-cache" python/quillrow.pyi python/quillrow_cli python/quillrow_format python/quillrow_xarray

# clang-tidy reads the compile commands of a configure of the module build
# (the C++ unit tests included).  This is the one place that configures it.
configure_for_clang_tidy() {
  bash tools/install_deps.sh --test
  # mimalloc's headers come from the build requirements (tools/build_env.sh).
  cmake -S "$root" -B "$build/cmake" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DQUILLROW_BUILD_MODULE=ON -DQUILLROW_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$(bash tools/build_env.sh)" >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log" >&2; return 1; }
}

# Every translation unit under src/, two at a time (the machine is shared);
# headers under src/ are checked through them (HeaderFilterRegex).
clang_tidy_src() {
  configure_for_clang_tidy || return 1
  "$bin/python" - "$build/cmake/compile_commands.json" "$root/src/" >"$build/tidy-files" <<'EOF'
import json, sys
commands, prefix = sys.argv[1], sys.argv[2]
print("\n".join(sorted({e["file"] for e in json.load(open(commands)) if e["file"].startswith(prefix)})))
EOF
  local log="$build/tidy.log"
  if xargs -P2 -n1 "$bin/clang-tidy" -p "$build/cmake" --quiet <"$build/tidy-files" >"$log" 2>&1; then
    return 0
  fi
  # Each header finding is reported once per file that includes the header.
  grep -E '(warning|error):' "$log" | sort -u
  echo "(full output: $log)"
  return 1
}

if [ "$mode" = all ]; then
  check "clang-tidy" clang_tidy_src
  check "compiles for musl and macOS" bash tools/check_portable.sh
fi

if ((status)); then
  echo "lint: failed: ${failed[*]}" >&2
fi
exit $status
