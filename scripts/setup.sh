#!/usr/bin/env bash
# Installs what the README's commands need on Debian 12. Run as root.
#
# What is missing is decided by the commands and files the scripts and the
# build really use, not by package names: a package can be installed and still
# not provide the command (wine64 alone has no `wine`). Each need names the
# Debian package that provides it. After installing, every need is checked
# again, so a set-up that did not deliver fails here and not in a test.
# Quick and silent when nothing is missing.
set -euo pipefail

# "kind what package": kind is `command` (found by `command -v`) or `file`
# (a path, globs allowed, that must exist).
needs=(
  "command cmake cmake"
  "command ninja ninja-build"
  "command g++ g++"
  "command clang++ clang"
  "command python3 python3"
  "command setarch util-linux"
  "command setpriv util-linux"
  # The Windows build: the posix-threads cross compilers, its resource compiler and headers.
  "command x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix"
  "command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix"
  "command x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64"
  "file /usr/x86_64-w64-mingw32/include/windows.h mingw-w64-x86-64-dev"
  # Windows tests run under Wine; only the package `wine` provides these two.
  "command wine wine"
  "command wineboot wine"
  # GoogleTest: compiled from source for the cross build, the installed package for Linux.
  "file /usr/src/googletest/CMakeLists.txt googletest"
  "file /usr/lib/*/cmake/GTest/GTestConfig.cmake libgtest-dev"
  "file /usr/lib/*/cmake/benchmark/benchmarkConfig.cmake libbenchmark-dev"
  # Packaging (scripts/package.sh) and its checks.
  "command dpkg-shlibdeps dpkg-dev"
  "command lintian lintian"
  "command man man-db"
)

# Prints "what package" for every need that is not met.
unmet() {
  local need kind what package runtime
  for need in "${needs[@]}"; do
    read -r kind what package <<<"$need"
    case $kind in
      command) command -v "$what" >/dev/null 2>&1 && continue ;;
      file) compgen -G "$what" >/dev/null && continue ;;
    esac
    echo "$what $package"
  done
  # The sanitizer presets link g++'s runtimes, which come with its
  # development files (libgcc-12-dev for g++ 12).
  if command -v g++ >/dev/null 2>&1; then
    for runtime in libasan.so libubsan.so libtsan.so; do
      [ -e "$(g++ -print-file-name="$runtime")" ] || echo "$runtime libgcc-$(g++ -dumpversion)-dev"
    done
  fi
}

mapfile -t unmet_needs < <(unmet)
((${#unmet_needs[@]})) || exit 0
names=$(printf '%s\n' "${unmet_needs[@]}" | cut -d' ' -f1 | paste -sd' ')
mapfile -t missing < <(printf '%s\n' "${unmet_needs[@]}" | cut -d' ' -f2 | sort -u)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing ${names}; run as root to install ${missing[*]}" >&2
  exit 1
fi
echo "setup: missing ${names}"
echo "setup: installing ${missing[*]}"
# Another apt or dpkg run may hold the lock for a while; wait for it.
apt_options=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)
apt-get "${apt_options[@]}" update
DEBIAN_FRONTEND=noninteractive apt-get "${apt_options[@]}" install -y --no-install-recommends "${missing[@]}"

mapfile -t still_unmet < <(unmet)
if ((${#still_unmet[@]})); then
  echo "setup: still missing after installing (what, package): ${still_unmet[*]}" >&2
  exit 1
fi
echo "setup: done"
