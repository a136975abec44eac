# Splits one propagation case into spans on its critical path, from the
# engine wrapper's start and end lines of one pair, the sampler's stamped
# files (bench/lib/agents.sh) and the case's start and end.
#   awk -v t0=START -v t1=END -v n=FILES -f where_time_goes.awk ENGINE_RUNS SAMPLES
# Prints "span<TAB>seconds" lines; "-" where a span's ends were not seen (a
# span is never guessed from a run of another case or of the other side).
#
# A's handling of an upload run's output (rows, recent items, status) comes
# after the run's end and before the push it sends: it ends when B's
# listing marker appears (B's event writer publishes it on its next tick, up
# to 2 s later), so it is charged to A, with B's tick, not to B's listing.
function stamp(path,    s) {
  if (!match(path, /[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]-[0-9][0-9]-[0-9][0-9]-[0-9][0-9][0-9]/)) return -1
  s = substr(path, RSTART, RLENGTH)
  return mktime(substr(s, 1, 4) " " substr(s, 6, 2) " " substr(s, 9, 2) " " substr(s, 12, 2) " " \
                substr(s, 15, 2) " " substr(s, 18, 2)) + substr(s, 21, 3) / 1000
}
function span(name, from, to) {
  if (from < 0 || to < 0 || to < from) printf "%s\t-\n", name
  else printf "%s\t%.2f\n", name, to - from
}
function busy(name, first, seconds) {
  if (first < 0) printf "%s\t-\n", name
  else printf "%s\t%.2f\n", name, seconds
}
# Engine runs: "start|end pid T home kind"; a run is its pid's start and the
# first end after it (pids are reused over a long case).
($1 == "start" || $1 == "end") && NF >= 5 {
  who = ($4 ~ /\/a\/home$/) ? "a" : "b"
  if ($1 == "start") { runs++; rWho[runs] = who; rKind[runs] = $5; rStart[runs] = $3; open[$2] = runs }
  else if ($2 in open) { rEnd[open[$2]] = $3; delete open[$2] }
  next
}
$3 == "file" {
  path = $0; sub(/^[^ ]+ [^ ]+ file /, "", path)
  s = stamp(path)
  if (s < t0 - 0.5 || s > t1 || (($2, path) in seen)) next
  seen[$2, path] = 1
  if ($2 == "a" && (firstA < 0 || s < firstA)) firstA = s
  if ($2 == "b" && path ~ /\/Journal\/Notification\//) markers[++nm] = s
}
BEGIN { firstA = -1 }
END {
  upStart = -1; upEnd = -1; upBusy = 0; dlStart = -1; dlEnd = -1; dlBusy = 0
  for (i = 1; i <= runs; i++) {
    if (!(i in rEnd) || rStart[i] < t0 || rStart[i] > t1) continue
    d = rEnd[i] - rStart[i]
    if (rWho[i] == "a" && rKind[i] == "upload") {
      upBusy += d
      if (upStart < 0 || rStart[i] < upStart) upStart = rStart[i]
      if (rEnd[i] > upEnd) upEnd = rEnd[i]
    }
  }
  # B's downloads of this case: the runs after A's last upload ended.
  for (i = 1; i <= runs; i++) {
    if (!(i in rEnd) || rWho[i] != "b" || rKind[i] != "download" || upEnd < 0 || rStart[i] < upEnd || rStart[i] > t1) continue
    dlBusy += rEnd[i] - rStart[i]
    if (dlStart < 0 || rStart[i] < dlStart) dlStart = rStart[i]
    if (rEnd[i] > dlEnd) dlEnd = rEnd[i]
  }
  # B's first marker after A's last upload ended, and B's first listing run
  # after that marker (before the downloads).
  marker = -1
  for (i = 1; i <= nm; i++) if (markers[i] >= upEnd && (marker < 0 || markers[i] < marker)) marker = markers[i]
  if (upEnd < 0) marker = -1
  listing = -1
  for (i = 1; i <= runs; i++)
    if (rWho[i] == "b" && rKind[i] == "list" && marker >= 0 && rStart[i] >= marker &&
        (dlStart < 0 || rStart[i] <= dlStart) && (listing < 0 || rStart[i] < listing)) listing = rStart[i]
  journal = firstA
  # A big copy is still going on when the first journal file appears.
  if (journal >= 0 && journal < t0) journal = t0
  span("capture and event journal on A (copy end to the first journal file; 0 during the copy)", t0, journal)
  span("cycle wait on A (to the first upload run)", journal, upStart)
  # The engines' busy time is a figure of its own (a label holding it would
  # make every round a row of its own in the median over the rounds).
  span("upload runs on A (first start to last end)", upStart, upEnd)
  busy("upload runs on A: engine busy (sum over the runs)", upStart, upBusy)
  span("A's handling of the upload output and its push, with B's writer tick (to B's listing marker)", upEnd, marker)
  span("on B, the marker through the input queue and a cycle, to B's listing run", marker, listing)
  span("on B, the listing's downloads through the input queue and a cycle, to the first download run", listing, dlStart)
  span("download runs on B (first start to last end)", dlStart, dlEnd)
  busy("download runs on B: engine busy (sum over the runs)", dlStart, dlBusy)
  span("after the last download run until every file is complete at B", dlEnd, t1)
  span("total", t0, t1)
  if (n > 0 && upEnd >= 0 && marker >= upEnd)
    printf "A's handling per file, with the push and B's tick (ms)\t%.3f\n", (marker - upEnd) * 1000 / n
  else
    printf "A's handling per file, with the push and B's tick (ms)\t-\n"
}
