#!/usr/bin/env bash
# Replays that must not pretend: a file that is no recording ends the
# emulator at once (exit 2, the file and line named, no abort); a replay cut
# short names what the utility never sent and fails; a replay met by the
# same utility and image ends by itself, passed.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"
recordings=$(cd "$(dirname "$0")/recordings" && pwd)
start_object=$(head -n 1 "$recordings/good-headered.jsonl")

# recording NAME PIECE: a start object and one piece line, as $work/NAME.jsonl.
recording() { printf '%s\n%s\n' "$start_object" "$2" >"$work/$1.jsonl"; }

# refused NAME FILE MESSAGE: the replay of FILE ends by itself with exit 2 and MESSAGE.
refused() {
  local name=$1 file=$2 message=$3
  "$bin/orvane-bootsim" --replay "$file" >"$work/$name.log" 2>&1 &
  wait_for $! 10
  local status=$?
  [ "$status" -eq 2 ] || fail "$name: exit $status, wanted 2: $(cat "$work/$name.log")"
  grep -qF -- "$message" "$work/$name.log" || fail "$name: '$message' not said: $(cat "$work/$name.log")"
  ! grep -q "terminate\|Aborted\|runtime error\|Sanitizer" "$work/$name.log" ||
    fail "$name: $(cat "$work/$name.log")"
}

recording wrong-type '{"us":1,"dir":"to-scanner","bytes":13,"phase":"handshake"}'
refused wrong-type "$work/wrong-type.jsonl" "wrong-type.jsonl:2: bytes: 13 is not a text"
recording bad-hex '{"us":1,"dir":"to-scanner","bytes":"0d0g","phase":"handshake"}'
refused bad-hex "$work/bad-hex.jsonl" "bad-hex.jsonl:2: bytes: \"0d0g\" is not an even number of hex digits"
recording huge-us '{"us":99999999999999999999,"dir":"from-scanner","bytes":"0d","phase":"handshake"}'
refused huge-us "$work/huge-us.jsonl" "huge-us.jsonl:2: us: 1e+20 is not an integer from 0 to"
refused zero /dev/zero "/dev/zero: not a regular file, not a recording"
refused folder "$work" "$work: a directory, not a recording"

# stop_cut NAME PATTERN: the replay NAME, stopped now, exits 1 and its log
# says what of the utility's bytes did not come.
stop_cut() {
  kill -TERM "$sim"
  wait_for "$sim" 10
  local status=$?
  [ "$status" -eq 1 ] || fail "replay $1: exit $status, wanted 1"
  log_has "$1" "$2" || fail "replay $1: $(tail -n 1 "$work/$1.log")"
}

# Cut short before the utility came at all: nothing of it arrived.
start_sim early --replay "$recordings/good-headered.jsonl" --replay-speed 0
stop_cut early "stopped before the end of the recording: 0 of [0-9]* bytes from the utility came; missing from byte 0 to the scanner (handshake): 0d"

# Cut short by a utility that stops after the identity (another module) and
# a stop while the replay still waits for the key code.
start_sim cut --replay "$recordings/good-headered.jsonl" --replay-speed 0
flash upgrade --port "$port" "$recordings/other-module.bin"
expect_last_line "Mismatch Module NO." "cut short"
stop_cut cut "bytes from the utility came; missing from byte [0-9]* to the scanner (key-code)"

# The same utility and image: the replay ends by itself once the line is quiet.
start_sim whole --replay "$recordings/good-headered.jsonl" --replay-speed 0
flash upgrade --port "$port" "$recordings/headered.bin"
expect_status 0 "whole replay"
wait_for "$sim" 10
status=$?
[ "$status" -eq 0 ] || fail "whole replay: exit $status (124: did not end by itself)"
log_has whole "replay: complete, no divergence" || fail "whole replay: $(tail -n 1 "$work/whole.log")"

finish "hostile replay"
