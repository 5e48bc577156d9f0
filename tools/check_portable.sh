#!/usr/bin/env bash
# Compiles every source under src/ for platforms the wheels do not cover,
# without linking or running anything: musl on x86-64 and macOS on arm64.
# It catches names the platform's headers take as macros (musl's PAGE_SIZE)
# and Linux-only calls or constants left unguarded (MADV_NOHUGEPAGE).
#
#   bash tools/check_portable.sh      (run by tools/lint.sh, not with --fast)
#
# The compiler is zig's clang, from the ziglang package that tools/build_wheels.sh
# pins, installed into .venv-build (tools/build_env.sh); mimalloc's headers
# come from the cmeel-mimalloc wheel there, as CMakeLists.txt finds them.
# The Python headers are those of the build Python, x86-64 Linux: they fit
# musl, and for macOS they stand in for a macOS Python's (its pyconfig.h
# differs in what the module does not use), so the module layer is checked
# for names and types there, not against a macOS interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(x86_64-linux-musl aarch64-macos)
python=$(bash tools/build_env.sh 'ziglang==0.17.*')
python_include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
mimalloc_include=$("$python" - <<'EOF'
import pathlib, sys
for p in map(pathlib.Path, sys.path):
    found = sorted((p / "cmeel.prefix" / "include").glob("mimalloc*/mimalloc.h"))
    if found:
        print(found[-1].parent)
        break
else:
    sys.exit("check_portable: no cmeel-mimalloc headers in the build environment")
EOF
)
mapfile -t sources < <(git ls-files --cached --others --exclude-standard -- 'src/*.cpp' | sort)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for target in "${targets[@]}"; do
  failed=0
  for source in "${sources[@]}"; do
    if ! "$python" -m ziglang c++ -target "$target" -std=c++20 -c -o "$out/unit.o" \
      -Wall -Wextra -Wconversion -Wsign-conversion -Wshadow -Werror -DPY_SSIZE_T_CLEAN \
      -Isrc -I"$mimalloc_include" -I"$python_include" "$source" 2>"$out/log"; then
      echo "$target: $source does not compile:"
      sed 's/^/    /' "$out/log"
      failed=$((failed + 1))
    fi
  done
  echo "$target: $((${#sources[@]} - failed)) of ${#sources[@]} sources compile"
  ((failed == 0)) || status=1
done
exit $status
