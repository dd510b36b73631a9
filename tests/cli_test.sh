#!/usr/bin/env bash
# orvane-flash as a user runs it, against orvane-bootsim: exit codes, messages, hints.
set -u
bin=$1
work=$(mktemp -d)
sim_pid=""
failures=0
trap 'stop_sim; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
stop_sim() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; sim_pid=""; }

# start_sim OPTIONS... : starts the emulator, sets $port
start_sim() {
  stop_sim
  rm -f "$work/port"
  "$bin/orvane-bootsim" --path-file "$work/port" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  port=$(cat "$work/port")
}

# flash ARGS... : runs orvane-flash with no terminal, sets $status, $err (stderr), $out (stdout)
flash() {
  "$bin/orvane-flash" "$@" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  out=$(tr -d '\0' <"$work/out")
  err=$(cat "$work/err")
}

expect_status() { [ "$status" -eq "$1" ] || fail "$2: exit $status, wanted $1; stderr: $err"; }
expect_last_line() { [ "$(tail -n 1 "$work/err")" = "$1" ] || fail "$2: last line '$(tail -n 1 "$work/err")'"; }
expect_err() { grep -q -- "$1" "$work/err" || fail "$2: stderr lacks '$1': $err"; }

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 20000 --module 5800 --software 1.00.01 --key 90 >/dev/null
"$bin/orvane-mkimage" --out "$work/other.bin" --size 5000 --module 5900 --software 1.00.01 --key 90 >/dev/null
cp "$work/fw.bin" "$work/fw.hex"

# Success: exit 0, the result last on stderr, only the received-byte trace on stdout.
start_sim --module 5800 --software 1.00.00 --key 90 --expect "$work/fw.bin"
flash upgrade --port "$port" "$work/fw.bin"
expect_status 0 "success"
expect_last_line "upgrade success!!!" "success"
printf '%s' "$out" | grep -q "Boot>" || fail "success: no trace on stdout"
printf '%s' "$out" | grep -q "upgrade success" && fail "success: a message went to stdout"
grep -q "image verified" "$work/sim.log" || fail "success: emulator did not verify the image"

# A scanner that never answers: a few seconds, then the handshake message.
start_sim --fault silent
start=$(date +%s)
flash upgrade --port "$port" "$work/fw.bin"
elapsed=$(($(date +%s) - start))
expect_status 1 "silent scanner"
expect_last_line "Scanner is not connected or not in upgrade mode" "silent scanner"
[ "$elapsed" -le 5 ] || fail "silent scanner took ${elapsed}s"

# Override questions: no terminal and no --yes answers No; --yes answers Yes.
start_sim --module 5800 --software 1.00.00
flash upgrade --port "$port" --access 'QUIRK!!' "$work/other.bin"
expect_status 1 "override without --yes"
expect_last_line "Mismatch Module NO." "override without --yes"
expect_err "New Module No" "override question shown"
flash upgrade --port "$port" --access 'QUIRK!!' --yes "$work/other.bin"
expect_status 0 "override with --yes"
flash upgrade --port "$port" --access 'quirk!!' --yes "$work/other.bin"
expect_last_line "Mismatch Module NO." "access word in another case"

# The reseller word selects its own parameter area.
flash upgrade --port "$port" --access MAPLEGROVE "$work/fw.bin"
expect_status 0 "reseller"
grep -q "erase 71000 7" "$work/sim.log" || fail "reseller: no 'erase 71000 7'"

# Refusals: file type, ports, usage.
flash upgrade --port "$port" "$work/fw.hex"
expect_status 4 "file type"
expect_last_line "Invalid file type" "file type"
flash upgrade --port /dev/no-such-tty "$work/fw.bin"
expect_status 3 "missing device"
expect_err "Cannot open this com port" "missing device"
expect_err "no such device" "missing device hint"
flash upgrade --port COM250 "$work/fw.bin"
expect_status 3 "unlisted COM port"
expect_err "not a serial port of this system" "unlisted COM port hint"
flock "$port" sleep 3 &
holder=$!
sleep 0.3
flash upgrade --port "$port" "$work/fw.bin"
expect_status 3 "port in use"
expect_err "in use by another process" "port in use hint"
[ "$out" = "Bad hComm " ] || fail "port in use: stdout '$out'"
wait "$holder"
flash upgrade "$work/fw.bin"
expect_status 2 "no port"
flash frobnicate
expect_status 2 "unknown command"

# The header as the tool reads it.
flash info "$work/fw.bin"
expect_status 0 "info"
[ "$out" = "$(printf 'customer-id: ORVANE\nmodule: 5800\nhardware: HW-A1\nsoftware: 1.00.01\nkey: 90')" ] ||
  fail "info printed: $out"

# Monitor mode listens until interrupted.
"$bin/orvane-flash" monitor --port "$port" >"$work/out" 2>"$work/err" &
monitor=$!
sleep 0.5
kill -INT "$monitor"
wait "$monitor"
status=$?
err=$(cat "$work/err")
expect_status 0 "monitor"
expect_err "monitoring at 9600 baud" "monitor"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all command-line checks passed"
