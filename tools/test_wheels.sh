#!/usr/bin/env bash
# Tests every wheel in wheelhouse/ (tools/build_wheels.sh) as a user gets it:
# each goes into fresh virtual environments of its own interpreter, one per
# NumPy line that interpreter has (1.26 on 3.11 and 3.12, the newest 2.x on
# every one), and the Python test suite runs against the installed module
# from tests/, where nothing of the checkout can be imported in its place
# (conftest.py checks where quillrow came from).  The oldest and the newest
# interpreter run the whole suite under NumPy 2 (the examples, the stub
# check with mypy --strict, the checks of the wheel itself; the oldest also
# builds the sdist from source), and the stub check runs under NumPy 1.26 too.
# The free-threaded cp313t wheel runs the whole suite under NumPy 2 with
# PYTHON_GIL=0, with the optional packages that have wheels for it.
# Wheels for what this machine is not are tested in Debian roots
# (tools/make_root.sh), by this same script run inside: the aarch64 wheel in
# an arm64 root under qemu-user emulation, the CPython 3.14 wheel in a sid
# root, both in the background beside the runs here, from the moment the
# first venv here has written the digests of this machine's arrays: the
# aarch64 run compares its arrays with those of the x86-64 kernel
# (tests/test_portable_results.py).  The emulated run tests under NumPy 2
# only, with numpy and pytest alone installed.  A root this machine cannot
# run at all is skipped with a line saying why, and its row says SKIPPED.
# Prints a table Python x NumPy x where -> passed/failed/skipped; exits 1 if
# any cell failed.
#   tools/test_wheels.sh
# QUILLROW_NUMPY_LINES="2" tests under NumPy 2 only (the emulated run: each
# NumPy line there costs minutes); QUILLROW_TEST_EXTRAS=no installs numpy and
# pytest alone, the optional packages' tests skipping (the emulated run).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venvs="$root/build/test-wheels"
rm -rf "$venvs"
mkdir -p "$venvs"
where=${QUILLROW_TESTED_IN:-native}

shopt -s nullglob
wheels=(wheelhouse/quillrow-*.whl)
sdists=(dist/quillrow-*.tar.gz)
if ((${#wheels[@]} == 0)); then
  echo "test_wheels: no wheels in wheelhouse/ (run tools/build_wheels.sh)" >&2
  exit 1
fi

python_for() {  # the interpreter of a cp3XY tag: pyenv's newest, else on PATH; 3.13t is built
  local version=$1 dir best=""
  if [ "$version" = 3.13t ]; then
    bash tools/make_python_ft.sh
    return
  fi
  if command -v pyenv >/dev/null; then
    for dir in "$(pyenv root)"/versions/"$version".*; do
      [[ $(basename "$dir") =~ ^$version\.[0-9]+$ && -x $dir/bin/python ]] && best="$dir/bin/python"
    done
  fi
  [ -n "$best" ] || best=$(command -v "python$version" || true)
  echo "$best"
}
version_of() {  # X.Y of a wheel's ABI tag cp3XY, X.Yt of a free-threaded cp3XYt
  local tag
  tag=$(basename "$1" | cut -d- -f4)
  tag=${tag#cp3}
  echo "3.$tag"
}

# Which wheels run here and which in a root: the aarch64 ones in the arm64
# root, those for an interpreter this machine lacks (3.14) in the sid root.
machine=$(uname -m)
here=()
in_roots=()
for wheel in "${wheels[@]}"; do
  if [[ $wheel != *_"$machine".whl ]]; then
    in_roots+=("arm64-bookworm $wheel")
  elif [ -z "$(python_for "$(version_of "$wheel")")" ]; then
    in_roots+=("amd64-sid $wheel")
  else
    here+=("$wheel")
  fi
done

tags=$( (printf '%s\n' "${here[@]}" | grep -oE -- '-cp3[0-9]+-' || true) | tr -d -- -cp | sort -n)
oldest=$(head -1 <<<"$tags")
newest=$(tail -1 <<<"$tags")
rows=()
status=0
digests=""
# test_in_root TARGET WHEEL: this script, run inside the TARGET root
# (tools/make_root.sh) on the one WHEEL; writes its table rows to
# $venvs/root-TARGET.rows and returns 1 on any failure.
test_in_root() {
  local target=$1 wheel=$2 version label lines extras rootdir code reference cache
  local out="$venvs/root-$target.rows"
  version=$(version_of "$wheel")
  case $target in
    # Under emulation every step costs about ten times as much: NumPy 2
    # only, no bytecode compiled at install (pip would compile every module,
    # most of which no test imports), and numpy and pytest alone (the
    # examples, the xarray engine, the command line, the stub and wheel
    # checks are Python above the module, tested natively; their tests skip
    # here, saying which package is missing).
    arm64-*) label="qemu-user aarch64" lines=2 extras=no ;;
    *) label="sid root $machine" lines= extras=yes ;;
  esac
  echo "== CPython $version in the $target root: $(basename "$wheel")"
  set +e
  rootdir=$(bash tools/make_root.sh "${target%-*}" "${target#*-}")
  code=$?
  set -e
  if [ "$code" = 77 ]; then
    echo "SKIPPED: $(basename "$wheel") untested, the $target root cannot run here (see above)"
    printf '%-10s %-20s %-26s %s\n' "$version" - "$label" "SKIPPED: no root" >"$out"
    return 0
  elif [ "$code" != 0 ]; then
    printf '%-10s %-20s %-26s %s\n' "$version" - "$label" "failed: no root" >"$out"
    return 1
  fi
  # The checkout without this machine's builds, and the one wheel.
  mkdir -p "$rootdir/quillrow/wheelhouse"
  tar -C "$root" --exclude=./build --exclude='./.venv*' --exclude=./dist --exclude=./wheelhouse \
    --exclude=./.git -cf - . | tar -C "$rootdir/quillrow" -xf -
  cp "$wheel" "$rootdir/quillrow/wheelhouse/"
  reference=""
  if [[ $target == arm64-* ]] && [ -n "$digests" ]; then
    cp "$digests" "$rootdir/kernel-digests.json"
    reference=/kernel-digests.json
  fi
  cache="${XDG_CACHE_HOME:-$HOME/.cache}"
  set +e
  # Inside, a venv with pip comes first on PATH (Debian's interpreters have
  # none), and this script finds the root's python3.X there.
  bash tools/in_root.sh "$rootdir" --bind "$cache/pip:/root/.cache/pip" /bin/sh -ec '
    python=$(ls /usr/bin/python3.1[0-9] | sort -V | tail -1)
    "$python" -m venv /venv
    cd /quillrow
    [ "$4" = yes ] || export PIP_COMPILE=false
    PATH=/venv/bin:$PATH QUILLROW_TESTED_IN="$1" QUILLROW_NUMPY_LINES="$2" \
      QUILLROW_KERNEL_DIGESTS="$3" QUILLROW_TEST_EXTRAS="$4" bash tools/test_wheels.sh' \
    in_root "${label% *}" "$lines" "$reference" "$extras"
  code=$?
  set -e
  if [ -f "$rootdir/quillrow/build/test-wheels/rows.txt" ]; then
    cp "$rootdir/quillrow/build/test-wheels/rows.txt" "$out"
  else
    printf '%-10s %-20s %-26s %s\n' "$version" - "$label" failed >"$out"
  fi
  [ "$code" = 0 ]
}
root_pids=()
started_roots=false
start_roots() {
  $started_roots && return
  started_roots=true
  local entry
  for entry in "${in_roots[@]}"; do
    test_in_root "${entry%% *}" "${entry#* }" >"$venvs/root-${entry%% *}.log" 2>&1 &
    root_pids+=($!)
  done
}
# Without a wheel for this machine there are no digests to wait for.
((${#here[@]})) || start_roots

# install_extras_as_far_as_they_go VENV LOG: the optional packages of the
# tests, from wheels only: for a free-threaded interpreter some have none
# (their tests skip, naming what is missing), and building one from source
# could take longer than the whole suite.  Three small ones that Dask needs
# are the exception: they build from source in seconds (and pip keeps the
# wheels it builds).  zarr and h5netcdf are left out from the start (numcodecs
# and h5py have no cp313t wheel): one pip run installs the rest, and only if
# that fails is each package tried alone, which costs minutes.
install_extras_as_far_as_they_go() {
  local venv=$1 log=$2 requirement missing=(zarr h5netcdf)
  local pip=("$venv/bin/python" -m pip install -q --only-binary :all: --no-binary pyyaml,tornado,msgpack)
  "${pip[@]}" 'numpy>=2,<3' -r <(grep -vE '^(zarr|h5netcdf)' tests/requirements-extras.txt) >>"$log" 2>&1 && {
    echo "== not installed in $(basename "$venv"), having no wheel for it: ${missing[*]}"
    return
  }
  missing=()
  while read -r requirement; do
    [[ -z $requirement || $requirement == \#* ]] && continue
    "${pip[@]}" 'numpy>=2,<3' "$requirement" >>"$log" 2>&1 || missing+=("$requirement")
  done <tests/requirements-extras.txt
  echo "== not installed in $(basename "$venv"), having no wheel for it: ${missing[*]}"
}

for wheel in "${here[@]}"; do
  version=$(version_of "$wheel")
  tag=$(tr -d .t <<<"$version")
  # A free-threaded interpreter (3.13t) runs the suite with PYTHON_GIL=0,
  # which keeps the GIL off whatever else the tests import.  Once, not also
  # as the import leaves the interpreter: a whole run costs about 4 minutes
  # there, and the free-threaded stress test (tests/test_resources.py) runs
  # its processes without PYTHON_GIL and checks that importing quillrow
  # leaves the GIL off.
  free_threaded=no
  [[ $version == *t ]] && free_threaded=yes
  python=$(python_for "$version")
  lines=(2)
  [[ $version == 3.11 || $version == 3.12 ]] && lines=(1.26 2)
  # Wheels only there: the newest NumPy may have none for it, and pip would
  # build that one from source for minutes rather than take an older one.
  binary_only=()
  [ $free_threaded = yes ] && binary_only=(--only-binary :all:)
  [ -n "${QUILLROW_NUMPY_LINES:-}" ] && read -r -a lines <<<"$QUILLROW_NUMPY_LINES"
  for line in "${lines[@]}"; do
    venv="$venvs/py$version-np$line"
    log="$venv.log"
    case $line in
      1.26) packages=('numpy==1.26.*') ;;
      2) packages=('numpy>=2,<3') ;;
    esac
    packages+=(pytest)
    extra_env=()
    [ $free_threaded = yes ] && extra_env=(PYTHON_GIL=0)
    if [ "${QUILLROW_TEST_EXTRAS:-yes}" = no ]; then
      :
    elif [ $free_threaded = yes ]; then
      extra_env+=("QUILLROW_WHEEL=$root/$wheel")
    elif [ "$line" = 2 ] && [[ $tag == "$oldest" || $tag == "$newest" ]]; then
      packages+=(-r tests/requirements-extras.txt)
      extra_env=("QUILLROW_WHEEL=$root/$wheel")
      if [ "$tag" = "$oldest" ] && ((${#sdists[@]})); then
        extra_env+=("QUILLROW_SDIST=$root/${sdists[0]}")
      fi
    elif [ "$tag" = "$oldest" ]; then
      packages+=('mypy>=1.8')
    fi
    # The xarray engine's tests run under NumPy 1.26 too when an xarray that
    # keeps datetime64[ms] installs beside it; otherwise they skip, saying why.
    with_xarray=no
    [ "$line" = 1.26 ] && [ "$tag" = "$oldest" ] && [ "${QUILLROW_TEST_EXTRAS:-yes}" != no ] && with_xarray=yes
    echo "== CPython $version, NumPy $line: $(basename "$wheel")"
    result=failed
    if "$python" -m venv "$venv" >"$log" 2>&1 &&
      "$venv/bin/python" -m pip install -q "${binary_only[@]}" "${packages[@]}" "$wheel" >>"$log" 2>&1; then
      if [ $free_threaded = yes ] && [ "${QUILLROW_TEST_EXTRAS:-yes}" != no ]; then
        install_extras_as_far_as_they_go "$venv" "$log"
      fi
      if [ "$with_xarray" = yes ] && ! "$venv/bin/python" -m pip install -q "${packages[0]}" \
        "xarray>=2025.1.2" "dask[array,distributed]" flox >>"$log" 2>&1; then
        echo "== no xarray beside NumPy $line: the xarray engine's tests are skipped"
      fi
      numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
      [ $free_threaded = yes ] && numpy+=" PYTHON_GIL=0"
      # The arrays of this machine's kernel, for the runs on other machines,
      # which start with them.
      if [ -z "$digests" ] && [ "$where" = native ]; then
        if "$venv/bin/python" tests/test_portable_results.py "$venvs/kernel-digests.json" >>"$log" 2>&1; then
          digests="$venvs/kernel-digests.json"
        else
          echo "test_wheels: no digests of this machine's arrays (see $log); the aarch64 run has nothing to compare with"
          status=1
        fi
        start_roots
      fi
      set +e
      (cd tests && env QUILLROW_TEST_INSTALLED=1 "${extra_env[@]}" \
        "$venv/bin/python" -m pytest -rfEs -p no:cacheprovider . >>"$log" 2>&1)
      code=$?
      set -e
      # The header names the row kernel; a skip says why.
      grep -E '^quillrow row kernel|^(FAILED|ERROR|SKIPPED) ' "$log" || true
      summary=$(tail -1 "$log")
      echo "$summary"
      count() { grep -oE "[0-9]+ $1" <<<"$summary" | grep -oE '[0-9]+' || echo 0; }
      result="$(count passed) passed, $(count failed) failed, $(count skipped) skipped"
      [ "$code" = 0 ] || status=1
    else
      numpy="$line (not installed)"
      tail -5 "$log"
      status=1
    fi
    rows+=("$(printf '%-10s %-20s %-26s %s' "$version" "$numpy" "$where $machine" "$result")")
  done
done

# The roots' runs, started in the background (started_roots) once the
# digests are there: the emulated suite is the longest part of this script,
# and mostly one busy core.  Each writes its log and its table rows under
# build/test-wheels/, printed here when it is done.
start_roots  # if no run here got as far as the digests
for pid in "${root_pids[@]}"; do
  wait "$pid" || status=1
done
for entry in "${in_roots[@]}"; do
  target=${entry%% *}
  cat "$venvs/root-$target.log"
  if [ -f "$venvs/root-$target.rows" ]; then
    mapfile -t -O "${#rows[@]}" rows <"$venvs/root-$target.rows"
  else
    rows+=("$(printf '%-10s %-20s %-26s %s' "$(version_of "${entry#* }")" - "$target root" failed)")
    status=1
  fi
done

printf '%s\n' "${rows[@]}" >"$venvs/rows.txt"
echo
printf '%-10s %-20s %-26s %s\n' Python NumPy "tested" result
printf '%s\n' "${rows[@]}"
exit $status
