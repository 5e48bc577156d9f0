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
# Wheels for what this machine is not are tested in Debian roots
# (tools/make_root.sh), by this same script run inside: the aarch64 wheel in
# an arm64 root under qemu-user emulation, the CPython 3.14 wheel in a sid
# root.  The aarch64 run also compares its arrays with those of this
# machine's x86-64 kernel (tests/test_portable_results.py).  A root this
# machine cannot run at all is skipped with a line saying why.
# Prints a table Python x NumPy x where -> passed/failed/skipped; exits 1 if
# any cell failed.
#   tools/test_wheels.sh
# QUILLROW_NUMPY_LINES="2" tests under NumPy 2 only (the emulated run: each
# NumPy line there costs minutes).
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

python_for() {  # the interpreter of a cp3XY tag: pyenv's newest, else on PATH
  local version=$1 dir best=""
  if command -v pyenv >/dev/null; then
    for dir in "$(pyenv root)"/versions/"$version".*; do
      [[ $(basename "$dir") =~ ^$version\.[0-9]+$ && -x $dir/bin/python ]] && best="$dir/bin/python"
    done
  fi
  [ -n "$best" ] || best=$(command -v "python$version" || true)
  echo "$best"
}
version_of() {  # the X.Y of a wheel's cp3XY tag
  local tag
  tag=$(grep -oE -- '-cp3[0-9]+-' <<<"$1" | head -1 | tr -d -- -cp)
  echo "3.${tag#3}"
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
for wheel in "${here[@]}"; do
  tag=$(grep -oE -- '-cp3[0-9]+-' <<<"$wheel" | head -1 | tr -d -- -cp)
  version="3.${tag#3}"
  python=$(python_for "$version")
  lines=(2)
  [[ $version == 3.11 || $version == 3.12 ]] && lines=(1.26 2)
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
    if [ "$line" = 2 ] && [[ $tag == "$oldest" || $tag == "$newest" ]]; then
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
    [ "$line" = 1.26 ] && [ "$tag" = "$oldest" ] && with_xarray=yes
    echo "== CPython $version, NumPy $line: $(basename "$wheel")"
    result=failed
    if "$python" -m venv "$venv" >"$log" 2>&1 &&
      "$venv/bin/python" -m pip install -q "${packages[@]}" "$wheel" >>"$log" 2>&1; then
      if [ "$with_xarray" = yes ] && ! "$venv/bin/python" -m pip install -q "${packages[0]}" \
        "xarray>=2025.1.2" "dask[array,distributed]" flox >>"$log" 2>&1; then
        echo "== no xarray beside NumPy $line: the xarray engine's tests are skipped"
      fi
      numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
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
      # The arrays of this machine's kernel, for the runs on other machines.
      if [ -z "$digests" ] && [ "$code" = 0 ] && [ "$where" = native ]; then
        digests="$venvs/kernel-digests.json"
        "$venv/bin/python" tests/test_portable_results.py "$digests"
      fi
    else
      numpy="$line (not installed)"
      tail -5 "$log"
      status=1
    fi
    rows+=("$(printf '%-10s %-20s %-26s %s' "$version" "$numpy" "$where $machine" "$result")")
  done
done

for entry in "${in_roots[@]}"; do
  target=${entry%% *} wheel=${entry#* }
  version=$(version_of "$wheel")
  case $target in
    # Under emulation pip would compile every installed module to bytecode,
    # most of which no test imports: minutes of emulated work for nothing.
    arm64-*) label="qemu-user aarch64" lines=2 no_compile=1 ;;
    *) label="sid root $machine" lines= no_compile= ;;
  esac
  echo "== CPython $version in the $target root: $(basename "$wheel")"
  set +e
  rootdir=$(bash tools/make_root.sh "${target%-*}" "${target#*-}")
  code=$?
  set -e
  if [ "$code" = 77 ]; then
    echo "SKIPPED: $(basename "$wheel") untested, the $target root cannot run here (see above)"
    rows+=("$(printf '%-10s %-20s %-26s %s' "$version" - "$label" "SKIPPED: no root")")
    continue
  elif [ "$code" != 0 ]; then
    rows+=("$(printf '%-10s %-20s %-26s %s' "$version" - "$label" "failed: no root")")
    status=1
    continue
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
    [ -z "$4" ] || export PIP_COMPILE=false
    PATH=/venv/bin:$PATH QUILLROW_TESTED_IN="$1" QUILLROW_NUMPY_LINES="$2" \
      QUILLROW_KERNEL_DIGESTS="$3" bash tools/test_wheels.sh' \
    in_root "${label% *}" "$lines" "$reference" "$no_compile"
  code=$?
  set -e
  [ "$code" = 0 ] || status=1
  if [ -f "$rootdir/quillrow/build/test-wheels/rows.txt" ]; then
    mapfile -t -O "${#rows[@]}" rows <"$rootdir/quillrow/build/test-wheels/rows.txt"
  else
    rows+=("$(printf '%-10s %-20s %-26s %s' "$version" - "$label" failed)")
  fi
done

printf '%s\n' "${rows[@]}" >"$venvs/rows.txt"
echo
printf '%-10s %-20s %-26s %s\n' Python NumPy "tested" result
printf '%s\n' "${rows[@]}"
exit $status
