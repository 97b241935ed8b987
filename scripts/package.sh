#!/usr/bin/env bash
# Makes the packages a user installs, into build/packages:
#   krax-VERSION-windows-x86_64.zip  krax.exe (the static Windows build) and the README;
#   krax_VERSION_amd64.deb           /usr/bin/krax, the preloadable libkrax_malloc.so, the
#                                    allocator's headers, static libraries and CMake package,
#                                    and the manual page krax(1).
# VERSION is the one in CMakeLists.txt's project(). Run as root on Debian 12;
# it installs what is missing. The Windows executable comes from the windows
# preset's build folder (built here if needed). The Debian package is built in
# a folder of its own, configured for /usr: the install paths (the multiarch
# library folder) are fixed when a build folder is configured.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# Who answers for the Debian package; a maintainer publishing it sets their own.
maintainer=${KRAX_MAINTAINER:-KRAX developers <krax@example.org>}
out=$PWD/build/packages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
# Entries in both packages carry the time of the commit, not of the build.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

echo "=== Debian package: building"
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_INSTALL_PREFIX=/usr -DKRAX_BUILD_TESTS=OFF -DKRAX_BUILD_BENCH=OFF >/dev/null
cmake --build build/package
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/package/CMakeCache.txt)
arch=$(dpkg --print-architecture)

echo "=== Windows zip: building krax.exe"
cmake --preset windows >/dev/null
cmake --build --preset windows --target krax
zip=$out/krax-$version-windows-x86_64.zip
mkdir "$work/zip"
# Stripped of its debugging information only: the program is the one the tests ran.
x86_64-w64-mingw32-strip --strip-debug -o "$work/zip/krax.exe" build/windows/tool/krax.exe
cp README.md "$work/zip/"
rm -f "$zip"
(cd "$work/zip" && cmake -E tar cf "$zip" --format=zip --mtime="$(date -u -d "@$SOURCE_DATE_EPOCH" "+%Y-%m-%d %H:%M:%S UTC")" krax.exe README.md)

echo "=== Debian package: assembling"
# Where dpkg-shlibdeps expects a package's files: debian/PACKAGE beside a
# source package's control file, which it wants even for a package that has none.
root=$work/src/debian/krax
DESTDIR=$root cmake --install build/package >/dev/null
doc=$root/usr/share/doc/krax
mkdir -p "$doc" "$root/DEBIAN"
cp README.md "$doc/"
# Debian keeps manual pages and changelogs compressed, without names or times.
gzip -9n "$root"/usr/share/man/man1/krax.1
printf 'krax (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' "$version" "$version" \
  "$maintainer" "$(date -R -u -d "@$SOURCE_DATE_EPOCH")" | gzip -9n >"$doc/changelog.gz"
# What dpkg-strip would do: no debugging information in installed binaries and archives.
libdir=$(dirname "$(find "$root/usr/lib" -name 'libkrax_malloc.so.*.*')")
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/krax" \
  "$libdir"/libkrax_malloc.so.*.*
strip --strip-debug --remove-section=.comment --enable-deterministic-archives "$libdir"/*.a
find "$root/usr" -type d -empty -delete
find "$root" -type d -exec chmod 755 {} +
find "$root/usr" -type f ! -perm -u+x -exec chmod 644 {} +

# The dependencies are those the binaries really have.
soname=$(objdump -p "$libdir"/libkrax_malloc.so.*.* | awk '/SONAME/ { print $2 }')
printf 'Source: krax\n\nPackage: krax\nArchitecture: any\n' >"$work/src/debian/control"
depends=$(cd "$work/src" && dpkg-shlibdeps -O "$root/usr/bin/krax" "$libdir"/libkrax_malloc.so.*.* |
  sed -n 's/^shlibs:Depends=//p')
# A program linked to the library depends on this package from this version on.
echo "libkrax_malloc ${soname##*.so.} krax (>= $version)" >"$root/DEBIAN/shlibs"
# The dynamic linker's cache learns of the library when the package comes or goes.
echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
cat >"$root/DEBIAN/control" <<EOF
Package: krax
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Section: utils
Priority: optional
Description: fast deletion of whole directory trees, and its allocator
 krax deletes every directory tree named on its command line with as many
 threads as the machine has processors. It never follows symbolic links out
 of the tree, removing them as links, and never enters a mounted file system.
 .
 The package also carries the allocator that comes with it: a preloadable
 libkrax_malloc that serves malloc and C++'s operator new, and the same
 allocator as static libraries with headers and a CMake package.
EOF
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root"/DEBIAN/*
deb=$out/krax_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null

ls -l "$zip" "$deb"
