#!/usr/bin/env bash
# orvane-flash on this machine's ports: doctor finds the emulator's port ready
# and one held by another process not (its pid named); the JSON of doctor and
# ports parses; an upgrade asks the driver for low latency; an adapter that
# holds replies back shows in the summary, a hint and the record.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"

json_doc_check() {  # json_doc_check FILE PYTHON-EXPRESSION-ON-d: true when the one document in FILE passes
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); sys.exit(0 if eval(sys.argv[2]) else 1)' "$@"
}

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 3000 --module 5800 --software 1.00.01 --key 90 >/dev/null

start_sim ready --key 90
flash doctor -p "$port"
expect_status 0 "doctor on the emulator's port"
expect_out "^$port: ready$" "doctor on the emulator's port"

sleep 300 <>"$port" &
holder=$!
flash doctor -p "$port"
expect_status 1 "doctor on a held port"
expect_out "^$port: not ready$" "doctor on a held port"
expect_out "held open by $holder (sleep)" "doctor names the holder"
expect_out "kill $holder" "doctor's fix for the holder"
flash doctor -p "$port" --json
expect_status 1 "doctor --json on a held port"
json_doc_check "$work/out" "not d['ready'] and d['ports'][0]['holders'] == [{'pid': $holder, 'name': 'sleep'}]" ||
  fail "doctor --json: $out"
kill "$holder"
wait "$holder" 2>/dev/null

flash doctor -p "$port" -p /dev/no-such-tty --json
expect_status 1 "doctor with a missing port"
json_doc_check "$work/out" "[(p['ready'], p['findings'][0]['code'] if p['findings'] else None)
  for p in d['ports']] == [(True, None), (False, 'missing')]" || fail "doctor, one port missing: $out"

# Usage: a rule for one port, a name only with a rule.
flash doctor --udev-rule
expect_status 2 "--udev-rule without a port"
flash doctor --name st1 -p "$port"
expect_status 2 "--name without --udev-rule"
flash doctor --udev-rule -p "$port" --name 'a/b'
expect_status 2 "a link name with a slash"
flash doctor --udev-rule -p "$port"
expect_status 1 "a rule for a pseudo-terminal"
expect_err "is no USB adapter" "a rule for a pseudo-terminal"

# ports --json lists what ports lists.
flash ports
listed=$(printf '%s\n' "$out" | awk '/^[^ \t]/ { print $1, $2 }')
flash ports --json
expect_status 0 "ports --json"
printf '%s\n' "$listed" >"$work/listed"
json_doc_check "$work/out" "sorted(p['name'] + ' ' + p['device'] for p in d['ports']) == sorted(
  l for l in open('$work/listed').read().splitlines() if l)" ||
  fail "ports --json lists other ports than ports: $out / $listed"

# The driver is asked for its low-latency flag on the port (a pseudo-terminal
# has none), and the upgrade goes on.
# Only the ioctls stop the program (seccomp): tracing every call would slow
# it past the scanner's echo budget on a busy machine. The leak checker of a
# sanitized build cannot work under a tracer.
if strace -o /dev/null --seccomp-bpf -f -e trace=ioctl true 2>/dev/null; then
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
    strace -f --seccomp-bpf -e trace=ioctl -o "$work/strace" "$bin/orvane-flash" upgrade \
    -p "$port" "$work/fw.bin" </dev/null >/dev/null 2>"$work/err"
  status=$?
  err=$(cat "$work/err")
  expect_status 0 "upgrade under strace"
  grep -q 'TIOCGSERIAL.*ENOTTY' "$work/strace" || fail "no low-latency query: $(grep -c ioctl "$work/strace") ioctls"
else
  echo "note: strace cannot trace here; the low-latency query goes unchecked"
fi

# An adapter that holds each reply back 8 ms, in front of a scanner on the wire's time.
stop_sims
start_sim paced --key 90 --line-rate
python3 "$(dirname "$0")/slow_adapter.py" "$port" "$work/slow.port" 8 &
sims+=($!)
wait_until 20 test -s "$work/slow.port" || fail "the slow adapter did not start"
slow=$(head -1 "$work/slow.port")
flash upgrade -p "$slow" --report "$work/record.jsonl" "$work/fw.bin"
expect_status 0 "upgrade through a slow adapter"
expect_err "answer delay [0-9.]* ms$" "the summary gives the answer delay"
expect_err "hint: each block's answer came [0-9.]* ms later than the wire needs" "slow adapter hint"
json_doc_check "$work/record.jsonl" "d['answer_delay_ms'] >= 4" || fail "record: $(cat "$work/record.jsonl")"

finish "adapter"
