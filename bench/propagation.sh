#!/usr/bin/env bash
# How fast a change reaches the other machine: two agents of one account
# (stand-in service and engine, all on loopback) against two Syncthing nodes
# on loopback, in one run.
#
# - N files of 1 KiB (1,000 and 10,000) copied into A's folder at once; the
#   time from the end of the copy until every file is complete in B's folder.
#   Syncthing runs with its default settings (file watcher delay 10 s) and
#   with the delay at 1 s.
# - One small file, written ULMORA_BENCH_SMALL_RUNS times (default 20): the
#   median time from the write until it is complete at B, beside the sum of
#   the agent's fixed waits on that road.
#
# Prints lines "ROW<TAB>measure<TAB>agent<TAB>reference<TAB>ratio<TAB>goal" for
# scripts/bench's table. Unscaled: the agent runs at its own pace.
#   ULMORA_BENCH_SIZES  the file counts (default "1000 10000")
#   ULMORA_BENCH_LIMIT  seconds one case may take before it counts as failed
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a build folder}"
bin="$build/bin"
here=$(cd "$(dirname "$0")" && pwd)
sizes="${ULMORA_BENCH_SIZES:-1000 10000}"
limit="${ULMORA_BENCH_LIMIT:-900}"
small_runs="${ULMORA_BENCH_SMALL_RUNS:-20}"
command -v syncthing > /dev/null || { echo "syncthing is not installed" >&2; exit 1; }
source "$here/lib/agents.sh"
bench_prepare

# ---------------------------------------------------------------- the agents
start_service
timed_bin
link_home a
link_home b
start_agent a
start_agent b
wait_listening a 120
wait_listening b 120
root_a=$(root_of a)
root_b=$(root_of b)

# A warm-up file proves the road before anything is timed.
mkdir -p "$root_a/warm"
head -c 1024 /dev/urandom > "$root_a/warm/f0.bin"
wait_count "$root_b" warm 1024 1 "$limit" > /dev/null || { echo "the warm-up file never reached B" >&2; exit 1; }

declare -A agent_time
for n in $sizes; do
  make_tree "$work/tree$n" "$n" 1024
  start_sampler "$work/samples$n" a b
  cp -r "$work/tree$n" "$root_a/agent$n"
  t0=$(now)
  if t1=$(wait_count "$root_b" "agent$n" 1024 "$n" "$limit"); then
    agent_time[$n]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  else
    agent_time[$n]=timeout
    t1=$(now)
  fi
  stop_sampler
  echo "$t0 $t1" > "$work/times$n"
  echo "agent, $n files: ${agent_time[$n]} s"
  echo "where the time of $n files goes:"
  awk -v t0="$t0" -v t1="$t1" -f "$here/lib/where_time_goes.awk" "$work/engine-runs" "$work/samples$n" | tee "$work/split$n" |
    awk -F '\t' '{ printf "  %-110s %s s\n", $1, $2 }'
  last_split=$n
done

# One small file at a time, each in a folder of its own.
small=()
for ((i = 0; i < small_runs; i++)); do
  mkdir -p "$root_a/small$i"
  head -c 100 /dev/urandom > "$root_a/small$i/f0.bin"
  t0=$(now)
  if t1=$(wait_count "$root_b" "small$i" 100 1 120); then
    small+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')")
  else
    small+=(120)
  fi
done
small_median=$(printf '%s\n' "${small[@]}" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
small_min=$(printf '%s\n' "${small[@]}" | sort -g | head -1)
small_max=$(printf '%s\n' "${small[@]}" | sort -g | tail -1)
echo "agent, one small file: median $small_median s (min $small_min, max $small_max) of ${#small[@]}"

if [ -n "${ULMORA_BENCH_KEEP:-}" ]; then
  cp "$(trace_of a)" "$work/trace-a.log" 2>/dev/null || true
  cp "$(trace_of b)" "$work/trace-b.log" 2>/dev/null || true
fi
stop_all

# ---------------------------------------------------------------- Syncthing
declare -A st_time
for delay in 10 1; do
  syncthing_pair "st$delay" "$delay" || { echo "Syncthing did not start" >&2; exit 1; }
  mkdir -p "$st_root_a/warm"
  head -c 1024 /dev/urandom > "$st_root_a/warm/f0.bin"
  wait_count "$st_root_b" warm 1024 1 "$limit" > /dev/null ||
    { echo "Syncthing never synced the warm-up file" >&2; exit 1; }
  for n in $sizes; do
    cp -r "$work/tree$n" "$st_root_a/st$n"
    t0=$(now)
    if t1=$(wait_count "$st_root_b" "st$n" 1024 "$n" "$limit"); then
      st_time[$delay,$n]=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
    else
      st_time[$delay,$n]=timeout
    fi
    echo "Syncthing (watcher delay $delay s), $n files: ${st_time[$delay,$n]} s"
  done
  stop_all
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }
for n in $sizes; do
  printf 'ROW\tpropagation %s x 1 KiB (s)\t%s\t%s (Syncthing default)\t%s\t<= 1.0\n' \
    "$n" "${agent_time[$n]}" "${st_time[10,$n]}" "$(ratio "${agent_time[$n]}" "${st_time[10,$n]}")"
  printf 'ROW\tpropagation %s x 1 KiB (s)\t%s\t%s (Syncthing, watcher 1 s)\t%s\t-\n' \
    "$n" "${agent_time[$n]}" "${st_time[1,$n]}" "$(ratio "${agent_time[$n]}" "${st_time[1,$n]}")"
done
# The fixed waits on the road of one file: on A capture 1 s, the event
# writer's tick up to 2 s, the cycle up to 5 s; on B the listing marker and
# then the downloads each through the input queue (up to 3 s + 2 s) and a
# cycle (up to 5 s). Expected: half of each "up to" wait.
expected=$(awk 'BEGIN { print 1 + 1 + 2.5 + 2.5 + 2.5 + 2.5 + 2.5 }')
[ -n "${last_split:-}" ] && while IFS=$'\t' read -r span seconds; do
  printf 'ROW\t  %s files: %s (s)\t%s\t-\t-\t-\n' "$last_split" "$span" "$seconds"
done < "$work/split$last_split"
printf 'ROW\tone small file, median of %d (s)\t%s\t%s (expected waits; at most 28)\t%s\t<= 1.2\n' \
  "${#small[@]}" "$small_median" "$expected" "$(ratio "$small_median" "$expected")"
