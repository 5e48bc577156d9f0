#!/usr/bin/env bash
# Builds the extension and the C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs both suites against them.  The Python
# tests run in their own virtual environment (.venv-asan) with the ASan
# runtime preloaded into the interpreter and Python's allocator switched to
# malloc, so that every object is visible to the leak checker.  Leaks whose
# allocation site lies in the interpreter or in NumPy are filtered by
# tools/sanitize/lsan_python.supp; nothing of quillrow's is.  Any report
# fails the run.  The build has the kernel switch: the Python suite runs once
# per row kernel this machine can run, named by QUILLROW_ROW_KERNEL, whole on
# the first (the one the processor would choose) and its reader-facing files
# on each other.
#   tools/test_sanitized.sh [pytest arguments...]
# QUILLROW_ASAN_BUILD overrides the build directory (default build/asan).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${QUILLROW_ASAN_BUILD:-$root/build/asan}"
venv="$root/.venv-asan"

libasan=$(g++ -print-file-name=libasan.so)
if [[ ! -e "$libasan" ]]; then
  echo "test_sanitized: g++ has no libasan.so" >&2
  exit 1
fi

[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
python="$venv/bin/python"  # a link to the interpreter itself, no wrapper script
# The build runs without isolation, so the build requirements (mimalloc's
# headers among them) come from pyproject.toml into this venv.
if ! "$python" -c 'import numpy, pytest, scikit_build_core, importlib.metadata as m; m.version("cmeel-mimalloc")' 2>/dev/null; then
  "$python" -m pip install -q --upgrade pip >/dev/null
  mapfile -t build_requires < <("$python" tools/build_requires.py)
  "$python" -m pip install -q 'numpy>=2,<3' pytest "${build_requires[@]}"
fi

# Installed like the real package (console script included), but built with
# the sanitizers and the C++ unit tests, in a build tree kept for next time.
export CMAKE_BUILD_PARALLEL_LEVEL=2  # the machine is shared
echo "== sanitizer build ($build)"
"$python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
  -C build-dir="$build" -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.QUILLROW_SANITIZE=ON -C cmake.define.QUILLROW_BUILD_TESTS=ON \
  -C cmake.define.QUILLROW_KERNEL_SWITCH=ON .

module=$("$python" -c 'import importlib.util; print(importlib.util.find_spec("quillrow").origin)')
# The list is read whole before it is searched: with ldd writing into a
# quiet grep, ldd could die of SIGPIPE and pipefail would call it a failure.
libraries=$(ldd "$module")
if [[ $libraries != *libasan* ]]; then
  echo "test_sanitized: $module is not instrumented" >&2
  exit 1
fi
# mimalloc's messages are in the shared object only if mimalloc is linked in.
if grep -qa 'mimalloc: warning' "$module"; then
  echo "test_sanitized: $module allocates through mimalloc, which ASan cannot see into" >&2
  exit 1
fi

common="abort_on_error=0:print_summary=1"
export ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="$common:print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tools/sanitize/lsan_python.supp:print_suppressions=0"

status=0
echo "== C++ unit tests (ASan + UBSan)"
(cd "$build" && ctest --output-on-failure -j2) || status=1

# The kernels this machine can run, as the kernel switch words them when
# asked for a kernel no entry names.
kernels=$(LD_PRELOAD="$libasan" PYTHONMALLOC=malloc QUILLROW_ROW_KERNEL=no-such-kernel \
  ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" "$python" - "$build" 2>/dev/null <<'EOF'
import pathlib, sys
import quillrow

sample = pathlib.Path(sys.argv[1]) / "kernel-probe.sts"
header = b"OBJECT = FILE\n  OBJECT = RECORD\n  END_OBJECT = RECORD\nEND_OBJECT = FILE\n"
sample.write_bytes(header + b"0 1 0 0 0 0 Q" + b" 1" * 11 + b"\n")
try:
    quillrow.read_sts(str(sample))
except BaseException as e:
    print(str(e).partition("; it can run ")[2].replace(",", ""))
EOF
)
if [[ -z $kernels ]]; then
  echo "test_sanitized: the kernel switch named no kernel this machine can run" >&2
  exit 1
fi
# The tests of the reader itself: what each kernel decodes, and how it fails.
reader_tests=(test_rows.py test_file_walk.py test_hostile_inputs.py test_portable_results.py test_round_trip.py)

first=true
for kernel in $kernels; do
  if $first; then
    selection=(.)
    first=false
  else
    selection=("${reader_tests[@]}")
  fi
  echo "== Python tests on row kernel $kernel (ASan + UBSan, $("$python" -c 'import numpy; print("NumPy", numpy.__version__)'): ${selection[*]})"
  # Subprocesses started by the tests inherit the preload and the options, so
  # they are checked as well.
  # pytest captures each test's standard error, and a sanitizer that stops the
  # process takes its report down with that capture: the reports go to files,
  # shown when the suite fails.  (Programs the tests start inherit the preload:
  # a shell's leaks at its exit are reported too, and do not fail the suite.)
  reports="$build/sanitizer-reports/$kernel"
  rm -rf "$reports"
  mkdir -p "$reports"
  start=$SECONDS
  if ! (cd tests && QUILLROW_ROW_KERNEL="$kernel" LD_PRELOAD="$libasan" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan" UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
    "$python" -m pytest -q -p no:cacheprovider "$@" "${selection[@]}"); then
    status=1
    for report in "$reports"/*; do
      [ -e "$report" ] || continue
      echo "== sanitizer report $(basename "$report")"
      cat "$report"
    done
  fi
  echo "== row kernel $kernel: $((SECONDS - start)) s"
done

exit $status
