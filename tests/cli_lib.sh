# Helpers for the command-line tests: emulated scanners, runs of orvane-flash
# and checks. Sourced with $bin set to the folder of the programs.
work=$(mktemp -d)
failures=0
sims=()
trap 'stop_sims; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
stop_sims() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  sims=()
}

# wait_until SECONDS COMMAND...: true once COMMAND succeeds; a bound, never a pass condition.
wait_until() {
  local limit=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.05
  done
}

# ended PID: the process has ended (a zombie counts as ended).
ended() { [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null || echo gone)" = Z ] || [ ! -e "/proc/$1" ]; }

# wait_for PID SECONDS: its exit status, or 124 after killing it when it did not end in time.
wait_for() {
  if ! wait_until "$2" ended "$1"; then
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 124
  fi
  wait "$1"
}

# start_sim NAME OPTIONS...: an emulator logging to $work/NAME.log; sets $port and $sim.
start_sim() {
  local name=$1
  shift
  rm -f "$work/$name.port"
  "$bin/orvane-bootsim" --path-file "$work/$name.port" "$@" >"$work/$name.log" 2>&1 &
  sim=$!
  sims+=("$sim")
  wait_until 20 test -s "$work/$name.port" || fail "emulator $name did not start"
  port=$(head -1 "$work/$name.port")
}

# flash ARGS...: orvane-flash with no terminal; sets $status, $err (stderr), $out (stdout)
flash() {
  "$bin/orvane-flash" "$@" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  out=$(tr -d '\0' <"$work/out")
  err=$(cat "$work/err")
}

expect_status() { [ "$status" -eq "$1" ] || fail "$2: exit $status, wanted $1; stderr: $err"; }
last_line() { tail -n 1 "$work/err"; }
expect_last_line() { [ "$(last_line)" = "$1" ] || fail "$2: last line '$(last_line)', wanted '$1'"; }
expect_err() { grep -q -- "$1" "$work/err" || fail "$2: stderr lacks '$1': $err"; }
expect_no_err() { ! grep -q -- "$1" "$work/err" || fail "$2: stderr has '$1': $err"; }
expect_out() { printf '%s' "$out" | grep -q -- "$1" || fail "$2: stdout lacks '$1': $out"; }
# json_check FILE PYTHON-EXPRESSION: the expression holds for the list of records.
json_check() {
  python3 -c "import json,sys; r=[json.loads(l) for l in open(sys.argv[1])]; sys.exit(0 if ($2) else 1)" "$1"
}
log_has() { grep -q -- "$2" "$work/$1.log"; }
log_count() { grep -c -- "$2" "$work/$1.log"; }

finish() {
  if [ "$failures" -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -e "$log" ] && { echo "--- last lines of $(basename "$log"):"; tail -n 12 "$log"; }
    done
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all $1 checks passed"
}
