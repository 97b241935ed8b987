#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test of both
# builds: Linux natively, under ASan+UBSan and TSan, with clang for warnings,
# and Windows under Wine. Fails when any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# A Wine prefix must exist before the first Windows test starts; without one
# every Windows test fails for a reason that has nothing to do with KRAX, so a
# prefix that cannot be made stops the run here, before the long builds.
export WINEDEBUG=-all
wine_prefix=${WINEPREFIX:-$HOME/.wine}
# Made under the locale the Windows tests run under (cmake/wine-run).
if ! wine_log=$(LC_ALL=C.UTF-8 wineboot -i 2>&1) || [ ! -d "$wine_prefix/drive_c/windows/system32" ]; then
  echo "scripts/test.sh: 'wineboot -i' could not make the Wine prefix $wine_prefix:" >&2
  printf '%s\n' "$wine_log" >&2
  exit 1
fi

run_preset() {
  local preset=$1; shift
  echo "=== ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  "$@" ctest --preset "$preset"
}

run_preset linux
# The same Linux tests again with the drop-in allocator under every program
# they start (sanitizer builds bring their own malloc and are left out). The
# library is preloaded from a copy every user can read: some tests run the
# utility as an unprivileged user, who may not reach a clone under /root.
echo "=== linux, libkrax_malloc.so preloaded ==="
preload_dir=$(mktemp -d)
trap 'rm -rf "$preload_dir"' EXIT
chmod 755 "$preload_dir"
install -m 644 build/linux/malloc/libkrax_malloc.so "$preload_dir/"
LD_PRELOAD="$preload_dir/libkrax_malloc.so" ctest --preset linux
run_preset linux-clang
run_preset linux-asan
# ThreadSanitizer cannot map its shadow memory under this kernel's address
# randomisation; running without it changes nothing else.
run_preset linux-tsan setarch "$(uname -m)" -R
run_preset windows
# The packages a user installs, made and then installed and used as a user would.
echo "=== packages ==="
bash scripts/package.sh
bash tests/package/check_packages.sh
echo "All presets built and passed; the packages were checked."
