#!/usr/bin/env bash
# Nothing unsound reaches the scanner from the command line: names that do not
# fit are refused before the port opens, links of any length lead to their
# device, and an interrupt says where the scanner was left.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 45000 --key 90 >/dev/null

# An image path of 300 characters: refused, and the scanner hears nothing.
long="$work/$(printf 'd%.0s' $(seq 120))/$(printf 'e%.0s' $(seq 120))"
mkdir -p "$long"
image300="$long/$(printf 'f%.0s' $(seq $((300 - ${#long} - 5)))).bin"
cp "$work/fw.bin" "$image300"
[ ${#image300} -eq 300 ] || fail "the long path is ${#image300} characters"

start_sim quiet --key 90
flash upgrade --port "$port" "$image300"
expect_status 2 "300-character image path"
expect_err "at most 255 fit" "300-character image path"
# Refused before the port opened: nothing can still be on its way.
! log_has quiet "wake-up" || fail "300-character image path: the scanner was spoken to"

# A by-id style link of 100 characters leads to its device.
mkdir -p "$work/serial/by-id"
link="$work/serial/by-id/usb-Orvane_5800_Imager_"
link="$link$(printf 'x%.0s' $(seq $((100 - ${#link} - 11))))-if00-port0"
start_sim byid --key 90 --expect "$work/fw.bin"
ln -s "$port" "$link"
[ ${#link} -eq 100 ] || fail "the link is ${#link} characters"
flash upgrade --port "$link" "$work/fw.bin"
expect_status 0 "100-character link"
wait_until 20 log_has byid "image verified" || fail "100-character link: image not verified"

# interrupt_case NAME SIGNAL EXIT: the signal in mid-transfer, at line rate.
interrupt_case() {
  local name=$1 signal=$2 want=$3
  start_sim "$name" --key 90 --line-rate
  "$bin/orvane-flash" upgrade --port "$port" "$work/fw.bin" </dev/null >"$work/out" 2>"$work/err" &
  local cli=$!
  wait_until 60 grep -q "K byte(s) sent" "$work/err" || fail "$name: the transfer did not start"
  local t0 t1
  t0=$(date +%s%N)
  kill "-$signal" "$cli"
  wait_for "$cli" 20
  status=$?
  t1=$(date +%s%N)
  err=$(cat "$work/err")
  expect_status "$want" "$name"
  case "$(last_line)" in
    "interrupted: the scanner was left erased and unfinished"*) ;;
    *) fail "$name: last line '$(last_line)'" ;;
  esac
  # Bounded, not timed: the CLI ends well within a second on an idle machine.
  [ $(((t1 - t0) / 1000000)) -lt 5000 ] || fail "$name: took $(((t1 - t0) / 1000000)) ms to end"
  wait_until 20 log_has "$name" "erase 70000 8" || fail "$name: no erase seen"
  ! log_has "$name" "upload done" || fail "$name: the upload was completed"
  ! log_has "$name" "go 5000" || fail "$name: the start command was sent after the interrupt"
}
interrupt_case sigint INT 130
interrupt_case sigterm TERM 143

# Before any erase: waiting for a scanner that is not there.
"$bin/orvane-flash" upgrade --port "$work/nothing-here" --wait "$work/fw.bin" </dev/null \
  >"$work/out" 2>"$work/err" &
cli=$!
wait_until 20 grep -q "waiting for the scanner" "$work/err" || fail "wait: no waiting line"
kill -HUP "$cli"
wait_for "$cli" 20
status=$?
expect_status 129 "interrupted wait"
expect_last_line "interrupted before any erase: the scanner is untouched" "interrupted wait"

finish "command-line safety"
