#!/usr/bin/env bash
# Races libkrax_malloc.so against the C library's allocator, jemalloc, mimalloc
# and tcmalloc (Debian's packages, installed here when missing), each put
# under the same unchanged programs with LD_PRELOAD: the workloads of
# alloc_workloads and Python with PYTHONMALLOC=malloc. Every contender runs
# every workload ROUNDS times, in a rotating order; the best time and the
# smallest peak resident set of the rounds are printed, and both relative to
# the C library's; for a workload that reports "kept-kib N" on standard error
# (trim), also the least memory kept after freeing everything and a trim.
#
#   bash bench/alloc/run.sh [ROUNDS]        (default 3; builds preset linux first)
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${1:-3}
build=build/linux
workloads=(${WORKLOADS:-churn server producer falseshare mixed python randomfree setclear pychurn grow trim})

packages=(libjemalloc2 libmimalloc2.0 libtcmalloc-minimal4 time)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake --preset linux >/dev/null
cmake --build --preset linux --target alloc_workloads krax_malloc >/dev/null

library() { dpkg -L "$1" | grep -E "/$2[^/]*\.so[.0-9]*$" | head -n 1; }
names=(glibc krax jemalloc mimalloc tcmalloc)
declare -A preload=(
  [glibc]=""
  [krax]="$PWD/$build/malloc/libkrax_malloc.so"
  [jemalloc]="$(library libjemalloc2 libjemalloc)"
  [mimalloc]="$(library libmimalloc2.0 libmimalloc)"
  [tcmalloc]="$(library libtcmalloc-minimal4 libtcmalloc_minimal)"
)

# Debian's Python when it is there, whatever else is first on the path.
python=$(command -v /usr/bin/python3 || command -v python3)
command_of() {
  case $1 in
    python) echo "$python bench/alloc/python_workload.py" ;;
    pychurn) echo "$python bench/alloc/python_churn.py" ;;
    *) echo "$build/bench/alloc/alloc_workloads $1" ;;
  esac
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
declare -A best_time best_rss best_kept answer

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null), load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for workload in "${workloads[@]}"; do
  for ((round = 0; round < rounds; round++)); do
    for ((turn = 0; turn < ${#names[@]}; turn++)); do
      name=${names[$(((turn + round) % ${#names[@]}))]}
      # shellcheck disable=SC2046
      env LD_PRELOAD="${preload[$name]}" PYTHONMALLOC=malloc /usr/bin/time -f "%e %M" -o "$scratch/time" \
        $(command_of "$workload") >"$scratch/out" 2>"$scratch/err"
      read -r seconds kilobytes <"$scratch/time"
      kept=$(awk '$1 == "kept-kib" { print $2 }' "$scratch/err")
      if [[ -n $kept ]] && [[ -z ${best_kept[$workload/$name]:-} || $kept -lt ${best_kept[$workload/$name]} ]]; then
        best_kept[$workload/$name]=$kept
      fi
      output=$(cat "$scratch/out")
      if [[ -n ${answer[$workload]:-} && ${answer[$workload]} != "$output" ]]; then
        echo "$name gave a different answer for $workload: $output" >&2
        exit 1
      fi
      answer[$workload]=$output
      key="$workload/$name"
      if [[ -z ${best_time[$key]:-} ]] || awk "BEGIN{exit !($seconds < ${best_time[$key]})}"; then
        best_time[$key]=$seconds
      fi
      if [[ -z ${best_rss[$key]:-} || $kilobytes -lt ${best_rss[$key]} ]]; then
        best_rss[$key]=$kilobytes
      fi
    done
  done
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

printf '| workload | allocator | seconds | time vs glibc | peak RSS MiB | RSS vs glibc | kept after trim MiB |\n'
printf '|---|---|---:|---:|---:|---:|---:|\n'
for workload in "${workloads[@]}"; do
  base_time=${best_time[$workload/glibc]}
  base_rss=${best_rss[$workload/glibc]}
  for name in "${names[@]}"; do
    key="$workload/$name"
    awk -v w="$workload" -v n="$name" -v t="${best_time[$key]}" -v r="${best_rss[$key]}" -v bt="$base_time" -v br="$base_rss" \
      -v k="${best_kept[$key]:-}" \
      'BEGIN { printf "| %s | %s | %.2f | %.2fx | %.1f | %.2fx | %s |\n", w, n, t, (bt > 0 ? t / bt : 0), r / 1024, r / br,
               (k == "" ? "" : sprintf("%.1f", k / 1024)) }'
  done
done
