#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks for building and testing everything.
# Needs root; does nothing for packages already present.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev binutils pkg-config zip
          libgtest-dev libgmock-dev libbenchmark-dev python3 python3-pytest python3-setuptools
          gnuplot-nox g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
elif [[ -n "${need_update:-}" ]]; then
  apt-get update -q
fi
