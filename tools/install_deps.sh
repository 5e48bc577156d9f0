#!/usr/bin/env bash
# Installs the Debian packages a command needs (as root; needs nothing but apt).
#   tools/install_deps.sh         building and using quillrow (tools/demo.sh): a
#                                 Python with venv, pip and headers, and a C++20
#                                 compiler.  CMake, Ninja and mimalloc come from
#                                 PyPI into pip's isolated build environment.
#   tools/install_deps.sh --test  that, and the test toolchain (tools/test_all.sh):
#                                 CMake and Ninja for the C++ unit tests, GoogleTest,
#                                 clang with its sanitizer and libFuzzer runtimes,
#                                 binutils for the wheel checks, fast_float for the
#                                 benchmark's naive reader; and what the Debian roots
#                                 of the aarch64 and CPython 3.14 wheels need
#                                 (tools/make_root.sh): debootstrap, qemu-user-static
#                                 and binfmt-support, and binutils for aarch64;
#                                 and what the free-threaded CPython 3.13 of
#                                 the cp313t wheel is built with
#                                 (tools/make_python_ft.sh): make, curl, and
#                                 the headers of ssl, zlib, lzma, bz2, ctypes
#                                 and sqlite3.
#                                 Installed here, before the test command starts
#                                 making the roots in the background, so that no
#                                 two apt runs meet.
# Nothing is ever installed into the system's Python: every command works in
# virtual environments under the repository.
set -euo pipefail
packages=(python3 python3-venv python3-pip python3-dev g++)
if [ "${1:-}" = --test ]; then
  # libclang-rt-dev follows Debian's default clang version.
  packages+=(cmake ninja-build binutils clang libclang-rt-dev libgtest-dev libfast-float-dev)
  packages+=(debootstrap binutils-aarch64-linux-gnu)
  packages+=(make curl xz-utils pkg-config libssl-dev zlib1g-dev liblzma-dev libbz2-dev libffi-dev
    libsqlite3-dev)
  [ "$(dpkg --print-architecture)" = arm64 ] || packages+=(qemu-user-static binfmt-support)
fi
missing=()
for p in "${packages[@]}"; do
  state=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)  # not known: not installed
  [[ $state == *"install ok installed"* ]] || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
