#!/usr/bin/env bash
# Installs everything, builds, and runs the whole test suite: the format and
# lint checks (tools/lint.sh), the sdist and the manylinux wheels
# (tools/build_wheels.sh: x86-64 for each CPython 3.11 to 3.13 of this
# machine and for a free-threaded CPython 3.13t built once from source
# (tools/make_python_ft.sh), and two from Debian roots, aarch64 for CPython 3.11 under
# qemu-user emulation and x86-64 for CPython 3.14), the Python tests against
# each installed wheel (tools/test_wheels.sh: under NumPy 1.26 and 2 here, NumPy
# 2 in the roots), the C++ unit tests, the same suites under ASan + UBSan, a
# short run of each fuzz target, and the benchmark's smoke mode.  It ends with
# a table of the steps, each passed or failed with its time, and exits 1 if
# any failed.
# The roots (tools/make_root.sh) are made once, in about 7 minutes, and
# cached in ~/.cache/quillrow; when they are not cached yet, they are made in
# the background from the start, while lint runs and the x86-64 wheels
# compile (their log: build/roots-cache-ROOT.log), and the wheels step waits for
# them.  QUILLROW_ROOTS names the roots; QUILLROW_ROOTS= (empty) leaves them
# out, for a quicker run of the x86-64 wheels alone.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_deps.sh --test

export QUILLROW_ROOTS="${QUILLROW_ROOTS-arm64-bookworm amd64-sid}"
read -r -a roots <<<"$QUILLROW_ROOTS"
if ((${#roots[@]})); then
  # Mostly downloading and unpacking; a failure here is met again, and
  # reported, where the wheels step asks for the root.
  mkdir -p build
  for target in "${roots[@]}"; do
    bash tools/make_root.sh --cache-only "${target%-*}" "${target#*-}" >"build/roots-cache-$target.log" 2>&1 &
  done
fi

# The free-threaded CPython 3.13 of the cp313t wheel (tools/make_python_ft.sh):
# built once, in about 9 minutes, and cached; made in the background from the
# start like the roots (its log: build/python-ft-cache.log), and the wheels
# step waits for it.
mkdir -p build
bash tools/make_python_ft.sh --cache-only >build/python-ft-cache.log 2>&1 &

status=0
summary=()
# step NAME COMMAND...: runs one step under its "== NAME" heading; a failure
# is remembered for the table and the exit status, and the run goes on.  A
# part left out because this machine cannot run it (a root without
# binfmt_misc) says so on a line starting with "SKIPPED:", and the table
# counts those lines beside the step.
step() {
  local name=$1
  shift
  echo "== $name"
  local start=$SECONDS result=passed log skipped
  log=$(mktemp)
  "$@" 2>&1 | tee "$log" || { result=FAILED; status=1; }
  skipped=$(grep -c '^SKIPPED:' "$log" || true)
  rm -f "$log"
  [ "$skipped" = 0 ] || name+=" ($skipped parts SKIPPED: see the step's SKIPPED: lines)"
  summary+=("$(printf '%-7s %6d s  %s' "$result" $((SECONDS - start)) "$name")")
}

cpp_unit_tests() {
  cmake -S . -B build/cpp -G Ninja -DQUILLROW_BUILD_MODULE=OFF -DQUILLROW_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$(bash tools/build_env.sh)" >/dev/null &&
    cmake --build build/cpp -j2 &&
    (cd build/cpp && ctest --output-on-failure -j2)
}

step "format and lint checks" bash tools/lint.sh
step "wheels: sdist and manylinux wheels for every supported CPython" bash tools/build_wheels.sh
step "Python tests of each wheel, installed, under each NumPy line" bash tools/test_wheels.sh
step "C++ unit tests" cpp_unit_tests
step "sanitizers: C++ unit tests and the Python suite under ASan + UBSan" bash tools/test_sanitized.sh
step "fuzzing, a short run of each target" bash fuzz/run.sh "${QUILLROW_FUZZ_SECONDS:-45}"
step "benchmark, smoke mode" bash bench/run.sh --smoke

wait  # the roots' makers, if a step before stopped waiting for them

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
