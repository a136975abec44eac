#!/usr/bin/env bash
# Whole-run upload benchmark: 10,000 files of 4 KiB uploaded through
# KVTBackupManager and the stand-in engine into an empty storage folder, and
# the same tree copied with `rsync -a`, in one run. Prints both wall times and
# their ratio (the goal is at most 2).
#
# Needs a Release build with the benchmarks (scripts/bench sets
# ULMORA_BENCH_BUILD to it).
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a Release build folder}"
driver="$build/bench/engine_upload_driver"
engine="$build/bin/ulmora-kvt"
files="${ULMORA_BENCH_FILES:-10000}"
for f in "$driver" "$engine"; do
  [ -x "$f" ] || { echo "missing $f (build the bench targets first)" >&2; exit 1; }
done
command -v rsync >/dev/null || { echo "rsync is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/storage" "$work/rsync-copy" "$work/run"
"$driver" make-tree "$work/source" "$files" 4096

now() { date +%s.%N; }

t0=$(now)
rsync -a "$work/source/" "$work/rsync-copy/"
t1=$(now)
"$driver" upload "$engine" "$work/storage" "$work/source" "$work/run"
t2=$(now)

awk -v a="$t0" -v b="$t1" -v c="$t2" -v n="$files" 'BEGIN {
  r = b - a; u = c - b;
  printf "files: %d x 4 KiB\n", n;
  printf "rsync -a:          %.3f s\n", r;
  printf "KVTBackupManager:  %.3f s\n", u;
  printf "ratio (upload / rsync): %.2f\n", u / r;
  printf "ROW\tengine upload %d x 4 KiB (s)\t%.2f\t%.2f (rsync -a)\t%.2f\t<= 2\n", n, u, r, u / r;
}'
