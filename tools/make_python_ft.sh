#!/usr/bin/env bash
# Makes a free-threaded CPython 3.13 (configure --disable-gil) for building
# and testing the cp313t wheel, and prints the path of its python3.13t.  It is
# built once from the orig tarball of Debian's python3.13 source package and
# installed outside the checkout, keyed by a hash of its recipe:
#   ~/.cache/quillrow/python3.13t-<version>-<hash of the recipe>/
# so that a changed recipe makes a new interpreter and an unchanged one costs
# nothing.  The build takes about 9 minutes on two busy cores.
#   tools/make_python_ft.sh               prints the interpreter, made if missing
#   tools/make_python_ft.sh --cache-only  only makes it, if missing, and prints
#       nothing: the test command runs this in the background from its start.
#       Makers take turns (flock on a .lock file beside it): a second one
#       waits for the first and prints its result.
# The tarball's SHA-256 is checked against the source package's .dsc.  The
# Debian pool keeps only the versions in some suite: when this one has left
# it, raise `version` to one the pool serves.
# Needs a C compiler and make, and the headers of the modules pip and the
# tests use (ssl, zlib, lzma, bz2, ctypes, sqlite3): tools/install_deps.sh
# --test installs them.
set -euo pipefail
cache_only=false
[ "${1:-}" = --cache-only ] && cache_only=true

version=3.13.15-1   # Debian's version of the python3.13 source package
upstream=${version%-*}
pool=http://deb.debian.org/debian/pool/main/p/python3.13
configure_flags=(--disable-gil --disable-test-modules --with-ensurepip=no --without-static-libpython)
# Raise when a step below changes what the installed tree holds.
recipe_version=1
recipe=$(printf '%s\n' "$version" "$pool" "${configure_flags[*]}" "$recipe_version" | sha256sum | cut -c1-12)

cache="${XDG_CACHE_HOME:-$HOME/.cache}/quillrow"
prefix="$cache/python3.13t-$upstream-$recipe"
python="$prefix/bin/python3.13t"
mkdir -p "$cache"

exec 9>"$cache/python3.13t.lock"
flock 9
if [ ! -x "$python" ]; then
  start=$SECONDS
  work=$(mktemp -d "$cache/.making-python3.13t.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "make_python_ft: building CPython $upstream with --disable-gil (minutes; cached as $prefix)" >&2
  tarball="python3.13_$upstream.orig.tar.xz"
  curl -fsSL --retry 3 -o "$work/source.dsc" "$pool/python3.13_$version.dsc"
  # The .dsc's Checksums-Sha256 lines: "<sha256> <size> <file>".
  want=$(awk -v f="$tarball" '/^Checksums-Sha256:/ {s = 1; next} /^[^ ]/ {s = 0} s && $3 == f {print $1}' \
    "$work/source.dsc")
  [ -n "$want" ] || {
    echo "make_python_ft: $pool/python3.13_$version.dsc names no $tarball" >&2
    exit 1
  }
  curl -fsSL --retry 3 -o "$work/$tarball" "$pool/$tarball"
  echo "$want  $work/$tarball" | sha256sum -c --quiet - >&2
  mkdir "$work/src"
  tar -C "$work/src" --strip-components=1 -xJf "$work/$tarball"
  (
    cd "$work/src"
    ./configure -q --prefix="$prefix" "${configure_flags[@]}" >"$work/configure.log" 2>&1 ||
      { tail -30 "$work/configure.log" >&2; exit 1; }
    nice make -s -j2 >"$work/make.log" 2>&1 || { tail -30 "$work/make.log" >&2; exit 1; }
    # Installed beside the final place, then moved there whole: a
    # half-installed tree is never taken for a made one.
    nice make -s install DESTDIR="$work/stage" >"$work/install.log" 2>&1 ||
      { tail -30 "$work/install.log" >&2; exit 1; }
  )
  # The modules that pip, venv and the tests need must have been built.
  "$work/stage$prefix/bin/python3.13t" -c '
import sys, ssl, zlib, lzma, bz2, ctypes, sqlite3, ensurepip
assert not sys._is_gil_enabled(), "the interpreter was built with the GIL"' >&2
  mv "$work/stage$prefix" "$prefix"
  # pip for building the wheel with this interpreter (venvs get theirs from
  # the same bundled wheel); installed in place, so its scripts name the
  # final path.
  PIP_ROOT_USER_ACTION=ignore "$python" -m ensurepip >/dev/null || { rm -rf "$prefix"; exit 1; }
  echo "make_python_ft: made in $((SECONDS - start)) s" >&2
  # Older recipes are of no further use.
  for old in "$cache"/python3.13t-*; do
    [ "$old" = "$prefix" ] || [ ! -d "$old" ] || rm -rf "$old"
  done
fi
flock -u 9
$cache_only && exit 0
echo "$python"
