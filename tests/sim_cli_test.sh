#!/usr/bin/env bash
# The command lines of orvane-bootsim and orvane-mkimage: help, version, usage
# errors, the faults the help lists, and a few faults at work on the line.
set -u
bin=$1
bootsim=$bin/orvane-bootsim
mkimage=$bin/orvane-mkimage
work=$(mktemp -d)
sim_pid=""
failures=0
trap 'stop_sim; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
stop_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  sim_pid=""
}

# run PROGRAM ARGS... : sets $status, $out, $err
run() {
  timeout 10 "$@" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

# usage_error NAME PROGRAM ARGS... : exit 2, a message on stderr naming the program, nothing on stdout
usage_error() {
  local name=$1
  shift
  run "$@"
  [ "$status" -eq 2 ] || fail "$name: exit $status, wanted 2"
  [ -z "$out" ] || fail "$name: stdout '$out'"
  grep -q "^$(basename "$1"): " "$work/err" || fail "$name: stderr '$err'"
}

for program in "$bootsim" "$mkimage"; do
  name=$(basename "$program")
  run "$program" --help
  [ "$status" -eq 0 ] || fail "$name --help: exit $status"
  grep -q -- "--customer S=ORVANE" "$work/out" || fail "$name --help: no identity options"
  [ -z "$err" ] || fail "$name --help: stderr '$err'"
  run "$program" --version
  [ "$status" -eq 0 ] || fail "$name --version: exit $status"
  printf '%s\n' "$out" | grep -Eqx "$name [0-9]+\.[0-9]+\.[0-9]+" || fail "$name --version: '$out'"
  usage_error "$name unknown option" "$program" --frobnicate
  usage_error "$name stray argument" "$program" stray
  usage_error "$name repeated --key" "$program" --key 1 --key 2 --out "$work/x.bin"
  usage_error "$name key out of range" "$program" --key 256 --out "$work/x.bin"
done

# Every fault the help lists parses in the form it is listed with; a parse
# that gets through reaches the --expect file, which does not exist.
run "$bootsim" --help
faults=$(sed -n '/^Faults/,/^$/p' "$work/out" | awk 'NR > 1 && NF { print $1 }')
[ "$(printf '%s\n' "$faults" | wc -l)" -eq 17 ] || fail "help lists faults: $faults"
for form in $faults; do
  fault=$(printf '%s' "$form" | sed 's/:N\[:T\]/:3:forever/; s/:N:MS/:2:100/; s/:CMD:POS/:go:1/; s/:CMD/:go/; s/:N/:2/')
  run "$bootsim" --fault "$fault" --expect "$work/none"
  grep -q "cannot read" "$work/err" || fail "listed fault $fault: $err"
done
for bad in bogus silent:1 nak-block:x nak-block:-1 no-prompt echo-none:0 no-answer-block:3:0; do
  usage_error "fault $bad" "$bootsim" --fault "$bad"
  grep -q -- "--fault" "$work/err" || fail "fault $bad: message does not name --fault: $err"
done
run "$bootsim" --fault=nak-block:2 --fault no-success:1 --fault=no-success:2 --expect "$work/none"
grep -q "cannot read" "$work/err" || fail "repeated --fault: $err"

# start_sim OPTIONS... : starts the emulator, sets $port
start_sim() {
  stop_sim
  rm -f "$work/port"
  "$bootsim" --path-file "$work/port" "$@" </dev/null >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
  port=$(cat "$work/port" 2>/dev/null)
  [ -n "$port" ] && [ -c "$port" ] || fail "emulator $*: no device in the path file"
  grep -qx "bootsim: device $port" "$work/sim.log" || fail "emulator $*: log '$(cat "$work/sim.log")'"
}

# wake: a lone carriage return to the emulator; sets $reply to what came back within a second
wake() {
  reply=""
  [ -c "$port" ] || return
  stty -F "$port" raw -echo 2>/dev/null
  exec 3<>"$port"
  printf '\r' >&3
  reply=$(timeout 1 cat <&3 | tr -d '\r\n')
  exec 3>&-
}

start_sim
wake
[ "$reply" = "Boot>" ] || fail "plain emulator answered '$reply' to a wake-up"
start_sim --fault=silent
wake
[ -z "$reply" ] || fail "silent emulator answered '$reply'"
start_sim --fault wrong-prompt
wake
[ "$reply" = "boot>" ] || fail "wrong-prompt emulator answered '$reply'"
stop_sim

run "$mkimage" --out="$work/payload.bin" --size=2000 --no-header
[ "$status" -eq 0 ] || fail "mkimage --no-header: exit $status: $err"
[ "$(wc -c <"$work/payload.bin")" -eq 2000 ] || fail "mkimage --size=2000: $(wc -c <"$work/payload.bin") bytes"
[ "$out" = "mkimage: wrote $work/payload.bin (2000 bytes, no header)" ] || fail "mkimage printed '$out'"
[ "$(head -c 4 "$work/payload.bin" | od -An -tx1 | tr -d ' ')" != 42494e00 ] ||
  fail "a headerless image begins with the header magic"
usage_error "mkimage without --out" "$mkimage" --size 2000
usage_error "mkimage header in too small a file" "$mkimage" --out "$work/x.bin" --size 1000
run "$mkimage" --out "$work/no-such-dir/x.bin"
[ "$status" -eq 1 ] || fail "mkimage into a missing folder: exit $status"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all emulator command-line checks passed"
