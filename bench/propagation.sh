#!/usr/bin/env bash
# How fast a change reaches the other machine: two agents of one account
# (stand-in service and engine, all on loopback) beside two Syncthing nodes
# on loopback, once with Syncthing's default watcher delay (10 s) and once
# with 1 s.
#
# Every system runs in interleaved rounds (ULMORA_BENCH_ROUNDS, at least 5):
# in each round each system gets a fresh pair, and the order of the systems
# is reversed every other round, so a drift of the machine's load falls on
# all of them alike. A case is complete when every file at B has the
# source's contents (sha256), not merely its size.
#
# - N files of 1 KiB (ULMORA_BENCH_SIZES, default "1000 10000") copied into
#   A's folder at once; the time from the end of the copy until all are
#   complete at B. For the largest N, where the agent's time goes.
# - One small file at a time, on pairs of their own (no backlog of a large
#   case leaks in): ULMORA_BENCH_SMALL_RUNS samples per system (default 21),
#   spread over the rounds.
# - ULMORA_BENCH_LOADS ("idle cpu" by default): "cpu" runs the same cases
#   again while `stress-ng --cpu 8` holds the machine, so the sensitivity to
#   load is a figure.
#
# Each figure is min / median / max over the rounds, with the mean 1-minute
# load average over its samples. Prints lines
# "ROW<TAB>measure<TAB>agent<TAB>reference<TAB>ratio<TAB>goal" for
# scripts/bench's table. Unscaled: the agent runs at its own pace.
#   ULMORA_BENCH_LIMIT  seconds one case may take before it counts as failed
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a build folder}"
bin="$build/bin"
here=$(cd "$(dirname "$0")" && pwd)
sizes="${ULMORA_BENCH_SIZES:-1000 10000}"
rounds="${ULMORA_BENCH_ROUNDS:-5}"
small_runs="${ULMORA_BENCH_SMALL_RUNS:-21}"
loads="${ULMORA_BENCH_LOADS:-idle cpu}"
limit="${ULMORA_BENCH_LIMIT:-900}"
systems=(agent st10 st1)
command -v syncthing > /dev/null || { echo "syncthing is not installed" >&2; exit 1; }
[[ " $loads " != *" cpu "* ]] || command -v stress-ng > /dev/null ||
  { echo "stress-ng is not installed" >&2; exit 1; }
source "$here/lib/agents.sh"
bench_prepare

# ------------------------------------------------------------ fresh pairs
# pair_up SYSTEM: a fresh pair of SYSTEM, up and proven by a warm-up file;
# sets src and dst (the two synced folders).
pair_up() {
  local sys=$1
  if [ "$sys" = agent ]; then
    work_root="$work/pair$((++pair_count))"
    mkdir -p "$work_root"
    local saved_work=$work
    work=$work_root
    start_service
    timed_bin
    link_home a
    link_home b
    start_agent a
    start_agent b
    wait_listening a 120 && wait_listening b 120 || { work=$saved_work; return 1; }
    src=$(root_of a)
    dst=$(root_of b)
    pair_work=$work
    work=$saved_work
    unset service_port
  else
    syncthing_pair "p$((++pair_count))$sys" "${sys#st}" || return 1
    src=$st_root_a
    dst=$st_root_b
    pair_work=""
  fi
  mkdir -p "$src/warm"
  head -c 1024 /dev/urandom > "$src/warm/f0.bin"
  hashes_of "$src/warm" > "$work/warm.sha"
  wait_same "$dst/warm" "$work/warm.sha" 1 "$limit" > /dev/null
}

# one_case SYSTEM TREE NAME: copies TREE into the pair's source folder as
# NAME and prints the seconds until it is complete at the other end, or
# "timeout"; its start and end times go to $work/last-times.
one_case() {
  local tree=$2 name=$3 n t0 t1
  n=$(find "$tree" -type f -name 'f*.bin' | wc -l)
  cp -r "$tree" "$src/$name"
  t0=$(now)
  if t1=$(wait_same "$dst/$name" "$tree.sha" "$n" "$limit"); then
    elapsed "$t0" "$t1"
  else
    echo timeout
    t1=$(now)
  fi
  echo "$t0 $t1" > "$work/last-times"
}

# Order of the systems in round R: as listed, reversed every other round.
order_of() {
  if (($1 % 2)); then echo "${systems[@]}"; else printf '%s\n' "${systems[@]}" | tac | tr '\n' ' '; fi
}

stress_pid=""
start_load() {
  [ "$1" = cpu ] || return 0
  stress-ng --cpu 8 --cpu-method matrixprod --timeout 4h > /dev/null 2>&1 &
  stress_pid=$!
  sleep 5
}
stop_load() {
  [ -n "$stress_pid" ] || return 0
  kill -TERM "$stress_pid" 2>/dev/null || true
  wait "$stress_pid" 2>/dev/null || true
  stress_pid=""
}
trap 'stop_load; bench_cleanup' EXIT

pair_count=0
for n in $sizes; do
  make_tree "$work/tree$n" "$n" 1024
  hashes_of "$work/tree$n" > "$work/tree$n.sha"
done
mkdir -p "$work/small"
largest=$(printf '%s\n' $sizes | sort -g | tail -1)
per_round=$(( (small_runs + rounds - 1) / rounds ))

for load in $loads; do
  start_load "$load"
  for ((r = 1; r <= rounds; r++)); do
    for sys in $(order_of "$r"); do
      # The sized cases, one pair per size.
      for n in $sizes; do
        if ! pair_up "$sys"; then
          echo "$load round $r: $sys did not come up for $n files" >&2
          echo timeout >> "$work/$load-$sys-$n"
          stop_all
          continue
        fi
        l0=$(loadavg)
        if [ -n "$pair_work" ]; then
          saved_work=$work; work=$pair_work
          start_sampler "$pair_work/samples" a b
          work=$saved_work
        fi
        s=$(one_case "$sys" "$work/tree$n" "case$n")
        stop_sampler
        echo "$s" >> "$work/$load-$sys-$n"
        echo "$l0 $(loadavg)" | awk '{ print ($1 + $2) / 2 }' >> "$work/$load-load-$n"
        echo "$load round $r: $sys, $n files: $s s (load $l0 -> $(loadavg))"
        if [ "$sys" = agent ] && [ "$n" = "$largest" ] && [ "$s" != timeout ]; then
          read -r last_t0 last_t1 < "$work/last-times"
          awk -v t0="$last_t0" -v t1="$last_t1" -v n="$n" -f "$here/lib/where_time_goes.awk" \
            "$pair_work/engine-runs" "$pair_work/samples" >> "$work/$load-split"
          # A's handling left after its last upload run ended: A writes its
          # recent items once per finished file, so their last write is the
          # end of that handling (0 when it kept pace with the engine).
          up_end=$(awk '$1 == "end" && $5 == "upload" && $4 ~ /\/a\/home$/ { print $3 }' "$pair_work/engine-runs" |
                   sort -g | tail -1)
          recent=$(stat -c %.9Y "$pair_work/a/home/.local/share/ulmora/bench/RecentItems.plist" 2>/dev/null || true)
          awk -v e="$up_end" -v m="$recent" -v n="$n" 'BEGIN {
                printf "A'"'"'s handling left after its last upload run ended (ms per file)\t"
                if (e == "" || m == "") print "-"; else printf "%.4f\n", (m > e ? m - e : 0) * 1000 / n }' \
            >> "$work/$load-split"
        fi
        stop_all
      done
      # One small file at a time, on a pair of its own.
      ((small_runs > 0)) || continue
      pair_up "$sys" || { echo "$load round $r: $sys did not come up for small files" >&2; stop_all; continue; }
      for ((i = 0; i < per_round; i++)); do
        [ "$(cat "$work/$load-$sys-small" 2>/dev/null | wc -l)" -lt "$small_runs" ] || break
        rm -rf "$work/small/one"
        mkdir -p "$work/small/one"
        head -c 100 /dev/urandom > "$work/small/one/f0.bin"
        hashes_of "$work/small/one" > "$work/small/one.sha"
        l0=$(loadavg)
        s=$(one_case "$sys" "$work/small/one" "small$r-$i")
        echo "$s" >> "$work/$load-$sys-small"
        echo "$l0" >> "$work/$load-load-small"
      done
      echo "$load round $r: $sys, small files so far: $(tr '\n' ' ' < "$work/$load-$sys-small")"
      stop_all
    done
  done
  stop_load
done

# ------------------------------------------------------------ the table
# The fixed waits on the road of one file: on A capture 1 s, the event
# writer's tick up to 2 s, the cycle up to 5 s; on B the listing marker and
# then the downloads each through the input queue (up to 3 s + 2 s) and a
# cycle (up to 5 s). Expected: half of each "up to" wait.
floor=$(awk 'BEGIN { print 1 + 1 + 2.5 + 2.5 + 2.5 + 2.5 + 2.5 }')
cases=$sizes
((small_runs == 0)) || cases+=" small"
for load in $loads; do
  for n in $cases; do
    read -r a_min a_med a_max < <(stats "$work/$load-agent-$n")
    what="propagation $n x 1 KiB"
    [ "$n" != small ] || what="one small file, $(wc -l < "$work/$load-agent-small") samples"
    lavg=$(mean_of "$work/$load-load-$n")
    for st in st10 st1; do
      read -r s_min s_med s_max < <(stats "$work/$load-$st-$n")
      label="Syncthing default"
      [ "$st" = st10 ] || label="Syncthing, watcher 1 s"
      goal="-"
      [ "$st" != st10 ] || goal="<= 1.0 (median)"
      printf 'ROW\t%s, %s, load %s (s, min / median / max)\t%s / %s / %s\t%s / %s / %s (%s)\t%s / %s\t%s\n' \
        "$what" "$load" "$lavg" "$a_min" "$a_med" "$a_max" "$s_min" "$s_med" "$s_max" "$label" \
        "$(ratio "$a_min" "$s_min")" "$(ratio "$a_med" "$s_med")" "$goal"
    done
    if [ "$n" = small ]; then
      over=$(sed "s/^timeout$/$limit/" "$work/$load-agent-small" | awk '$1 > 20' | wc -l)
      printf 'ROW\tone small file, %s: median against the fixed waits; samples over 20 s\t%s; %s over 20 s\t%s (fixed waits)\t%s\t<= 1.1, none over 20 s\n' \
        "$load" "$a_med" "$over" "$floor" "$(ratio "$a_med" "$floor")"
    fi
  done
  if [ -s "$work/$load-split" ]; then
    # The median of every span over the rounds.
    awk -F '\t' '{ k[NR] = $1; v[$1] = v[$1] " " $2; if (!($1 in seen)) { seen[$1] = 1; order[++m] = $1 } }
      END { for (i = 1; i <= m; i++) print order[i] "\t" v[order[i]] }' "$work/$load-split" |
      while IFS=$'\t' read -r span values; do
        med=$(printf '%s\n' $values | grep -v '^-$' | sort -g |
              awk '{ v[NR] = $1 } END { if (!NR) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
        printf 'ROW\t  %s files, %s: %s (s, median)\t%s\t-\t-\t-\n' "$largest" "$load" "$span" "$med"
      done
  fi
done
