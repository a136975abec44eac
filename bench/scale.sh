#!/usr/bin/env bash
# The agent's idle cost and a big folder, with the stand-in service and
# engine on loopback:
# - an idle agent on an empty folder: CPU time and wake-ups (context
#   switches of all its threads) in 60 s;
# - a folder of ULMORA_BENCH_SCALE_FILES files (default 100,000, 500 to a
#   folder) that the agent journals and uploads from its first start: its peak
#   memory while doing so and the time until every row is in sync;
# - the same agent started again on the folder in sync: start-up time until
#   it is idle, peak and steady memory, CPU time and wake-ups in 60 s of
#   idleness, inotify watches.
# Prints "ROW" lines for scripts/bench's table.
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a build folder}"
bin="$build/bin"
here=$(cd "$(dirname "$0")" && pwd)
files="${ULMORA_BENCH_SCALE_FILES:-100000}"
limit="${ULMORA_BENCH_LIMIT:-1800}"
idle_seconds="${ULMORA_BENCH_IDLE_SECONDS:-60}"
command -v sqlite3 > /dev/null || { echo "sqlite3 is not installed" >&2; exit 1; }
source "$here/lib/agents.sh"
bench_prepare
tick=$(getconf CLK_TCK)

# CPU seconds (user + system) the process has used so far.
cpu_of() { awk -v t="$tick" '{ print ($14 + $15) / t }' "/proc/$1/stat"; }
# Context switches of all its threads (each one a wake-up or a preemption).
switches_of() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'; }
mem_of() { awk -v k="$2:" '$1 == k { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
watches_of() { cat /proc/"$1"/fdinfo/* 2>/dev/null | grep -c '^inotify wd:' || true; }

# wait_quiet PID LIMIT [SECONDS]: until the process used under 20 ms of CPU
# in each of SECONDS (default 3) seconds in a row.
wait_quiet() {
  local pid=$1 deadline=$(( $(date +%s) + $2 )) span=${3:-3} quiet=0 before after
  before=$(cpu_of "$pid")
  while [ "$quiet" -lt "$span" ]; do
    [ "$(date +%s)" -le "$deadline" ] || return 1
    sleep 1
    after=$(cpu_of "$pid")
    if awk -v a="$before" -v b="$after" 'BEGIN { exit !(b - a < 0.02) }'; then quiet=$((quiet + 1)); else quiet=0; fi
    before=$after
  done
}

# idle_cost PID: "cpu_seconds switches" over idle_seconds.
idle_cost() {
  local c0 s0 c1 s1
  c0=$(cpu_of "$1"); s0=$(switches_of "$1")
  sleep "$idle_seconds"
  c1=$(cpu_of "$1"); s1=$(switches_of "$1")
  awk -v a="$c0" -v b="$c1" -v x="$s0" -v y="$s1" 'BEGIN { printf "%.3f %d\n", b - a, y - x }'
}

start_service
link_home a
root=$(root_of a)
db="$(home_of a)/.local/share/ulmora/bench/Database/bench.ql"

# ---------------------------------------------------------------- idle, empty
start_agent a
wait_listening a 120
wait_quiet "$agent_pid_a" 120 12 || true
read -r empty_cpu empty_switches < <(idle_cost "$agent_pid_a")
echo "idle agent, empty folder: ${empty_cpu} s CPU and ${empty_switches} context switches in ${idle_seconds} s"
stop_all

# ---------------------------------------------------------------- first sync
make_tree "$root/big" "$files" 16
in_sync() {
  sqlite3 -readonly "$db" "SELECT COUNT(*) FROM FILE_TABLE WHERE BACKUP_STATUS = '1' AND FILEPATH LIKE '/big/%';" 2>/dev/null || echo 0
}
start_service
t0=$(now)
start_agent a
pid=$agent_pid_a
peak=0
deadline=$(( $(date +%s) + limit ))
while [ "$(in_sync)" -lt "$files" ]; do
  if [ "$(date +%s)" -gt "$deadline" ] || ! kill -0 "$pid" 2>/dev/null; then
    echo "only $(in_sync) of $files rows in sync" >&2
    break
  fi
  sleep 1
done
t1=$(now)
first_sync=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
first_peak=$(mem_of "$pid" VmHWM)
wait_quiet "$pid" 300 || true
after_first=$(mem_of "$pid" VmRSS)
echo "first sync of $files files: ${first_sync} s, peak ${first_peak} MiB, resident after ${after_first} MiB"
stop_all

# ---------------------------------------------------------------- start in sync
start_service
t0=$(now)
start_agent a
pid=$agent_pid_a
wait_listening a 600 || true
wait_quiet "$pid" 600 || true
t1=$(now)
# wait_quiet needs 3 quiet seconds to tell; they are not start-up time.
startup=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a - 3 }')
peak=$(mem_of "$pid" VmHWM)
# The start's own follow-ups (the listing a push asks for, its retries, the
# quota) are not idleness: quiet over two cycles and a queue loop first.
wait_quiet "$pid" 120 12 || true
read -r big_cpu big_switches < <(idle_cost "$pid")
steady=$(mem_of "$pid" VmRSS)
watches=$(watches_of "$pid")
echo "start with $files files in sync: ${startup} s to idle, peak ${peak} MiB, steady ${steady} MiB, ${watches} inotify watches"
echo "idle agent, $files files: ${big_cpu} s CPU and ${big_switches} context switches in ${idle_seconds} s"
stop_all

printf 'ROW\tidle CPU, empty folder (s per %d s)\t%s\t-\t-\tnear 0\n' "$idle_seconds" "$empty_cpu"
printf 'ROW\tidle wake-ups, empty folder (per %d s)\t%s\t-\t-\tParts timers only\n' "$idle_seconds" "$empty_switches"
printf 'ROW\tfirst sync of %d files (s)\t%s\t-\t-\t-\n' "$files" "$first_sync"
printf 'ROW\tpeak memory journalling %d paths (MiB)\t%s\t-\t-\t< 200\n' "$files" "$first_peak"
printf 'ROW\tresident after the first sync (MiB)\t%s\t-\t-\t-\n' "$after_first"
printf 'ROW\tstart-up to idle, %d files in sync (s)\t%s\t-\t-\t-\n' "$files" "$startup"
printf 'ROW\tpeak memory, start in sync (MiB)\t%s\t-\t-\t< 200\n' "$peak"
printf 'ROW\tsteady memory, %d files (MiB)\t%s\t-\t-\t< 200\n' "$files" "$steady"
printf 'ROW\tidle CPU, %d files (s per %d s)\t%s\t-\t-\tnear 0\n' "$files" "$idle_seconds" "$big_cpu"
printf 'ROW\tidle wake-ups, %d files (per %d s)\t%s\t-\t-\tParts timers only\n' "$files" "$idle_seconds" "$big_switches"
printf 'ROW\tinotify watches, %d files (%d folders)\t%s\t-\t-\t-\n' "$files" $(( (files + 499) / 500 + 1 )) "$watches"
