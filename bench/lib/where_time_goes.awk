# Splits one propagation run into spans on its critical path, from the
# engine wrapper's start and end lines, the sampler's stamped files
# (bench/lib/agents.sh) and the run's start and end.
#   awk -v t0=START -v t1=END -f where_time_goes.awk ENGINE_RUNS SAMPLES
# Prints "span<TAB>seconds" lines.
function stamp(path,    m, s) {
  if (!match(path, /[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]-[0-9][0-9]-[0-9][0-9]-[0-9][0-9][0-9]/)) return -1
  s = substr(path, RSTART, RLENGTH)
  return mktime(substr(s, 1, 4) " " substr(s, 6, 2) " " substr(s, 9, 2) " " substr(s, 12, 2) " " \
                substr(s, 15, 2) " " substr(s, 18, 2)) + substr(s, 21, 3) / 1000
}
($1 == "start" || $1 == "end") && NF >= 5 {
  who = ($4 ~ /\/a\/home$/) ? "a" : "b"
  key = who " " $2 " " $5
  if ($1 == "start") first[key] = $3; else last[key] = $3
  next
}
$3 == "file" {
  path = $0; sub(/^[^ ]+ [^ ]+ file /, "", path)
  s = stamp(path)
  if (s >= t0 - 0.5 && s <= t1 && ($2 SUBSEP path) in seen == 0) {
    seen[$2 SUBSEP path] = 1
    if (!($2 in firstStamp) || s < firstStamp[$2]) firstStamp[$2] = s
  }
}
END {
  upStart = -1; upEnd = -1; upBusy = 0; dlStart = -1; dlEnd = -1; dlBusy = 0; lsBusy = 0; lsFirst = -1
  for (key in first) {
    split(key, k, " ")
    if (first[key] < t0 || first[key] > t1 || !(key in last)) continue
    d = last[key] - first[key]
    if (k[1] == "a" && k[3] == "upload") {
      upBusy += d
      if (upStart < 0 || first[key] < upStart) upStart = first[key]
      if (last[key] > upEnd) upEnd = last[key]
    }
    if (k[1] == "b" && k[3] == "download") {
      dlBusy += d
      if (dlStart < 0 || first[key] < dlStart) dlStart = first[key]
      if (last[key] > dlEnd) dlEnd = last[key]
    }
    if (k[1] == "b" && k[3] == "list") {
      lsBusy += d
      if (lsFirst < 0 || first[key] < lsFirst) lsFirst = first[key]
    }
  }
  journal = ("a" in firstStamp) ? firstStamp["a"] : -1
  # On B, the first listing run after A's last upload: the one that finds it.
  lsUsed = -1
  for (key in first) {
    split(key, k, " ")
    if (k[1] == "b" && k[3] == "list" && first[key] >= upEnd && first[key] <= dlStart && (lsUsed < 0 || first[key] < lsUsed)) lsUsed = first[key]
  }
  # A big copy is still going on when the first journal file appears.
  if (journal < t0) journal = t0
  printf "capture and event journal on A (copy end to first journal file, 0 if during the copy)\t%.2f\n", journal - t0
  printf "cycle wait on A (to the first upload run)\t%.2f\n", upStart - journal
  printf "upload runs on A (first start to last end; engine busy %.2f)\t%.2f\n", upBusy, upEnd - upStart
  printf "on B, from A's last upload run to B's first download run (listing engine busy %.2f)\t%.2f\n", lsBusy, dlStart - upEnd
  printf "  of which: push, listing marker through the input queue and a cycle, to B's listing run\t%.2f\n", lsUsed - upEnd
  printf "  of which: the listing's downloads through the input queue and a cycle, to the first download run\t%.2f\n", dlStart - lsUsed
  printf "download runs on B (first start to last end; engine busy %.2f)\t%.2f\n", dlBusy, dlEnd - dlStart
  printf "after the last download run until every file is complete\t%.2f\n", t1 - dlEnd
  printf "total\t%.2f\n", t1 - t0
}
