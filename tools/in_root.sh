#!/usr/bin/env bash
# Runs a command inside a root made by tools/make_root.sh, as root, in a
# mount namespace of its own: /proc (the tests count descriptors and
# mappings there), /dev, /dev/shm (multiprocessing) and /sys are mounted for
# the command and vanish with the namespace, so nothing stays mounted under
# the root when the command ends and the root can be removed like any
# directory.
#   tools/in_root.sh ROOT [--bind HOST_DIR:DIR]... COMMAND [ARGS...]
# --bind mounts a directory of this machine at DIR inside (made if missing):
# the caches of pip and zig, shared with the builds outside, so that a
# second run downloads and compiles nothing it already has.
# The command runs from / with a login-like environment: HOME=/root, a PATH
# of the root's own, and the pip settings of this machine that make sense
# inside (its CA list, copied in by make_root.sh, and its time-out).  pip's
# find-links and extra index of this machine name directories that do not
# exist in the root, so they are not passed on; PIP_FIND_LINKS may be set to
# a directory inside the root by the caller with `env` in COMMAND.
set -euo pipefail
target=${1:?usage: in_root.sh ROOT COMMAND...}
shift
binds=()
while [ "${1:-}" = --bind ]; do
  binds+=("$2")
  shift 2
done
[ -x "$target/bin/sh" ] || { echo "in_root: $target is no root (tools/make_root.sh)" >&2; exit 1; }
QUILLROW_BINDS="${binds[*]}" exec unshare --mount --propagation private -- /bin/sh -c '
set -e
target=$1
shift
mount -t proc proc "$target/proc"
mount -t sysfs sysfs "$target/sys" 2>/dev/null || true
mount --rbind /dev "$target/dev"
mkdir -p "$target/dev/shm"
mount -t tmpfs tmpfs "$target/dev/shm"
mount -t tmpfs tmpfs "$target/tmp"
for bind in $QUILLROW_BINDS; do
  mkdir -p "${bind%%:*}" "$target${bind#*:}"
  mount --bind "${bind%%:*}" "$target${bind#*:}"
done
exec env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
  PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-180}" PIP_DISABLE_PIP_VERSION_CHECK=1 \
  ${CI:+CI=$CI} \
  chroot "$target" "$@"
' in_root "$target" "$@"
