#!/usr/bin/env bash
# Whole-agent upload benchmark: N files of 4 KiB (default 10,000) dropped into
# the sync folder of a running agent, timed until every file's database row
# says in sync, against `rsync -a` of the same tree in the same run.
#
# Prints the agent's total time T, the part W of it that the agent's fixed
# waits account for (file-event coalescing, the journal writer's tick, the
# sync cycle), read from the daemon trace, and (T - W) / rsync (goal: <= 2).
#
# Needs a build with the agent and the stand-in engine (scripts/bench sets
# ULMORA_BENCH_BUILD to its Release build).
set -euo pipefail
build="${ULMORA_BENCH_BUILD:?set ULMORA_BENCH_BUILD to a build folder}"
bin="$build/bin"
files="${ULMORA_BENCH_FILES:-10000}"
limit="${ULMORA_BENCH_TIMEOUT:-1800}"
for f in "$bin/ulmora-agent" "$bin/ulmora-kvt"; do
  [ -x "$f" ] || { echo "missing $f (build the agent and the engine first)" >&2; exit 1; }
done
command -v rsync >/dev/null || { echo "rsync is not installed" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed" >&2; exit 1; }

umask 077
work=$(mktemp -d)
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
[ -n "${ULMORA_BENCH_KEEP:-}" ] && trap '[ -n "$agent_pid" ] && kill -TERM "$agent_pid"; echo "kept $work"' EXIT

home="$work/home"
user=bench
root="$home/UlmoraSync"
storage="$work/storage/localhost"
config="$home/.config/ulmora"
mkdir -p "$config/accounts/$user" "$storage" "$root" "$work/run" "$work/source" "$work/rsync-copy"

source "$(cd "$(dirname "$0")" && pwd)/lib/agents.sh"
plist "$config/LastUserLoginDetails.plist" \
  "Ulmora username" "$user" "UlmoraUsername" "$user" "UlmoraSync username" "$user" \
  "UlmoraSync password" "$(shifted "$user")" "UserAtServer" "$user@localhost::quellar" \
  "IP" "localhost" "serverName" "localhost" "Account plan" "F" "Pause" "0" \
  "Unlink status" "0" "Move in progress" "0"
cp "$config/LastUserLoginDetails.plist" "$config/accounts/$user/LoginDetails.plist"
plist "$config/SyncFolders.plist" "$user" "$root"
plist "$config/AccountDetails.plist" "UlmoraUsername" "$user" "ParentAccount" "$user"

# The tree, made once outside the sync folder.
for ((i = 0; i < files; i++)); do
  d="$work/source/d$((i / 500))"
  [ -d "$d" ] || mkdir -p "$d"
  head -c 4096 /dev/urandom > "$d/f$i.bin"
done

now() { date +%s.%N; }

t0=$(now)
rsync -a "$work/source/" "$work/rsync-copy/"
t1=$(now)

ULMORA_STORAGE_ROOT="$work/storage" HOME="$home" XDG_RUNTIME_DIR="$work/run" "$bin/ulmora-agent" > "$work/agent.out" 2>&1 &
agent_pid=$!
trace="$home/.local/state/ulmora/Logs/SyncDaemonTrace.log"
db="$home/.local/share/ulmora/$user/Database/$user.ql"
# The account runs once its first walk is done; the drop waits for that.
for _ in $(seq 1 300); do grep -q "the walk of the sync root finished" "$trace" 2>/dev/null && break; sleep 0.1; done
grep -q "the walk of the sync root finished" "$trace" 2>/dev/null || { echo "the account never started" >&2; exit 1; }
sleep 2

in_sync() {
  sqlite3 -readonly "$db" \
    "SELECT COUNT(*) FROM FILE_TABLE WHERE BACKUP_STATUS = '1' AND FILEPATH LIKE '/d%/f%.bin';" \
    2>/dev/null || echo 0
}

t2=$(now)
cp -a "$work/source/." "$root/"
deadline=$(( $(date +%s) + limit ))
while [ "$(in_sync)" -lt "$files" ]; do
  if [ "$(date +%s)" -gt "$deadline" ]; then
    echo "only $(in_sync) of $files rows in sync after ${limit} s" >&2
    exit 1
  fi
  sleep 0.2
done
t3=$(now)

# Fixed waits, from the trace (whole seconds). W1: the drop until the first
# upload run starts (event coalescing, the journal writer's tick and the
# cycle's wait), plus each gap between one run's end and the next run's
# start. W2: the last run's end until every row says in sync (the input
# queue's writer tick, its database batch pacing and the merge timer; this
# also holds the little real work of writing and merging the rows).
to_epoch() {  # "MM-dd-yyyy HH:mm:ss" (local time)
  local d=${1%% *} t=${1#* }
  date -d "${d:6:4}-${d:0:2}-${d:3:2} $t" +%s
}
w=0
ended=""
while IFS= read -r line; do
  stamp=$(to_epoch "${line:0:19}")
  case "$line" in
    *"startBackup called"*)
      if [ -z "$ended" ]; then
        w=$(awk -v s="$stamp" -v d="$t2" 'BEGIN { x = s - d; print (x < 0 ? 0 : x) }')
        ended=none
      elif [ "$ended" != none ]; then
        w=$(awk -v a="$w" -v s="$stamp" -v e="$ended" 'BEGIN { print a + s - e }')
        ended=none
      fi ;;
    *"Backup operation finished"*) ended=$stamp; last_end=$stamp ;;
  esac
done < <(grep -E "startBackup called|Backup operation finished" "$trace")
w2=$(awk -v e="${last_end:-$t3}" -v d="$t3" 'BEGIN { x = d - e; print (x < 0 ? 0 : x) }')

awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v w="$w" -v w2="$w2" -v n="$files" 'BEGIN {
  r = b - a; t = d - c;
  printf "files: %d x 4 KiB\n", n;
  printf "rsync -a:                         %.3f s\n", r;
  printf "agent total T:                    %.3f s\n", t;
  printf "fixed waits before and between runs W1: %.3f s\n", w;
  printf "recording after the last run W2:  %.3f s\n", w2;
  printf "(T - W1) / rsync:                 %.2f\n", (t - w) / r;
  printf "(T - W1 - W2) / rsync:            %.2f\n", (t - w - w2) / r;
  printf "ROW\tagent upload %d x 4 KiB, less fixed waits (s)\t%.2f\t%.2f (rsync -a)\t%.2f\t<= 2\n", n, t - w, r, (t - w) / r;
}'
