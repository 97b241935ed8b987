#!/usr/bin/env bash
# Proves the README on a machine that has never seen the project: a minimal
# Debian 12 (bookworm) root file system, a clean clone of the committed HEAD
# under /root inside it (mode 0700, as on a real machine), and the README's
# two commands run there as root. Prints each command's result and wall time
# and fails when either fails. CI cannot see a missing install step (its
# machine was set up by earlier work); this can. Run it whenever set-up,
# presets or toolchain files change.
#
#   bash scripts/check-fresh-machine.sh [--refresh] [--keep]
#
#   --refresh  build the cached root file system again
#   --keep     leave the fresh root (and what the commands built) in place
#
# Needs root, git, and mmdebstrap (or debootstrap) with access to Debian's
# package mirror. The root holds only a minimal Debian 12 (apt, the essential
# packages and ca-certificates) and is cached as a tarball in
# $KRAX_FRESH_CACHE (default /var/cache/krax-fresh-root); everything else must
# come from the README's commands. Logs of the last run stay beside it.
#
# What a chroot cannot give: its own kernel, init and services. The tests need
# none of them; what they do need (root, mounting a tmpfs, /proc, a writable
# /tmp, /dev/pts) is mounted below, so no test is skipped here for being in a
# chroot. Any test that skips itself is listed at the end with its reason.
set -euo pipefail

refresh=0
keep=0
for argument in "$@"; do
  case $argument in
    --refresh) refresh=1 ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--refresh] [--keep]" >&2; exit 2 ;;
  esac
done

if [ "$(id -u)" -ne 0 ]; then
  echo "check-fresh-machine: must run as root (it builds a root file system and mounts into it)" >&2
  exit 2
fi

repo=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
head=$(git -C "$repo" rev-parse HEAD)
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
  echo "check-fresh-machine: note: uncommitted changes are not checked; checking HEAD $head"
fi

cache=${KRAX_FRESH_CACHE:-/var/cache/krax-fresh-root}
mirror=${KRAX_FRESH_MIRROR:-http://deb.debian.org/debian}
security_mirror=${KRAX_FRESH_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
tarball=$cache/bookworm-minbase.tar
mkdir -p "$cache"

# --- the cached root file system ---------------------------------------------

build_root_tarball() {
  local partial=$cache/building.tar
  rm -f "$partial"
  if command -v mmdebstrap >/dev/null; then
    mmdebstrap --variant=minbase --format=tar --include=ca-certificates bookworm "$partial" \
      "deb $mirror bookworm main" \
      "deb $mirror bookworm-updates main" \
      "deb $security_mirror bookworm-security main"
  elif command -v debootstrap >/dev/null; then
    local staging
    staging=$(mktemp -d /var/tmp/krax-debootstrap.XXXXXX)
    debootstrap --variant=minbase --include=ca-certificates bookworm "$staging" "$mirror"
    printf '%s\n' "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
      "deb $security_mirror bookworm-security main" >"$staging/etc/apt/sources.list"
    rm -rf "$staging"/var/lib/apt/lists/* "$staging"/var/cache/apt/archives/*.deb
    tar --numeric-owner -C "$staging" -cf "$partial" .
    rm -rf --one-file-system "$staging"
  else
    echo "check-fresh-machine: needs mmdebstrap or debootstrap (apt-get install mmdebstrap)" >&2
    exit 2
  fi
  mv "$partial" "$tarball"
}

if ((refresh)) || [ ! -s "$tarball" ]; then
  echo "=== building a minimal Debian 12 root file system into $tarball"
  started=$SECONDS
  build_root_tarball
  echo "=== root file system built in $((SECONDS - started)) s"
else
  echo "=== using the cached root file system $tarball ($(date -r "$tarball" '+%F %R'))"
fi

# --- a fresh root with a clean clone ------------------------------------------

work=$(mktemp -d /var/tmp/krax-fresh.XXXXXX)
root=$work/root
mounted=()

# Ends what still runs inside the root (a Wine server lingers for a few
# seconds after its last program), then unmounts in reverse order. The root
# is removed only when nothing is mounted below it any more.
cleanup() {
  local status=$? pid index
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -KILL "$pid" 2>/dev/null
  done
  for ((index = ${#mounted[@]} - 1; index >= 0; --index)); do
    umount "${mounted[index]}" 2>/dev/null || {
      sleep 1
      umount "${mounted[index]}" || umount --lazy "${mounted[index]}" || true
    }
  done
  if grep -qF " $root/" /proc/self/mountinfo; then
    echo "check-fresh-machine: something is still mounted below $root; left in place" >&2
  elif ((keep)); then
    echo "check-fresh-machine: the fresh root is kept in $root"
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_into() {
  local target=$root$1; shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
  # Nothing mounted inside the root may show up outside it.
  mount --make-private "$target"
}

mkdir "$root"
tar --numeric-owner -C "$root" -xf "$tarball"
# A real machine resolves names; the root gets this machine's resolver.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet --no-hardlinks "$repo" "$root/root/krax"
git -C "$root/root/krax" checkout --quiet --detach "$head"
echo "=== clean clone of $head in /root/krax (/root has mode $(stat -c %a "$root/root"))"

mount_into /proc -t proc proc
mount_into /sys -t sysfs -o ro sysfs
mount_into /dev --bind /dev
mount_into /dev/pts --bind /dev/pts
mount_into /dev/shm -t tmpfs -o mode=1777,nosuid,nodev tmpfs
mount_into /tmp -t tmpfs -o mode=1777,nosuid,nodev tmpfs

# --- the README's two commands --------------------------------------------------

logs=$cache/last-run
rm -rf "$logs"
mkdir -p "$logs"
results=()
failed=0

# Runs one README command in the root as root would after logging in. It runs
# niced: the machine may be shared, and on an idle one it costs nothing.
run_readme_command() {
  local command=$1 log=$logs/$2.log started status elapsed
  echo "=== $command"
  started=$SECONDS
  set +e
  nice -n 10 chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM="${TERM:-dumb}" \
    /bin/bash -l -c "cd /root/krax && $command" </dev/null 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  elapsed=$((SECONDS - started))
  local verdict=passed
  if ((status != 0)); then
    verdict="FAILED (exit $status)"
    failed=1
  fi
  results+=("$(printf '%-22s %-18s %dm%02ds' "$command" "$verdict" $((elapsed / 60)) $((elapsed % 60)))")
}

run_readme_command "bash scripts/demo.sh" demo
run_readme_command "bash scripts/test.sh" test

echo
echo "=== skipped test cases in the fresh root (from each preset's test log)"
skips=0
for test_log in "$root"/root/krax/build/*/Testing/Temporary/LastTest.log; do
  [ -f "$test_log" ] || continue
  preset=$(basename "$(dirname "$(dirname "$(dirname "$test_log")")")")
  # GoogleTest prints the reason on the line before "[  SKIPPED ] Suite.Case (N ms)".
  while IFS= read -r line; do
    echo "$preset: $line"
    skips=1
  done < <(awk '/^\[  SKIPPED \] [^ ]+ \(/ { print $4 ": " previous } { previous = $0 }' "$test_log")
done
((skips)) || echo "none"

echo
echo "=== fresh Debian 12 root, clean clone of ${head:0:12} under /root (logs in $logs)"
printf '%s\n' "${results[@]}"
exit "$failed"
