#!/usr/bin/env bash
# Installs the system packages the build and the tests need (Debian, as root).
set -euo pipefail
packages=(g++ make binutils libmimalloc-dev libgtest-dev libfast-float-dev clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
python3 -m pip --version >/dev/null
command -v cmake >/dev/null && command -v ninja >/dev/null || python3 -m pip install -q cmake ninja
