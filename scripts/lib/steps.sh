# Long steps (installing packages, building, testing, fuzzing) say when they
# start and, when they end, how long they took: a first build on a loaded
# machine can take many times what it takes on an idle one.

# "3m07s" since START, a value of $SECONDS.
elapsed_since() {
  local took=$((SECONDS - $1))
  printf '%dm%02ds' $((took / 60)) $((took % 60))
}

# Prints "==> WHAT", runs the command, then "==> WHAT: done in 3m07s" (or
# "failed (status N) after ..."), and returns the command's status.
timed() {
  local what=$1 start=$SECONDS status=0
  shift
  echo "==> $what"
  "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    echo "==> $what: done in $(elapsed_since "$start")"
  else
    echo "==> $what: failed (status $status) after $(elapsed_since "$start")"
  fi
  return "$status"
}

# "8 cores, load average 3.10": what a step's time depends on, beside the step.
machine_load() {
  echo "$(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo unknown)"
}
