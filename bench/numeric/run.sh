#!/usr/bin/env bash
# Builds and runs the numeric micro-benchmark at the shipped optimisation
# level (-O2, no flag that changes floating-point semantics).
#   bench/numeric/run.sh        (needs Debian's libfast-float-dev)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/bench/out"
mkdir -p "$out"
"${CXX:-g++}" -std=c++20 -O2 -I"$root/src" \
    "$root/bench/numeric/bench_numeric.cpp" "$root"/src/sts/numeric/*.cpp \
    -o "$out/bench_numeric"
"$out/bench_numeric"
