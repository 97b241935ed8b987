#!/usr/bin/env bash
# Checks what scripts/package.sh made: the zip's contents, its version resource
# and its krax.exe under Wine; the .deb installed with dpkg into a throw-away
# root, its krax, its allocator preloaded under python3, its CMake package used
# by a consumer project; lintian (no errors but the licence ones) and krax(1).
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/package/CMakeCache.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_packages: $*" >&2; exit 1; }

# Runs the krax given on a tree of two files (7 bytes) and a subdirectory,
# beside a link to a folder outside the tree, which must survive.
check_run() {
  rm -rf "$work/tree" "$work/outside" && mkdir -p "$work/tree/sub" "$work/outside"
  printf abc >"$work/tree/sub/one" && printf abcd >"$work/tree/two" && touch "$work/outside/canary"
  ln -s ../outside "$work/tree/link"
  local output
  output=$(cd "$work" && "$@" tree | tr -d '\r')
  [ "$(grep -c "^Removing '.*tree" <<<"$output")" = 2 ] && [ ! -e "$work/tree" ] && [ -e "$work/outside/canary" ] &&
    grep -qx "2  file(s) deleted in 1 directories, skipping 0 Junctions, using 7 bytes." <<<"$output" ||
    fail "$* on a sample tree printed: $output"
}

zip=build/packages/krax-$version-windows-x86_64.zip
[ "$(python3 -m zipfile -l "$zip" | awk 'NR > 1 { print $1 }' | sort | paste -sd' ')" = "README.md krax.exe" ] ||
  fail "$zip holds: $(python3 -m zipfile -l "$zip")"
python3 -m zipfile -e "$zip" "$work/zip"
python3 -c 'import sys; sys.exit(("ProductVersion\0" + sys.argv[2]).encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
  "$work/zip/krax.exe" "$version" || fail "krax.exe has no version resource of $version"
check_run "$PWD/cmake/wine-run" "$work/zip/krax.exe"

deb=build/packages/krax_${version}_amd64.deb
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status"
# The throw-away root has no packages; what the .deb depends on is this machine's.
dpkg --root="$root" --log=/dev/null --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg: $(cat "$work/dpkg.log")"
check_run "$root/usr/bin/krax"
library=$root/usr/lib/$(gcc -print-multiarch)/libkrax_malloc.so.${version%%.*}
[ "$(LD_PRELOAD=$library python3 -c 'print("libkrax_malloc" in open("/proc/self/maps").read(), len([str(i) * i for i in range(5000)]))')" = "True 5000" ] ||
  fail "python3 did not run with $library preloaded"
cmake -S tests/install/consumer -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
grep -q "^KRAX_DIR:PATH=$root/usr/lib/" "$work/consumer/CMakeCache.txt" || fail "the consumer did not find the installed package"
cmake --build "$work/consumer" >/dev/null && [ "$("$work/consumer/consumer")" = "consumer ok" ] || fail "the consumer failed"

lintian_errors=$(lintian "$deb" 2>/dev/null | grep '^E:' | grep -Ev 'copyright|licen[cs]e' || true)
[ -z "$lintian_errors" ] || fail "lintian: $lintian_errors"
gunzip -c "$root/usr/share/man/man1/krax.1.gz" >"$work/krax.1"
[ -z "$(cd "$work" && man --warnings ./krax.1 2>&1 >/dev/null)" ] && (cd "$work" && man ./krax.1) | grep -q "EXIT STATUS" ||
  fail "krax.1 does not render cleanly"
echo "packages checked: $zip, $deb"
