#!/usr/bin/env bash
# Times the deletion of one generated tree by krax, krax with one walk worker
# (the one-thread walk, as on a one-processor machine), rm -rf, Python's
# shutil.rmtree and rimraf, in one run on the same machine. Every contender
# gets a freshly generated, identical tree (FILES files in DIRS folders, a few
# sizes), written back to disk before the clock starts. Then it checks, on a
# small tree, which system calls krax makes per file with all its threads and
# with one (strace -c -f) and that its allocations grow with folders, not with
# files. The load average is printed before and after, for the record.
#
# Usage: bash bench/tree_delete.sh [rounds]        (from the repository root)
# Environment: DIRS (default 10000), FILES_PER_DIR (default 10), WORK (scratch
# folder, default a new one under /tmp), BASE_KRAX (optional: another build's
# krax, such as main's, raced as krax-base in the same run).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-3}
dirs=${DIRS:-10000}
files_per_dir=${FILES_PER_DIR:-10}
work=${WORK:-$(mktemp -d /tmp/krax-bench-XXXXXX)}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

cmake --preset linux >/dev/null
cmake --build --preset linux --target krax krax_workers >/dev/null
krax=$PWD/build/linux/tool/krax
# The test build that takes the number of walk workers as its first argument.
krax_workers=$PWD/build/linux/tests/tool/krax_workers

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
contenders=(krax krax-1 rm shutil rimraf)
[[ -n ${BASE_KRAX:-} ]] && contenders+=(krax-base)
run() {
  case $1 in
    krax-base) time_one krax-base "$BASE_KRAX" ;;
    krax) time_one krax "$krax" ;;
    krax-1) time_one krax-1 "$krax_workers" 1 ;;
    rm) time_one rm rm -rf ;;
    shutil) time_one shutil python3 -c 'import shutil, sys; shutil.rmtree(sys.argv[1])' ;;
    rimraf) time_one rimraf "$rimraf" ;;
  esac
}

echo "tree: $dirs folders, $((dirs * files_per_dir)) files; rounds: $rounds; rimraf $rimraf_version"
echo "processors: $(nproc); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((round = 1; round <= rounds; round++)); do
  # Rotate the order so no contender always runs first after generation.
  for ((i = 0; i < ${#contenders[@]}; i++)); do
    c=${contenders[$(((i + round - 1) % ${#contenders[@]}))]}
    read -r name seconds < <(run "$c")
    echo "round $round: $name ${seconds}s"
    total[$name]=$(echo "${total[$name]:-0} + $seconds" | bc)
  done
done
echo "--- mean seconds over $rounds rounds; load after: $(cut -d' ' -f1-3 /proc/loadavg)"
for c in "${contenders[@]}"; do
  printf '%-7s %.3f  (%.2fx rm -rf)\n' "$c" "$(echo "${total[$c]} / $rounds" | bc -l)" \
    "$(echo "${total[$c]} / ${total[rm]}" | bc -l)"
done

# System calls per entry on a small tree: 100 folders, 1000 files, every
# thread counted.
if command -v strace >/dev/null; then
  for variant in krax krax-1; do
    echo "--- strace -c -f of $variant on 100 folders, 1000 files"
    dirs=100 files_per_dir=10 generate "$work/small"
    if [[ $variant == krax ]]; then
      strace -c -f -o "$work/strace.txt" "$krax" "$work/small" >/dev/null
    else
      strace -c -f -o "$work/strace.txt" "$krax_workers" 1 "$work/small" >/dev/null
    fi
    grep -E "calls|unlinkat|newfstatat|statx|getdents64|openat|fstat|fcntl|fchmod|close|futex|clone|brk|mmap|total" \
      "$work/strace.txt" | grep -v '^-' || true
  done
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
  __atomic_fetch_add(&Calls, 1, __ATOMIC_RELAXED);  /* the walk's threads allocate too */
  return Real(Size);
}
__attribute__((destructor)) static void Report(void) { fprintf(stderr, "malloc calls: %lu\n", Calls); }
C
  cc -shared -fPIC -O2 -o "$work/count_malloc.so" "$work/count_malloc.c" -ldl
  for per in 1 10 100; do
    for variant in krax krax-1; do
      dirs=100 files_per_dir=$per generate "$work/alloc"
      printf '%-6s 100 folders, %5d files: ' "$variant" $((100 * per))
      if [[ $variant == krax ]]; then
        LD_PRELOAD=$work/count_malloc.so "$krax" "$work/alloc" 2>&1 >/dev/null | tail -1
      else
        LD_PRELOAD=$work/count_malloc.so "$krax_workers" 1 "$work/alloc" 2>&1 >/dev/null | tail -1
      fi
    done
  done
fi
