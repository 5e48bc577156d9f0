#!/usr/bin/env bash
# Installs everything, builds, and runs the whole test suite: the Python
# tests under NumPy 2 and NumPy 1.26 (each in its own virtual environment),
# the C++ unit tests, the same suites under ASan + UBSan, a short run of
# each fuzz target, and the benchmark's smoke mode.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash tools/install_deps.sh

echo "== building the wheel"
rm -rf build/wheelhouse
python3 -m pip wheel -q . -w build/wheelhouse --no-deps
wheel=$(ls build/wheelhouse/quillrow-*.whl)

status=0
for flavour in np2 np1; do
  venv=".venv-$flavour"
  case $flavour in
    np2) numpy_spec='numpy>=2,<3' ;;
    np1) numpy_spec='numpy==1.26.*' ;;
  esac
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  if [ "$flavour" = np2 ]; then
    # The examples, the typing check and the wheel test run here.
    "$venv/bin/python" -m pip install -q "$numpy_spec" pytest -r tests/requirements-extras.txt
  else
    "$venv/bin/python" -m pip install -q "$numpy_spec" pytest
  fi
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  echo "== Python tests, $("$venv/bin/python" -c 'import numpy; print("NumPy", numpy.__version__)')"
  (cd tests && QUILLROW_WHEEL="$root/$wheel" "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider .) || status=1
done

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
