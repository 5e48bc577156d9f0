#!/usr/bin/env bash
# Installs everything, builds, and runs the whole test suite: the format and
# lint checks (tools/lint.sh), the sdist and the manylinux wheels
# (tools/build_wheels.sh), the Python tests against each installed wheel
# under NumPy 1.26 and 2 (tools/test_wheels.sh; the aarch64 wheel under
# qemu-user emulation and the CPython 3.14 one in Debian roots that
# tools/make_root.sh makes once, in about 6 minutes, and caches in
# ~/.cache/quillrow), the C++ unit tests, the same
# suites under ASan + UBSan, a short run of each fuzz target, and the
# benchmark's smoke mode.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_deps.sh --test

status=0
echo "== format and lint checks"
bash tools/lint.sh || status=1

echo "== wheels: sdist and manylinux wheels for every supported CPython, x86-64 and aarch64"
bash tools/build_wheels.sh || status=1

echo "== Python tests of each wheel, installed, under each NumPy line"
bash tools/test_wheels.sh || status=1

echo "== C++ unit tests"
cmake -S . -B build/cpp -G Ninja -DQUILLROW_BUILD_MODULE=OFF -DQUILLROW_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(bash tools/build_env.sh)" >/dev/null
cmake --build build/cpp -j2
(cd build/cpp && ctest --output-on-failure -j2) || status=1

echo "== sanitizers: C++ unit tests and the Python suite under ASan + UBSan"
bash tools/test_sanitized.sh || status=1

echo "== fuzzing, a short run of each target"
bash fuzz/run.sh "${QUILLROW_FUZZ_SECONDS:-45}" || status=1

echo "== benchmark, smoke mode"
bash bench/run.sh --smoke || status=1

exit $status
