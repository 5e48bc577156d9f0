#!/usr/bin/env bash
# Builds and runs the numeric micro-benchmark at the shipped optimisation
# level (-O3, no flag that changes floating-point semantics).
#   bench/numeric/run.sh        (needs Debian's libfast-float-dev)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/bench/out"
mkdir -p "$out"
"${CXX:-g++}" -std=c++20 -O3 -I"$root/src" \
    "$root/bench/numeric/bench_numeric.cpp" "$root"/src/sts/numeric/*.cpp \
    -o "$out/bench_numeric"
# The same parsers on the value fields of a generated file, in file order.
python3 "$root/tools/gen_sts.py" "$out/bench_numeric.sts" --rows 20000 --seed 3 >/dev/null
"$out/bench_numeric" 0 "$out/bench_numeric.sts"
"$out/bench_numeric"
# The same parsers on the value fields of a generated file, in file order.
python3 "$root/tools/gen_sts.py" "$out/bench_numeric.sts" --rows 20000 --seed 3 >/dev/null
"$out/bench_numeric" 0 "$out/bench_numeric.sts"
