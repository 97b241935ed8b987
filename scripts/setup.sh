#!/usr/bin/env bash
# Installs what building and testing KRAX needs on Debian 12, skipping what is
# already there. Run as root.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang python3
  libgtest-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64 wine64
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
