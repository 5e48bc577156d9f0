#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each in turn.
#   fuzz/run.sh [seconds per target, default 60]
# Seeds come from fuzz/gen_corpus_<name>.py for target fuzz_<name>; the
# working corpus lives in fuzz/corpus-run/<name>/ (ignored by git).
# QUILLROW_FUZZ_BUILD overrides the build directory, QUILLROW_FUZZ_ARGS adds
# libFuzzer options (e.g. "-jobs=2 -workers=2").
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLROW_FUZZ_BUILD:-$root/build-fuzz}"

# mimalloc's headers come from the build requirements' venv.
python="$(bash "$root/tools/build_env.sh")"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQUILLROW_FUZZ=ON \
    -DQUILLROW_BUILD_MODULE=OFF -DQUILLROW_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mapfile -t targets < "$build/QUILLROW_FUZZ_TARGETS.txt"
for target in "${targets[@]}"; do
    cmake --build "$build" --target "$target" -j2
done

for target in "${targets[@]}"; do
    name="${target#fuzz_}"
    corpus="$root/fuzz/corpus-run/$name"
    mkdir -p "$corpus"
    if [[ -f "$root/fuzz/gen_corpus_$name.py" ]]; then
        python3 "$root/fuzz/gen_corpus_$name.py" "$corpus"
    fi
    # Numeric tokens are short; rows need room for a header and a few lines.
    case "$name" in
        rows) max_len=4096 ;;
        *) max_len=512 ;;
    esac
    options=(-max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1
             -artifact_prefix="$root/fuzz/corpus-run/$name-crash-")
    if [[ -f "$root/fuzz/$target.dict" ]]; then
        options+=(-dict="$root/fuzz/$target.dict")
    fi
    echo "== $target for ${seconds}s"
    # shellcheck disable=SC2086
    "$build/fuzz/$target" "${options[@]}" ${QUILLROW_FUZZ_ARGS:-} "$corpus"
done
