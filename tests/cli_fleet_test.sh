#!/usr/bin/env bash
# Several scanners in one command, waiting for a scanner, production mode and
# the record of every upgrade.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 30000 --key 90 >/dev/null

# Four scanners at once, one of them refusing a block.
ports=()
for n in 1 2 3 4; do
  if [ "$n" = 3 ]; then
    start_sim "s$n" --key 90 --expect "$work/fw.bin" --once --fault nak-block:5
  else
    start_sim "s$n" --key 90 --expect "$work/fw.bin" --once
  fi
  ports+=(--port "$port")
  eval "port$n=\$port"
done
flash upgrade "${ports[@]}" --report "$work/four.jsonl" "$work/fw.bin"
expect_status 1 "four ports"
expect_err "3 succeeded, 1 failed" "four ports summary"
expect_err "  $port3: upgrade not finish!!!" "four ports: the failed port named with its message"
expect_err "$port1: upgrade success!!!" "four ports: plain lines carry their port"
for n in 1 2 4; do
  wait_until 20 log_has "s$n" "image verified" || fail "four ports: scanner $n not verified"
done
[ "$(wc -l <"$work/four.jsonl")" -eq 4 ] || fail "four ports: $(wc -l <"$work/four.jsonl") report lines"
json_check "$work/four.jsonl" \
  "sorted(x['message'] for x in r) == ['upgrade not finish!!!'] + ['upgrade success!!!'] * 3 and
   all(x['size'] == 30000 and x['header'] and x['scanner'] and x['blocks_sent'] > 0 and
       x['time'].endswith('Z') for x in r) and
   [x['exit'] for x in r if x['port'] == '$port3'] == [1]" ||
  fail "four ports: report lines $(cat "$work/four.jsonl")"

# --wait: the port appears only after the command started.
later="$work/later-link"
"$bin/orvane-flash" upgrade --port "$later" --wait=60 "$work/fw.bin" </dev/null >"$work/out" 2>"$work/err" &
cli=$!
wait_until 20 grep -q "waiting for the scanner on $later" "$work/err" || fail "wait: no waiting line"
start_sim later --key 90 --expect "$work/fw.bin" --once
ln -s "$port" "$later"
wait_for "$cli" 60
status=$?
expect_status 0 "wait for a port that appears"
wait_until 20 log_has later "image verified" || fail "wait: image not verified"
flash upgrade --port "$work/never-there" --wait=1 "$work/fw.bin"
expect_status 1 "wait time-out"
expect_last_line "Scanner is not connected or not in upgrade mode" "wait time-out"

# --loop never takes the same scanner twice: one that stays in upgrade mode
# after its upgrade is waited for to leave, however often it answers, also
# when it is slow to answer the start command (a look at it meets that answer).
stay_case() {
  local name=$1 delay=$2 stay="$work/$1-link"
  "$bin/orvane-flash" upgrade --port "$stay" --loop "$work/fw.bin" </dev/null >"$work/out" 2>"$work/err" &
  cli=$!
  start_sim "$name" --key 90 --expect "$work/fw.bin" --fault "go-reply-delay:$delay"
  ln -s "$port" "$stay"
  wakes_after_start() {
    [ "$(awk '/go 5000/ { on = 1 } on && /wake-up/ { n++ } END { print n + 0 }' "$work/$name.log")" -ge "$1" ]
  }
  if ! wait_until 60 wakes_after_start 6; then
    fail "$name: the scanner was not looked at after its upgrade"
    tail -n 30 "$work/$name.log" "$work/err"  # what each side last did, to tell why
  fi
  [ "$(log_count "$name" "upload done")" -eq 1 ] ||
    fail "$name: upgraded $(log_count "$name" "upload done") times"
  grep -q "waiting for the scanner to leave $stay" "$work/err" || fail "$name: not waiting for it to leave"
  rm -f "$stay"
  waiting_again() { [ "$(grep -c "waiting for the scanner on $stay" "$work/err")" -ge 2 ]; }
  wait_until 30 waiting_again || fail "$name: its leaving was not seen"
  kill -INT "$cli"
  wait_for "$cli" 20
  status=$?
  expect_status 0 "$name: stopped while waiting"
  stop_sims
}
stay_case stay 0
stay_case slow-go 40
stay_case slower-go 300

# --loop: three scanners, one after another on one port, each upgraded once.
line="$work/line-link"
"$bin/orvane-flash" upgrade --port "$line" --loop --report "$work/loop.jsonl" "$work/fw.bin" \
  </dev/null >"$work/out" 2>"$work/err" &
cli=$!
waiting_count() { [ "$(grep -c "waiting for the scanner on $line" "$work/err")" -ge "$1" ]; }
for n in 1 2 3; do
  # As on a real line, the next scanner comes once the last one has been seen to go.
  wait_until 60 waiting_count "$n" || fail "loop: not waiting for scanner $n"
  start_sim "line$n" --key 90 --expect "$work/fw.bin"
  ln -sfn "$port" "$line"
  wait_until 60 log_has "line$n" "go 5000" || fail "loop: scanner $n was not started"
  # Taken off the line before its device goes: a pty number is soon another's.
  rm -f "$line"
  kill "$sim"
  wait_for "$sim" 20 || fail "loop: scanner $n did not get the image"
  [ "$(log_count "line$n" "upload done")" -eq 1 ] || fail "loop: scanner $n upgraded $(log_count "line$n" "upload done") times"
done
wait_until 20 grep -q "3 upgraded, 0 failed" "$work/err" || fail "loop: no tally of three"
kill -INT "$cli"
wait_for "$cli" 20
status=$?
err=$(cat "$work/err")
expect_status 0 "loop ended by Ctrl-C while waiting"
expect_last_line "stopped: 3 upgraded, 0 failed" "loop"
[ "$(wc -l <"$work/loop.jsonl")" -eq 3 ] || fail "loop: $(wc -l <"$work/loop.jsonl") report lines"

# Production mode on several ports: the first Ctrl-C lets the upgrades in
# progress finish, the second stops every one of them at once.
"$bin/orvane-mkimage" --out "$work/big.bin" --size 300000 --key 90 >/dev/null
start_sim c1 --key 90 --line-rate
c1=$port
start_sim c2 --key 90 --line-rate
c2=$port
"$bin/orvane-flash" upgrade --port "$c1" --port "$c2" --loop "$work/big.bin" </dev/null \
  >"$work/out" 2>"$work/err" &
cli=$!
uploading() { log_has c1 "upload 2000" && log_has c2 "upload 2000"; }
wait_until 60 uploading || fail "two Ctrl-C: the uploads did not begin"
# A signal still pending when the next comes would count once.
taken() { (($(printf '%d' "0x$(awk '/^ShdPnd/ { print $2 }' "/proc/$cli/status")") & 2)) && return 1 || return 0; }
kill -INT "$cli"
wait_until 20 taken || fail "two Ctrl-C: the first was not taken"
kill -INT "$cli"
wait_for "$cli" 30
status=$?
err=$(cat "$work/err")
expect_status 130 "two Ctrl-C"
for p in "$c1" "$c2"; do
  expect_err "  $p: interrupted: the scanner was left erased and unfinished" "two Ctrl-C: $p"
done
log_has c1 "upload done" && fail "two Ctrl-C: the first upload ran to its end"
stop_sims

finish "several-ports"
