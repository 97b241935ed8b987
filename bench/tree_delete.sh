#!/usr/bin/env bash
# Times the deletion of one generated tree by krax, rm -rf, Python's
# shutil.rmtree and rimraf, in one run on the same machine. Every contender
# gets a freshly generated, identical tree (FILES files in DIRS folders, a few
# sizes), written back to disk before the clock starts. Then it checks, on a
# small tree, which system calls krax makes per file (strace -c) and that its
# allocations grow with folders, not with files.
#
# Usage: bash bench/tree_delete.sh [rounds]        (from the repository root)
# Environment: DIRS (default 10000), FILES_PER_DIR (default 10), WORK (scratch
# folder, default a new one under /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-3}
dirs=${DIRS:-10000}
files_per_dir=${FILES_PER_DIR:-10}
work=${WORK:-$(mktemp -d /tmp/krax-bench-XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

cmake --preset linux >/dev/null
cmake --build --preset linux --target krax >/dev/null
krax=$PWD/build/linux/tool/krax

# rimraf from the npm registry, in the scratch folder only.
npm install --silent --no-audit --no-fund --prefix "$work/npm" rimraf >/dev/null
rimraf=$work/npm/node_modules/.bin/rimraf
rimraf_version=$(node -p "require('$work/npm/node_modules/rimraf/package.json').version")

# Deterministic tree: folders two levels deep (sqrt(dirs) x sqrt(dirs)),
# FILES_PER_DIR files each, sizes cycling through 0, 100, 1000, 10000 bytes.
generate() {
  python3 - "$1" "$dirs" "$files_per_dir" <<'PY'
import math, os, sys
root, dirs, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sizes = [0, 100, 1000, 10000]
blob = b"k" * max(sizes)
top = max(1, math.isqrt(dirs))
made = 0
os.mkdir(root)
for a in range(top):
    parent = os.path.join(root, "top-%03d" % a)
    os.mkdir(parent)
    made += 1
    for b in range(dirs // top - 1):
        if made >= dirs:
            break
        folder = os.path.join(parent, "sub %03d" % b)
        os.mkdir(folder)
        made += 1
for folder, _, _ in os.walk(root):
    if folder == root:
        continue
    for i in range(per):
        with open(os.path.join(folder, "file-%02d.dat" % i), "wb") as f:
            f.write(blob[: sizes[i % len(sizes)]])
PY
  sync
}

time_one() {  # name, command...
  local name=$1; shift
  local tree=$work/tree
  generate "$tree"
  local start end
  start=$(date +%s.%N)
  "$@" "$tree" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  [[ -e $tree ]] && { echo "$name left the tree behind" >&2; rm -rf "$tree"; }
  echo "$name $(echo "$end - $start" | bc)"
}

declare -A total
contenders=(krax rm shutil rimraf)
run() {
  case $1 in
    krax) time_one krax "$krax" ;;
    rm) time_one rm rm -rf ;;
    shutil) time_one shutil python3 -c 'import shutil, sys; shutil.rmtree(sys.argv[1])' ;;
    rimraf) time_one rimraf "$rimraf" ;;
  esac
}

echo "tree: $dirs folders, $((dirs * files_per_dir)) files; rounds: $rounds; rimraf $rimraf_version"
for ((round = 1; round <= rounds; round++)); do
  # Rotate the order so no contender always runs first after generation.
  for ((i = 0; i < ${#contenders[@]}; i++)); do
    c=${contenders[$(((i + round - 1) % ${#contenders[@]}))]}
    read -r name seconds < <(run "$c")
    echo "round $round: $name ${seconds}s"
    total[$name]=$(echo "${total[$name]:-0} + $seconds" | bc)
  done
done
echo "--- mean seconds over $rounds rounds"
for c in "${contenders[@]}"; do
  printf '%-7s %.3f  (%.2fx rm -rf)\n' "$c" "$(echo "${total[$c]} / $rounds" | bc -l)" \
    "$(echo "${total[$c]} / ${total[rm]}" | bc -l)"
done

# System calls per entry on a small tree: 100 folders, 1000 files.
if command -v strace >/dev/null; then
  echo "--- strace -c of krax on 100 folders, 1000 files"
  dirs=100 files_per_dir=10 generate "$work/small"
  strace -c -o "$work/strace.txt" "$krax" "$work/small" >/dev/null
  grep -E "calls|unlinkat|newfstatat|statx|getdents64|openat|fstat|fchmod|close|brk|mmap" "$work/strace.txt" | grep -v '^-' || true
fi

# Allocations: counted by a preloaded wrapper around malloc, for two trees
# that differ tenfold in files per folder.
if command -v cc >/dev/null; then
  cat >"$work/count_malloc.c" <<'C'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
static unsigned long Calls;
static void *(*Real)(size_t);
void *malloc(size_t Size) {
  if (!Real) Real = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
  ++Calls;
  return Real(Size);
}
__attribute__((destructor)) static void Report(void) { fprintf(stderr, "malloc calls: %lu\n", Calls); }
C
  cc -shared -fPIC -O2 -o "$work/count_malloc.so" "$work/count_malloc.c" -ldl
  for per in 1 10 100; do
    dirs=100 files_per_dir=$per generate "$work/alloc"
    printf '100 folders, %5d files: ' $((100 * per))
    LD_PRELOAD=$work/count_malloc.so "$krax" "$work/alloc" 2>&1 >/dev/null | tail -1
  done
fi
