#!/usr/bin/env bash
# The first sync of a large folder: computer A starts with N files of 1 KiB
# (ULMORA_BENCH_FIRST_SIZES, default "10000 100000", 500 to a folder), B
# starts empty; the time from starting both until every file is at B with
# A's contents (sha256). Two agents of one account (stand-in service and
# engine on loopback) against two Syncthing nodes on loopback (default
# settings, discovery, relays, NAT and usage reporting off).
#
# ULMORA_BENCH_FIRST_ROUNDS rounds (default 1), each with fresh pairs, the
# order of the two systems reversed every other round. Besides the time: the
# time per 1,000 files (linear if it holds from the smaller size to the
# larger) and the agents' peak memory (VmHWM of A and of B).
# ULMORA_BENCH_FIRST_SYSTEMS="agent" leaves Syncthing out (its figures then
# read "-"): the agents' memory and time alone, where Syncthing is missing.
# Prints "ROW" lines for scripts/bench's table.
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a build folder}"
bin="$build/bin"
here=$(cd "$(dirname "$0")" && pwd)
sizes="${ULMORA_BENCH_FIRST_SIZES:-10000 100000}"
rounds="${ULMORA_BENCH_FIRST_ROUNDS:-1}"
limit="${ULMORA_BENCH_LIMIT:-3600}"
systems="${ULMORA_BENCH_FIRST_SYSTEMS:-agent syncthing}"
if [[ " $systems " == *" syncthing "* ]]; then
  command -v syncthing > /dev/null || { echo "syncthing is not installed" >&2; exit 1; }
fi
source "$here/lib/agents.sh"
bench_prepare
poll_seconds=1  # counting 100,000 files every 50 ms would load the machine itself

mem_of() { awk -v k="$2:" '$1 == k { printf "%.1f", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || echo -; }

for n in $sizes; do
  make_tree "$work/tree$n" "$n" 1024
  hashes_of "$work/tree$n" > "$work/tree$n.sha"
done

# Each runs in a subshell (its output is read), so a counter would not
# advance: every pair is named after its size and round instead.
first_agent() {  # N ROUND: prints "seconds peakA peakB"
  local n=$1 saved=$work t0 t1 s peak_a peak_b
  work="$work/pair-$n-$2"
  mkdir -p "$work"
  start_service
  link_home a
  link_home b
  cp -r "$saved/tree$n" "$(root_of a)/big"
  t0=$(now)
  start_agent a
  start_agent b
  if t1=$(wait_same "$(root_of b)/big" "$saved/tree$n.sha" "$n" "$limit"); then s=$(elapsed "$t0" "$t1"); else s=timeout; fi
  peak_a=$(mem_of "$agent_pid_a" VmHWM)
  peak_b=$(mem_of "$agent_pid_b" VmHWM)
  stop_all
  unset service_port
  work=$saved
  echo "$s $peak_a $peak_b"
}

first_syncthing() {  # N ROUND: prints "seconds"
  local n=$1 t0 t1
  syncthing_pair "first-$n-$2" 10 > /dev/null || { echo timeout; return; }
  # The pair is up and empty; the tree appears at A at once (a move), and
  # the timing starts with it.
  mv "$work/tree$n" "$st_root_a/big"
  t0=$(now)
  if t1=$(wait_same "$st_root_b/big" "$work/tree$n.sha" "$n" "$limit"); then elapsed "$t0" "$t1"; else echo timeout; fi
  mv "$st_root_a/big" "$work/tree$n"
  stop_all
}

for ((r = 1; r <= rounds; r++)); do
  order=$systems
  ((r % 2)) || order=$(echo "$systems" | awk '{ for (i = NF; i > 0; i--) printf "%s%s", $i, (i > 1 ? " " : "") }')
  for n in $sizes; do
    for sys in $order; do
      l0=$(loadavg)
      if [ "$sys" = agent ]; then
        read -r s pa pb < <(first_agent "$n" "$r")
        echo "$pa $pb" >> "$work/peak-$n"
      else
        s=$(first_syncthing "$n" "$r")
      fi
      echo "$s" >> "$work/$sys-$n"
      echo "$l0 $(loadavg)" | awk '{ print ($1 + $2) / 2 }' >> "$work/load-$n"
      echo "round $r: $sys, first sync of $n files: $s s (load $l0 -> $(loadavg))"
    done
  done
done

for n in $sizes; do
  read -r a_min a_med a_max < <(stats "$work/agent-$n")
  read -r s_min s_med s_max < <(stats "$work/syncthing-$n")
  lavg=$(mean_of "$work/load-$n")
  printf 'ROW\tfirst sync of %s x 1 KiB, load %s (s, min / median / max)\t%s / %s / %s\t%s / %s / %s (Syncthing default)\t%s / %s\t-\n' \
    "$n" "$lavg" "$a_min" "$a_med" "$a_max" "$s_min" "$s_med" "$s_max" "$(ratio "$a_min" "$s_min")" "$(ratio "$a_med" "$s_med")"
  printf 'ROW\tfirst sync of %s files, per 1,000 (s, median)\t%s\t%s (Syncthing default)\t%s\t<= 1.2 s, linear\n' \
    "$n" "$(awk -v a="$a_med" -v n="$n" 'BEGIN { printf "%.2f", a * 1000 / n }')" \
    "$(awk -v a="$s_med" -v n="$n" 'BEGIN { if (a + 0 > 0) printf "%.2f", a * 1000 / n; else print "-" }')" "$(ratio "$a_med" "$s_med")"
  printf 'ROW\tfirst sync of %s files, agent peak memory A / B (MiB, highest)\t%s / %s\t-\t-\t< 100\n' "$n" \
    "$(sort -g -k1 "$work/peak-$n" | tail -1 | cut -d' ' -f1)" "$(sort -g -k2 "$work/peak-$n" | tail -1 | cut -d' ' -f2)"
done
