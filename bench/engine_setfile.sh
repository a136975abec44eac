#!/usr/bin/env bash
# Peak memory of the stand-in engine reading a set file with one huge line,
# and whether it echoes the line back.
#   bench/engine_setfile.sh <path to ulmora-kvt> [line megabytes]
set -euo pipefail
kvt=$1
megabytes=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/store" "$work/local" "$work/work"
{ echo "$work/local"; printf '/'; head -c $((megabytes * 1024 * 1024)) /dev/zero | tr '\0' 'x'; echo; } \
  > "$work/set"
peak_kb() { awk '/^VmHWM/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }
"$kvt" --work-dir="$work/work" --files-from="$work/set" "$work/local" \
  "bench@$work/store::quellar/" > "$work/out" 2> "$work/err" &
pid=$!
peak=0
while kill -0 "$pid" 2>/dev/null; do
  now=$(peak_kb "$pid"); [ -n "$now" ] && [ "$now" -gt "$peak" ] && peak=$now
  sleep 0.05
done
status=0
wait "$pid" || status=$?
echo "a ${megabytes} MB set-file line: exit ${status}, peak ${peak} kB resident," \
     "output $(wc -c < "$work/out") bytes, errors $(wc -c < "$work/err") bytes"
