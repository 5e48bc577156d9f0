#!/usr/bin/env bash
# Installs everything, builds, and runs the whole test suite: the format and
# lint checks (tools/lint.sh), the sdist and the manylinux wheels
# (tools/build_wheels.sh), the Python tests against each installed wheel
# under NumPy 1.26 and 2 (tools/test_wheels.sh; with QUILLROW_ROOT_WHEELS=1
# also the aarch64 wheel under qemu-user emulation and the CPython 3.14 one,
# in Debian roots that tools/make_root.sh makes once and caches in
# ~/.cache/quillrow), the C++ unit tests, the same
# suites under ASan + UBSan, a short run of each fuzz target, and the
# benchmark's smoke mode.  It ends with a table of the steps, each passed or
# failed with its time, and exits 1 if any failed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_deps.sh --test

status=0
summary=()
# step NAME COMMAND...: runs one step under its "== NAME" heading; a failure
# is remembered for the table and the exit status, and the run goes on.
step() {
  local name=$1
  shift
  echo "== $name"
  local start=$SECONDS result=passed
  "$@" || { result=FAILED; status=1; }
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

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
exit $status
