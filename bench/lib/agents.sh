# Shared by the whole-agent benchmarks: a stand-in service on loopback, linked
# homes for agents of one account, and a pair of Syncthing nodes on loopback.
# Source it after setting `work` (a private temporary folder) and `bin` (the
# build's bin folder). Every process it starts is stopped by stop_all.

bench_pids=()

# bench_prepare: checks the build's programs, makes the private work folder
# ($work) and stops everything and removes it on exit (kept, and named, when
# ULMORA_BENCH_KEEP is set).
bench_prepare() {
  local f
  for f in "$bin/ulmora-agent" "$bin/ulmora-kvt" "$bin/ulmora-service"; do
    [ -x "$f" ] || { echo "missing $f" >&2; exit 1; }
  done
  umask 077
  work=$(mktemp -d)
  trap bench_cleanup EXIT
}

bench_cleanup() {
  stop_sampler
  stop_all
  if [ -n "${ULMORA_BENCH_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}

stop_all() {
  local pid
  for pid in "${bench_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${bench_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  bench_pids=()
}

now() { date +%s.%N; }

# A loopback port nobody listens on, never one handed out before in this
# run (others on the machine may still take it before we bind it: a caller
# that starts a listener checks that it came up).
ports_given=" "
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 30000))
    [[ "$ports_given" == *" $p "* ]] && continue
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      ports_given+="$p "
      echo "$p"
      return
    fi
  done
  echo "no free port" >&2
  return 1
}

# The stored password: every character's code doubled, as UTF-8.
shifted() {
  local text=$1 out="" i code v ch
  for ((i = 0; i < ${#text}; i++)); do
    printf -v code '%d' "'${text:i:1}"
    v=$((code << 1))
    if ((v < 128)); then
      printf -v ch "\\x$(printf %02x "$v")"
    else
      printf -v ch "\\x$(printf %02x $((0xC0 | (v >> 6))))\\x$(printf %02x $((0x80 | (v & 0x3F))))"
    fi
    out+=$ch
  done
  printf '%s' "$out"
}

plist() {
  local file=$1
  shift
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<plist version="1.0"><dict>'
    while [ $# -gt 1 ]; do printf '<key>%s</key><string>%s</string>\n' "$1" "$2"; shift 2; done
    echo '</dict></plist>'
  } > "$file"
}

# start_service: certificates, storage and the stand-in service on a free
# port; started again, on the same port, which the linked homes name.
start_service() {
  storage="$work/storage"
  mkdir -p "$storage" "$work/certs"
  [ -f "$work/certs/ca.pem" ] || "$bin/ulmora-service" --make-certs="$work/certs" > /dev/null
  service_port=${service_port:-$(free_port)}
  "$bin/ulmora-service" --storage="$storage" --cert-dir="$work/certs" --port="$service_port" \
    > "$work/service.log" 2>&1 &
  bench_pids+=("$!")
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$service_port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the stand-in service did not start" >&2
  return 1
}

# link_home NAME: a home folder linked to the service's account "bench".
link_home() {
  local name=$1 user=bench
  local home="$work/$name/home"
  local config="$home/.config/ulmora"
  mkdir -p "$config/accounts/$user" "$home/UlmoraSync" "$work/$name/run"
  plist "$config/LastUserLoginDetails.plist" \
    "Ulmora username" "$user" "UlmoraUsername" "$user" "UlmoraSync username" "$user" \
    "UlmoraSync password" "$(shifted "$user")" "UserAtServer" "$user@$storage::quellar" \
    "IP" "$storage" "serverName" "$storage" \
    "quotaServername" "127.0.0.1:$service_port" "Pnsserver" "127.0.0.1:$service_port" \
    "Account plan" "F" "Pause" "0" "Unlink status" "0" "Move in progress" "0"
  cp "$config/LastUserLoginDetails.plist" "$config/accounts/$user/LoginDetails.plist"
  plist "$config/SyncFolders.plist" "$user" "$home/UlmoraSync"
  plist "$config/AccountDetails.plist" "UlmoraUsername" "$user" "ParentAccount" "$user"
  install -m 600 "$work/certs/ca.pem" "$config/ServiceCA.pem"
}

home_of() { echo "$work/$1/home"; }
root_of() { echo "$work/$1/home/UlmoraSync"; }
trace_of() { echo "$work/$1/home/.local/state/ulmora/Logs/SyncDaemonTrace.log"; }

# start_agent NAME: runs the agent of a linked home; its pid in agent_pid_NAME.
start_agent() {
  local name=$1
  HOME="$(home_of "$name")" XDG_RUNTIME_DIR="$work/$name/run" "${bin_for_agents:-$bin}/ulmora-agent" \
    > "$work/$name/agent.out" 2>&1 &
  bench_pids+=("$!")
  printf -v "agent_pid_$name" '%s' "$!"
}

# wait_listening NAME SECONDS: until the account's first listing is processed
# (the push subscription starts with the sync; the warm-up file of each
# benchmark proves the whole road before anything is timed).
wait_listening() {
  local trace
  trace=$(trace_of "$1")
  for _ in $(seq 1 $(($2 * 10))); do
    grep -q "listingDataProcessedComplete" "$trace" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "agent $1 never finished its first listing" >&2
  return 1
}

# count_complete DIR PREFIX SIZE: files under DIR/PREFIX* of exactly SIZE bytes
# whose names are the benchmark's own (f*.bin), so temporary names never count.
count_complete() {
  find "$1" -path "$1/$2*" -type f -name 'f*.bin' -size "$3c" 2>/dev/null | wc -l
}

# wait_count DIR PREFIX SIZE N LIMIT: polls every 50 ms until N files are
# complete; prints the time they were, or "timeout".
wait_count() {
  local deadline
  deadline=$(( $(date +%s) + $5 ))
  while [ "$(count_complete "$1" "$2" "$3")" -lt "$4" ]; do
    if [ "$(date +%s)" -gt "$deadline" ]; then
      echo timeout
      return 1
    fi
    sleep 0.05
  done
  now
}

# make_tree DIR N SIZE: N files of SIZE random bytes, 500 to a folder.
make_tree() {
  local dir=$1 n=$2 size=$3 i d
  mkdir -p "$dir"
  head -c $((n * size)) /dev/urandom > "$dir/.all"
  for ((i = 0; i < n; i++)); do
    d="$dir/d$((i / 500))"
    [ -d "$d" ] || mkdir -p "$d"
  done
  # One split per folder keeps this fast: split writes the pieces.
  for ((d = 0; d * 500 < n; d++)); do
    local count=$(( n - d * 500 < 500 ? n - d * 500 : 500 ))
    dd if="$dir/.all" bs="$size" skip=$((d * 500)) count="$count" status=none |
      split -b "$size" -a 3 -d --additional-suffix=.bin - "$dir/d$d/f"
  done
  rm -f "$dir/.all"
}

# ---------------------------------------------------------------- Syncthing

# syncthing_pair NAME DELAY: two nodes NAME-a and NAME-b on loopback sharing a
# folder, their file watchers waiting DELAY s (10 is Syncthing's default),
# both up and serving. Sets st_root_a, st_root_b.
syncthing_pair() {
  local name=$1 delay=$2 side id_a id_b attempt
  local port_a port_b gui_a gui_b pid_a pid_b
  for side in a b; do
    mkdir -p "$work/$name-$side/folder/.stfolder"
    syncthing generate --home="$work/$name-$side/config" --no-default-folder > /dev/null 2>&1
  done
  id_a=$(syncthing --home="$work/$name-a/config" --device-id)
  id_b=$(syncthing --home="$work/$name-b/config" --device-id)
  st_root_a="$work/$name-a/folder"
  st_root_b="$work/$name-b/folder"
  # A port taken by someone else between the choice and the bind makes a
  # node exit: the pair starts again on other ports.
  for attempt in 1 2 3 4 5; do
    port_a=$(free_port); port_b=$(free_port); gui_a=$(free_port); gui_b=$(free_port)
    syncthing_config "$work/$name-a" "$id_a" "$port_a" "$id_b" "$port_b" "$gui_a" "$delay"
    syncthing_config "$work/$name-b" "$id_b" "$port_b" "$id_a" "$port_a" "$gui_b" "$delay"
    STNODEFAULTFOLDER=1 STNOUPGRADE=1 syncthing serve --home="$work/$name-a/config" \
      --no-browser --no-restart --no-default-folder > "$work/$name-a/log" 2>&1 &
    pid_a=$!
    STNODEFAULTFOLDER=1 STNOUPGRADE=1 syncthing serve --home="$work/$name-b/config" \
      --no-browser --no-restart --no-default-folder > "$work/$name-b/log" 2>&1 &
    pid_b=$!
    bench_pids+=("$pid_a" "$pid_b")
    if syncthing_serving "$pid_a" "$gui_a" && syncthing_serving "$pid_b" "$gui_b"; then
      return 0
    fi
    echo "Syncthing pair $name did not come up (attempt $attempt); new ports" >&2
    stop_all
  done
  return 1
}

# syncthing_serving PID GUI_PORT: the node is running and its GUI port
# answers (its listeners bind before the GUI's), within 30 s.
syncthing_serving() {
  local i
  for i in $(seq 1 300); do
    kill -0 "$1" 2>/dev/null || return 1
    if (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null; then
      sleep 1
      kill -0 "$1" 2>/dev/null
      return
    fi
    sleep 0.1
  done
  return 1
}

syncthing_config() {
  local dir=$1 me=$2 my_port=$3 peer=$4 peer_port=$5 gui=$6 delay=$7
  cat > "$dir/config/config.xml" <<EOF
<configuration version="36">
    <folder id="bench" label="bench" path="$dir/folder" type="sendreceive" rescanIntervalS="3600" fsWatcherEnabled="true" fsWatcherDelayS="$delay">
        <device id="$me"></device>
        <device id="$peer"></device>
    </folder>
    <device id="$me" name="self" compression="metadata" introducer="false">
        <address>tcp://127.0.0.1:$my_port</address>
    </device>
    <device id="$peer" name="peer" compression="metadata" introducer="false">
        <address>tcp://127.0.0.1:$peer_port</address>
    </device>
    <gui enabled="true" tls="false">
        <address>127.0.0.1:$gui</address>
    </gui>
    <options>
        <listenAddress>tcp://127.0.0.1:$my_port</listenAddress>
        <globalAnnounceEnabled>false</globalAnnounceEnabled>
        <localAnnounceEnabled>false</localAnnounceEnabled>
        <relaysEnabled>false</relaysEnabled>
        <natEnabled>false</natEnabled>
        <urAccepted>-1</urAccepted>
        <crashReportingEnabled>false</crashReportingEnabled>
        <autoUpgradeIntervalH>0</autoUpgradeIntervalH>
        <startBrowser>false</startBrowser>
    </options>
</configuration>
EOF
}

# ---------------------------------------------------------------- where time goes

# timed_bin: a bin folder for the agents whose engine is a wrapper that
# notes each run's start and end (milliseconds) and operation in
# $work/engine-runs ("start|end pid T agent kind"), then the agents run from it.
timed_bin() {
  mkdir -p "$work/timed-bin"
  cp "$bin/ulmora-agent" "$bin/SyncLocalizable.plist" "$work/timed-bin/"
  cat > "$work/timed-bin/ulmora-kvt" <<EOS
#!/usr/bin/env bash
kind=upload
for a in "\$@"; do
  case "\$a" in
    --list-changes*) kind=list ;;
    --get-quota*|--quota-fromfile*|--encode-string*|--search*|--list-versions*) kind=other ;;
    --rename*|--remove*|--mkdir*) kind=other ;;
  esac
done
if [ "\$kind" = upload ]; then
  for a in "\$@"; do
    case "\$a" in --*) continue ;; *::*) kind=download ;; esac
    break
  done
fi
echo "start \$\$ \$(date +%s.%N) \$HOME \$kind" >> "$work/engine-runs"
"$bin/ulmora-kvt" "\$@"
rc=\$?
echo "end \$\$ \$(date +%s.%N) \$HOME \$kind" >> "$work/engine-runs"
exit \$rc
EOS
  chmod 700 "$work/timed-bin/ulmora-kvt"
  bin_for_agents="$work/timed-bin"
}

# start_sampler OUT NAME...: every 50 ms, the stamped files under each named
# agent's application folder ("T name file path", the stamp in the name).
start_sampler() {
  local out=$1
  shift
  (
    while :; do
      t=$(now)
      for name in "$@"; do
        find "$(home_of "$name")/.local/share/ulmora" -regextype posix-extended \
          -regex '.*/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}-[0-9]{2}-[0-9]{2}-[0-9]{3}[^/]*' \
          -printf "$t $name file %P\n" 2>/dev/null
      done
      sleep 0.05
    done
  ) >> "$out" 2>/dev/null &
  sampler_pid=$!
}

stop_sampler() {
  if [ -n "${sampler_pid:-}" ]; then
    kill "$sampler_pid" 2>/dev/null || true
    wait "$sampler_pid" 2>/dev/null || true
  fi
  sampler_pid=""
}

# ---------------------------------------------------------------- figures

loadavg() { cut -d' ' -f1 /proc/loadavg; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# The expected contents of a tree: "hash  ./relative path" lines, sorted.
hashes_of() { (cd "$1" && find . -type f -name 'f*.bin' -print0 | sort -z | xargs -0 -r sha256sum); }

# wait_same DIR EXPECTED N LIMIT: polls every $poll_seconds (default 0.05) until N files of the
# benchmark's names are under DIR, then compares their contents with
# EXPECTED (a hashes_of listing); prints the time of the poll that found
# them all complete, or fails after LIMIT seconds.
wait_same() {
  local dir=$1 expected=$2 n=$3 deadline t
  deadline=$(( $(date +%s) + $4 ))
  while :; do
    t=$(now)
    if [ "$(find "$dir" -type f -name 'f*.bin' 2>/dev/null | wc -l)" -ge "$n" ] &&
       [ "$(hashes_of "$dir")" == "$(cat "$expected")" ]; then
      echo "$t"
      return 0
    fi
    [ "$(date +%s)" -le "$deadline" ] || return 1
    sleep "${poll_seconds:-0.05}"
  done
}

# stats FILE: "min median max" of the numbers in FILE ("timeout" counts as
# the limit, so a case that failed is never the fastest).
stats() {
  { sed "s/^timeout$/${limit:-999999}/" "$1" 2>/dev/null || true; } | sort -g |
    awk '{ v[NR] = $1 } END {
      if (NR == 0) { print "- - -"; exit }
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.2f %.2f %.2f\n", v[1], m, v[NR] }'
}
# A file no sample reached (every pair failed to come up) reads as "-".
mean_of() { awk '{ s += $1 } END { if (NR) printf "%.1f", s / NR; else print "-" }' "$1" 2>/dev/null || echo -; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "-" }'; }

