#!/usr/bin/env bash
# orvane-flash as a user runs it, against orvane-bootsim: exit codes, messages, hints.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 20000 --module 5800 --software 1.00.01 --key 90 >/dev/null
"$bin/orvane-mkimage" --out "$work/other.bin" --size 5000 --module 5900 --software 1.00.01 --key 90 >/dev/null
cp "$work/fw.bin" "$work/fw.hex"

# Success: exit 0, the result last on stderr, only the received-byte trace on stdout.
start_sim ok --module 5800 --software 1.00.00 --key 90 --expect "$work/fw.bin"
flash upgrade --port "$port" --report "$work/ok.jsonl" "$work/fw.bin"
expect_status 0 "success"
expect_last_line "upgrade success!!!" "success"
printf '%s' "$out" | grep -q "Boot>" || fail "success: no trace on stdout"
printf '%s' "$out" | grep -q "upgrade success" && fail "success: a message went to stdout"
grep -q "image verified" "$work/ok.log" || fail "success: emulator did not verify the image"

# What became of the scanner is always said: the start step's message that
# replaced the upgrade's own, a scanner that holds its image but was not started.
start_sim replaced --module 5800 --software 1.00.00 --key 90 --fault nak-block:149 \
  --fault "echo-none:go 5000:3"
flash upgrade --port "$port" --report "$work/replaced.jsonl" "$work/fw.bin"
expect_status 1 "start step replaced the message"
expect_last_line 'Write "go 5000" fail' "start step replaced the message"
expect_err "hint: the upgrade itself ended: upgrade not finish!!!" "start step replaced the message"
json_check "$work/replaced.jsonl" \
  "r[0]['message'] == 'Write \"go 5000\" fail' and r[0]['upgrade_message'] == 'upgrade not finish!!!' and
   r[0]['outcome'] == 'write-fail' and r[0]['upgrade_outcome'] == 'not-finished' and
   r[0]['started'] is False and r[0]['exit'] == 1" || fail "replaced: record $(cat "$work/replaced.jsonl")"
start_sim unstarted --module 5800 --software 1.00.00 --key 90 --expect "$work/fw.bin" \
  --fault no-prompt-after-upload
flash upgrade --port "$port" --report "$work/unstarted.jsonl" "$work/fw.bin"
expect_status 0 "not started"
expect_last_line "upgrade success!!!" "not started"
expect_err "hint: the scanner holds the new image but did not answer the start command: power it off and on" \
  "not started"
json_check "$work/unstarted.jsonl" \
  "r[0]['started'] is False and r[0]['upgrade_message'] == r[0]['message'] == 'upgrade success!!!'" ||
  fail "not started: record $(cat "$work/unstarted.jsonl")"
json_check "$work/ok.jsonl" "r[0]['started'] is True and r[0]['outcome'] == 'success'" ||
  fail "success: record $(cat "$work/ok.jsonl")"

# A scanner that never answers: the handshake message, in bounded time.
start_sim silent --fault silent
start=$(date +%s)
flash upgrade --port "$port" "$work/fw.bin"
elapsed=$(($(date +%s) - start))
expect_status 1 "silent scanner"
expect_last_line "Scanner is not connected or not in upgrade mode" "silent scanner"
[ "$elapsed" -le 30 ] || fail "silent scanner took ${elapsed}s"

# Override questions: no terminal and no --yes answers No; --yes answers Yes.
start_sim quirk --module 5800 --software 1.00.00
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
log_has quirk "erase 71000 7" || fail "reseller: no 'erase 71000 7'"

port_locked() { ! flock -n "$1" true 2>/dev/null; }

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
flock "$port" sleep 30 &
holder=$!
wait_until 20 port_locked "$port" || fail "port in use: the holder did not start"
flash upgrade --port "$port" "$work/fw.bin"
expect_status 3 "port in use"
expect_err "in use by another process" "port in use hint"
[ "$out" = "Bad hComm " ] || fail "port in use: stdout '$out'"
pkill -P "$holder"  # flock's own child holds the port too
wait "$holder" 2>/dev/null
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
wait_until 20 grep -q "monitoring at 9600 baud" "$work/err" || fail "monitor did not start"
kill -INT "$monitor"
wait_for "$monitor" 20
status=$?
err=$(cat "$work/err")
expect_status 0 "monitor"

finish "command-line"
