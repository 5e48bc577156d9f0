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
# Prints a table Python x NumPy -> passed/failed/skipped; exits 1 if any
# cell failed.
#   tools/test_wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venvs="$root/build/test-wheels"
rm -rf "$venvs"
mkdir -p "$venvs"

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
  [ -n "$best" ] || best=$(command -v "python$version")
  echo "$best"
}

tags=$(printf '%s\n' "${wheels[@]}" | grep -oE -- '-cp3[0-9]+-' | tr -d -- -cp | sort -n)
oldest=$(head -1 <<<"$tags")
newest=$(tail -1 <<<"$tags")
rows=()
status=0
for wheel in "${wheels[@]}"; do
  tag=$(grep -oE -- '-cp3[0-9]+-' <<<"$wheel" | head -1 | tr -d -- -cp)
  version="3.${tag#3}"
  python=$(python_for "$version")
  lines=(2)
  [[ $version == 3.11 || $version == 3.12 ]] && lines=(1.26 2)
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
        "$venv/bin/python" -m pytest -q -rfE -p no:cacheprovider . >>"$log" 2>&1)
      code=$?
      set -e
      grep -E '^(FAILED|ERROR) ' "$log" || true
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
    rows+=("$(printf '%-10s %-20s %s' "$version" "$numpy" "$result")")
  done
done

echo
printf '%-10s %-20s %s\n' Python NumPy result
printf '%s\n' "${rows[@]}"
exit $status
