#!/usr/bin/env bash
# Installs what is missing, builds KRAX for Linux, creates a sample tree and
# deletes it with KRAX.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target krax

work=$(mktemp -d)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
tree="$work/sample tree"
outside="$work/outside"
mkdir -p "$outside"
echo "keep me" > "$outside/precious.txt"

# A few hundred files in nested folders, a read-only file and a link that
# points out of the tree.
for a in 1 2 3 4; do
  for b in 1 2 3 4 5; do
    dir="$tree/level-$a/sub-$b"
    mkdir -p "$dir"
    for f in $(seq 1 16); do
      head -c $((f * 100)) /dev/zero > "$dir/file-$f.dat"
    done
  done
done
echo "read only" > "$tree/level-1/read-only.txt"
chmod a-w "$tree/level-1/read-only.txt"
ln -s "$outside" "$tree/level-2/link-to-outside"
ln -s "$outside/precious.txt" "$tree/level-3/link-to-outside-file"
mkdir -p "$tree/-dash name/Grüße"
echo "odd names" > "$tree/-dash name/Grüße/ünïcödé.txt"

echo "--- krax \"$tree\""
./build/linux/tool/krax "$tree"
echo "--- tree still there: $([ -e "$tree" ] && echo yes || echo no)"
echo "--- target of the link still there: $(cat "$outside/precious.txt")"
