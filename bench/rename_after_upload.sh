#!/usr/bin/env bash
# One small file at a time, each followed by a rename of another file the
# moment the small file's upload run ends (a tool run by hand; it prints no
# table row). The rename's push makes the other computer list again while
# it still downloads the small file, from the listing index it held back:
# the same record comes again and queues the file a second time. Counted as
# pending once its download wrote it, that entry made the next download set
# the same as the last one, which waits a minute before it starts.
#
#   ULMORA_BENCH_BUILD=build/release bench/rename_after_upload.sh [SAMPLES] [BYTES]
#
# Prints each sample's seconds (from the copy into A's folder until the file
# is at B with A's contents) with the load average, then min / median / max
# and the samples over 20 s.
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a build folder}"
bin="$build/bin"
here=$(cd "$(dirname "$0")" && pwd)
samples="${1:-10}"
bytes="${2:-100}"
limit="${ULMORA_BENCH_LIMIT:-300}"
source "$here/lib/agents.sh"
bench_prepare

start_service
timed_bin
link_home a
link_home b
start_agent a
start_agent b
wait_listening a 120 && wait_listening b 120
src=$(root_of a)
dst=$(root_of b)
# The warm-up file proves the road; g0.bin is the file renamed each time
# (its name is not one the completion check counts).
mkdir -p "$src/warm"
head -c 1024 /dev/urandom > "$src/warm/f0.bin"
head -c 1024 /dev/urandom > "$src/warm/g0.bin"
hashes_of "$src/warm" > "$work/warm.sha"
wait_same "$dst/warm" "$work/warm.sha" 1 "$limit" > /dev/null
until [ -f "$dst/warm/g0.bin" ]; do sleep 0.1; done

uploads_ended() { grep -c "^end .*/a/home upload" "$work/engine-runs" || true; }
for ((i = 0; i < samples; i++)); do
  rm -rf "$work/one"
  mkdir -p "$work/one"
  head -c "$bytes" /dev/urandom > "$work/one/f0.bin"
  hashes_of "$work/one" > "$work/one.sha"
  ended=$(uploads_ended)
  l0=$(loadavg)
  cp -r "$work/one" "$src/small$i"
  t0=$(now)
  deadline=$(($(date +%s) + limit))
  while [ "$(uploads_ended)" -le "$ended" ] && [ "$(date +%s)" -le "$deadline" ]; do sleep 0.05; done
  mv "$src/warm/g$i.bin" "$src/warm/g$((i + 1)).bin"
  if t1=$(wait_same "$dst/small$i" "$work/one.sha" 1 "$limit"); then s=$(elapsed "$t0" "$t1"); else s=timeout; fi
  echo "$s" >> "$work/times"
  echo "sample $((i + 1)): $s s (load $l0)"
done
read -r lo med hi < <(stats "$work/times")
over=$(sed "s/^timeout$/$limit/" "$work/times" | awk '$1 > 20' | wc -l)
echo "min / median / max: $lo / $med / $hi s; over 20 s: $over of $samples"
