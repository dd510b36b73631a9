#!/usr/bin/env bash
# orvane-flash explains itself: help and version, every form of its options,
# quiet and verbose output, and the hint after each failure a person meets.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 3000 --module 5800 --software 1.00.01 --key 90 >/dev/null
"$bin/orvane-mkimage" --out "$work/other.bin" --size 3000 --module 5900 --software 1.00.01 --key 90 >/dev/null
"$bin/orvane-mkimage" --out "$work/old.bin" --size 3000 --module 5800 --software 0.99 --key 90 >/dev/null

# Help: on standard output, exit 0, for the program and each subcommand.
for command in "" upgrade info monitor ports; do
  flash $command --help
  expect_status 0 "help of '$command'"
  [ -z "$err" ] || fail "help of '$command' wrote to stderr: $err"
  printf '%s' "$out" | grep -q "^Usage: orvane-flash $command" || fail "help of '$command': $out"
done
flash --version
expect_status 0 "version"
printf '%s' "$out" | grep -Eq '^orvane-flash [0-9]+\.[0-9]+\.[0-9]+ \(.+\)$' || fail "version: $out"

# Usage errors: a clear message, exit 2.
flash upgrade --port A --port-typo B "$work/fw.bin"
expect_status 2 "unknown option"
expect_err "port-typo" "unknown option named"
flash upgrade --port A --access x --access y "$work/fw.bin"
expect_status 2 "repeated option"
expect_err "access" "repeated option named"
flash upgrade --port A --wait=soon "$work/fw.bin"
expect_status 2 "--wait with no number"
flash upgrade -q -v --port A "$work/fw.bin"
expect_status 2 "-q with -v"

# Every form of the options, against one emulated scanner.
start_sim forms --key 90 --module 5800 --software 1.00.00
for form in "--port=$port" "-p $port" "-p$port"; do
  flash upgrade $form "$work/fw.bin"
  expect_status 0 "port given as '$form'"
done
flash upgrade -p "$port" --access=MAPLEGROVE -y --kx5800 --wait=5 "$work/fw.bin"
expect_status 0 "--opt=value forms"
log_has forms "erase 71000 7" || fail "--access=MAPLEGROVE not taken"
ln -s "$port" "$work/scanner-link"
flash upgrade -p "$work/scanner-link" "$work/fw.bin"
expect_status 0 "a link to the device"

# -q: the result line alone; -v: each exchange, with times.
flash upgrade -q -p "$port" "$work/fw.bin"
expect_status 0 "quiet"
[ "$err" = "upgrade success!!!" ] || fail "quiet printed: $err"
flash upgrade -v -p "$port" "$work/fw.bin"
expect_status 0 "verbose"
expect_err '^\[ *[0-9]*\.[0-9][0-9][0-9]\] sending "erase 2000 1"' "verbose shows the erase with its time"
expect_err "erase confirmed" "verbose judges the reply"
expect_last_line "upgrade success!!!" "verbose"

# Hints: before the result, which stays the last line, unchanged.
flash upgrade -p "$port" "$work/other.bin"
expect_last_line "Mismatch Module NO." "module mismatch"
expect_err "hint: scanner: module 5800, software 1.00.00" "module mismatch: the scanner's identity"
expect_err "hint: image:   module 5900, software 1.00.01" "module mismatch: the image's identity"
expect_err "only the override access word" "module mismatch: what lets it go on"
flash upgrade -p "$port" "$work/old.bin"
expect_last_line "Mismatch Software ID" "software mismatch"
expect_err "software 0.99" "software mismatch: both sides shown"
flash upgrade -p "$port" --access 'quirk!!' "$work/fw.bin"
expect_status 0 "unknown access word"
expect_err "warning: 'quirk!!' is no access word" "unknown access word warned"
cp "$work/fw.bin" "$work/fw.img"
flash upgrade -p "$port" "$work/fw.img"
expect_last_line "Invalid file type" "file type"
expect_err "hint: the image must be a firmware image (.bin) or a font file (.fon)" "file type hint"
stop_sims
start_sim locked --key 7
flash upgrade -p "$port" "$work/fw.bin"
expect_last_line "Erase Flash failed" "refused key"
expect_err "usually means the image is for another scanner" "refused key hint"
start_sim silent --fault silent
flash upgrade -p "$port" "$work/fw.bin"
expect_last_line "Scanner is not connected or not in upgrade mode" "silent scanner"
expect_err "put the scanner into upgrade mode" "silent scanner: what to check"
expect_err "add --wait" "silent scanner: --wait offered"
flash upgrade -q -p "$port" "$work/fw.bin"
[ "$err" = "Scanner is not connected or not in upgrade mode" ] || fail "quiet failure printed: $err"

# Permission hints, as a user who may not open the device (needs root to set up).
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  chmod 755 "$work"
  chmod 644 "$work/fw.bin"
  as_nobody() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$bin/orvane-flash" "$@" \
      </dev/null >"$work/out" 2>"$work/err"
    status=$?
    err=$(cat "$work/err")
  }
  start_sim perm --key 90
  chown root:root "$port" && chmod 600 "$port"
  as_nobody upgrade -p "$port" "$work/fw.bin"
  expect_status 3 "root:root 0600"
  expect_err "no group can be joined" "root:root 0600: no group to join"
  expect_no_err "usermod -aG root" "root:root 0600: never suggests joining root"
  chgrp dialout "$port" && chmod 660 "$port"
  as_nobody upgrade -p "$port" "$work/fw.bin"
  expect_status 3 "root:dialout 0660"
  expect_err "sudo usermod -aG dialout" "root:dialout 0660: join the group"
  expect_last_line "Cannot open this com port" "permission hint before the result"
fi

finish "options and hints"
