#!/usr/bin/env bash
# Makes a Debian root for building and testing wheels of a platform this
# machine is not: ARCH is a Debian architecture (arm64, amd64), SUITE a
# Debian suite (bookworm, sid).  Prints the path of a fresh copy of the root,
# build/roots/ARCH-SUITE, unpacked from a tarball cached outside the checkout:
#   ~/.cache/quillrow/root-ARCH-SUITE-<hash of the recipe>.tar
# The hash changes with the recipe, so a changed recipe makes a new root and
# an unchanged one is only unpacked (seconds instead of minutes).
#   tools/make_root.sh arm64 bookworm
#   tools/make_root.sh --cache-only arm64 bookworm
#       only makes the tarball, if missing, and prints nothing: the test
#       command runs this in the background while it compiles the x86-64
#       wheels.  Makers of the same root take turns (flock on the tarball's
#       .lock file): a second one waits for the first and unpacks its result.
# Exits 77, saying why, when this machine cannot run the root at all (not
# root, or no binfmt_misc for a foreign ARCH); any other failure exits 1.
# Run commands in the root with tools/in_root.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cache_only=false
[ "${1:-}" = --cache-only ] && { cache_only=true; shift; }
arch=${1:?usage: make_root.sh [--cache-only] ARCH SUITE}
suite=${2:?usage: make_root.sh [--cache-only] ARCH SUITE}
mirror=http://deb.debian.org/debian

# Python, venv and headers to build and test the extension; the CA list so
# that apt and pip inside have the file they are pointed at (replaced below by
# this machine's own list).  sid's default python3 may not be 3.14, so 3.14
# is named; binutils gives the wheel checks objdump and nm there, where the
# project's own scripts run as on the host.
packages=python3,python3-venv,python3-dev,ca-certificates
case $suite in
  sid) packages+=,python3.14,python3.14-dev,python3.14-venv,binutils ;;
esac

skip() {
  echo "make_root: cannot make a $arch root here: $*" >&2
  exit 77
}
[ "$(id -u)" = 0 ] || skip "debootstrap and chroot need root"

host_arch=$(dpkg --print-architecture)
foreign=false
[ "$arch" != "$host_arch" ] && foreign=true

# debootstrap makes the root; qemu-user-static runs its foreign binaries, and
# binfmt-support's configuration tells the kernel which emulator runs which.
missing=()
for p in debootstrap $($foreign && echo qemu-user-static binfmt-support); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "make_root: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if $foreign; then
  # The kernel hands a foreign ELF file to the emulator registered for its
  # machine in binfmt_misc.  A container may have the file system unmounted,
  # and no service may have registered the emulator: do both by hand.  The
  # configuration's F flag makes the kernel open the emulator now, so it also
  # runs inside the chroot, where no emulator lies at that path.
  qemu=$(case $arch in arm64) echo aarch64 ;; *) echo "$arch" ;; esac)
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null ||
    skip "binfmt_misc cannot be mounted (the kernel or the container forbids it)"
  if [ ! -e "$binfmt/qemu-$qemu" ]; then
    conf=/usr/lib/binfmt.d/qemu-$qemu.conf
    [ -f "$conf" ] || skip "no $conf"
    grep -v '^#' "$conf" | head -1 >$binfmt/register ||
      skip "the kernel refused to register qemu-$qemu"
  fi
  grep -x enabled "$binfmt/qemu-$qemu" >/dev/null || skip "qemu-$qemu is registered but disabled"
fi

cache="${XDG_CACHE_HOME:-$HOME/.cache}/quillrow"
# The key: what the root is made of.  Raise the number when a step below
# changes what the tarball holds.
recipe_version=1
recipe=$(printf '%s\n' "$arch" "$suite" "$packages" "$mirror" "$recipe_version" | sha256sum | cut -c1-12)
tarball="$cache/root-$arch-$suite-$recipe.tar"
dest="$root/build/roots/$arch-$suite"
mkdir -p "$cache" "$root/build/roots"

# One maker at a time per root; the lock goes with this process.
exec 9>"$cache/root-$arch-$suite.lock"
flock 9
if [ ! -f "$tarball" ]; then
  work="$root/build/roots/.making-$arch-$suite"
  rm -rf --one-file-system "$work"
  start=$SECONDS
  echo "make_root: debootstrap $arch $suite (minutes; cached afterwards as $tarball)" >&2
  # A foreign root is made in two stages: unpacking here, then the packages'
  # own scripts, which are foreign binaries, run inside under the emulator.
  # Bounded, so that a stalled mirror or emulator fails the command instead
  # of eating CI's time: the stages take about 1 and 7 minutes here.
  if ! timeout 15m debootstrap --arch="$arch" --foreign --variant=minbase --include="$packages" \
    "$suite" "$work" "$mirror" >"$work.log" 2>&1; then
    tail -20 "$work.log" >&2
    echo "make_root: debootstrap failed (log: $work.log)" >&2
    exit 1
  fi
  if ! timeout 25m chroot "$work" /debootstrap/debootstrap --second-stage >>"$work.log" 2>&1; then
    tail -20 "$work.log" >&2
    echo "make_root: the second stage failed (log: $work.log)" >&2
    exit 1
  fi
  # sid's Release file may be older than its Valid-Until when a mirror lags;
  # apt inside the root is not used to install the project's code, only to
  # add packages by hand when a test needs looking into.
  echo 'Acquire::Check-Valid-Until "false";' >"$work/etc/apt/apt.conf.d/99quillrow"
  rm -rf "$work"/var/cache/apt/archives/*.deb "$work"/var/lib/apt/lists/*_Packages
  tar -C "$work" -cf "$tarball.part" .
  mv "$tarball.part" "$tarball"
  rm -rf --one-file-system "$work"
  echo "make_root: made in $((SECONDS - start)) s" >&2
  # Older recipes of the same root are of no further use.
  for old in "$cache/root-$arch-$suite-"*.tar; do
    [ "$old" = "$tarball" ] || rm -f "$old"
  done
fi
flock -u 9
$cache_only && exit 0

rm -rf --one-file-system "$dest"
mkdir -p "$dest"
tar -C "$dest" -xf "$tarball"
# pip and the TLS clients on this machine are pointed at its CA list by
# variables that chroot passes on (PIP_CERT, SSL_CERT_FILE), and that list may
# hold certificates Debian's does not (a proxy's, on CI): the root gets the
# same list, so that pip inside reaches PyPI as pip outside does.
if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
  cp /etc/ssl/certs/ca-certificates.crt "$dest/etc/ssl/certs/ca-certificates.crt"
fi
cp /etc/resolv.conf "$dest/etc/resolv.conf" 2>/dev/null || true
echo "$dest"
