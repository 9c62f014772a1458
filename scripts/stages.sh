# Sourced by test.sh: runs its stages two at a time, one a core, and reports them.
#
#   stages_begin LOG                   where the tools' output is gathered
#   stage ID AFTER NAME COMMAND...     declares a stage; AFTER: the IDs of stages that must have
#                                      passed first, joined by commas, - for none, or all for
#                                      every stage declared before it: it then runs alone
#   stages_run                         runs what was declared since the last call
#   stages_verdict                     the closing line
#
# Two workers take the stages in the order declared, each the first one whose stages before it
# have passed: stages that do not need each other then share the machine's two cores rather
# than wait for one, and both stay busy however long each stage takes on the day. Each stage
# writes its own log; whatever order they finish in, the stages are reported in the order
# declared, each with its heading, its time and its runner's closing line, and their logs are
# appended to LOG in that order, so two runs read alike. While stages run quietly a line says
# which, at least every CELLPROX_TEST_TICK seconds (30). The first failure stops the other
# worker, shows its last lines and the log's path, and ends the run with the verdict.

stages_tick="${CELLPROX_TEST_TICK:-30}"

duration() {
  printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

stages_begin() {
  stages_log="$1"
  stages_dir="$(dirname "$1")/test-stages"
  rm -rf "$stages_dir" && mkdir -p "$stages_dir" && : > "$stages_log"
  stages_started=$SECONDS
  stages_passed=0
  stages_ids=()
  stages_worker_pids=()
  declare -gA stages_name=() stages_after=() stages_command=()
  trap stages_interrupted INT TERM
  trap stages_stop_workers EXIT
}

stage() {
  local id="$1"
  stages_ids+=("$id")
  stages_after[$id]="$2"
  stages_name[$id]="$3"
  shift 3
  stages_command[$id]="$(printf '%q ' "$@")"
}

# The runner's closing line in a stage's log: pytest's, ctest's or libFuzzer's, the last one.
closing_line() {
  grep -E '[0-9]+ (passed|failed)|tests passed|^Done [0-9]+ runs' "$1" | tail -n 1 \
    | sed -E 's/^=+ //; s/ =+$//'
}

# A worker: takes the first stage not taken whose stages before it have passed (mkdir is the
# lock between the two workers), runs it, and starts again from the top; it stops when nothing
# is left, or when a stage fails.
stages_worker() {
  local id dep waiting
  local -a deps before
  while :; do
    waiting=0
    before=()
    for id in "${stages_ids[@]}"; do
      deps=(${stages_after[$id]//,/ })
      [ "${deps[*]}" != all ] || deps=("${before[@]}")
      before+=("$id")
      [ ! -d "$stages_dir/$id.taken" ] || continue
      for dep in "${deps[@]}"; do
        [ "$dep" != - ] || continue
        if [ ! -f "$stages_dir/$dep.rc" ]; then
          waiting=1
          continue 2
        fi
        [ "$(cat "$stages_dir/$dep.rc")" = 0 ] || return
      done
      mkdir "$stages_dir/$id.taken" 2>/dev/null || continue
      date +%s > "$stages_dir/$id.start"
      (eval "${stages_command[$id]}") > "$stages_dir/$id.log" 2>&1 < /dev/null
      echo $? > "$stages_dir/$id.rc.new"
      mv "$stages_dir/$id.rc.new" "$stages_dir/$id.rc"
      [ "$(cat "$stages_dir/$id.rc")" = 0 ] || return
      continue 2
    done
    [ $waiting = 1 ] || return 0
    sleep 1
  done
}

stages_stop_workers() {
  local pid
  for pid in "${stages_worker_pids[@]}"; do
    # Each worker leads its own process group: what its stage started goes with it.
    kill -- -"$pid" 2>/dev/null
  done
  for pid in "${stages_worker_pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  stages_worker_pids=()
}

stages_interrupted() {
  stages_stop_workers
  echo "test.sh: interrupted after $(duration $((SECONDS - stages_started)))"
  exit 130
}

# stages_report ID: the stage's heading and outcome; its log appended to the whole one.
stages_report() {
  local id="$1" log="$stages_dir/$1.log" started took closing
  started=$(cat "$stages_dir/$id.start")
  took=$(($(stat -c %Y "$stages_dir/$id.rc") - started))
  echo "== ${stages_name[$id]}"
  printf '\n===== %s: %s\n' "${stages_name[$id]}" "${stages_command[$id]}" >> "$stages_log"
  cat "$log" >> "$stages_log"
  if [ "$(cat "$stages_dir/$id.rc")" = 0 ]; then
    stages_passed=$((stages_passed + 1))
    closing=$(closing_line "$log")
    echo "   ok in $(duration "$took")${closing:+: $closing}"
    return 0
  fi
  echo "   FAILED after $(duration "$took"); its last lines:"
  tail -n 60 "$log" | sed 's/^/   | /'
  return 1
}

# The stages running now, and for how long: "name, 1m30s; other name, 0m30s".
stages_running() {
  local id now list=""
  now=$(date +%s)
  for id in "${stages_ids[@]}"; do
    if [ -f "$stages_dir/$id.start" ] && [ ! -f "$stages_dir/$id.rc" ]; then
      list+="${list:+; }${stages_name[$id]}, $(duration $((now - $(cat "$stages_dir/$id.start"))))"
    fi
  done
  echo "$list"
}

stages_run() {
  local worker id next=0 failed="" quiet_since=$SECONDS running
  set -m    # each worker in a process group of its own, so that stopping it stops its tools
  for worker in 1 2; do
    stages_worker &
    stages_worker_pids+=($!)
  done
  set +m
  while [ $next -lt ${#stages_ids[@]} ]; do
    id="${stages_ids[$next]}"
    if [ -f "$stages_dir/$id.rc" ]; then
      next=$((next + 1))
      stages_report "$id" || { failed="$id"; break; }
      quiet_since=$SECONDS
      continue
    fi
    # A failure later in the order ends the run now, not when the stages before it are done.
    if grep -qsvx 0 "$stages_dir"/*.rc; then
      failed=later
      break
    fi
    sleep 1
    if [ $((SECONDS - quiet_since)) -ge "$stages_tick" ]; then
      running=$(stages_running)
      [ -z "$running" ] || echo "   ... still running $running"
      quiet_since=$SECONDS
    fi
  done
  if [ -n "$failed" ]; then
    local -a finished=()
    for id in "${stages_ids[@]:$next}"; do
      [ ! -f "$stages_dir/$id.rc" ] || finished+=("$id")
    done
    running=$(stages_running)
    stages_stop_workers
    # What had finished is reported in order, the failure among it; what was cut short is named.
    for id in "${finished[@]}"; do
      stages_report "$id" || [ "$failed" != later ] || failed="$id"
    done
    [ -z "$running" ] || echo "   stopped when '${stages_name[$failed]}' failed: $running"
    echo "The whole output is in $stages_log"
    echo "test.sh: stage '${stages_name[$failed]}' failed after $stages_passed stages passed," \
      "in $(duration $((SECONDS - stages_started)))"
    exit 1
  fi
  wait
  stages_worker_pids=()
  stages_ids=()
}

stages_verdict() {
  echo "test.sh: $stages_passed stages passed in $(duration $((SECONDS - stages_started)))"
}
