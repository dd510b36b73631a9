#!/usr/bin/env bash
# Hostile files, arguments and texts: no output path harms the image or
# another output, nothing blocks where Ctrl-C cannot reach, a failed write is
# said, and text from files and the scanner is shown escaped.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"

"$bin/orvane-mkimage" --out "$work/v.bin" --size 3000 --key 90 >/dev/null
cp "$work/v.bin" "$work/original.bin"
start_sim s --key 90
intact() { cmp -s "$work/v.bin" "$work/original.bin" || fail "$1: the image was changed"; }

# An output that is the image, directly or through a link of either kind,
# or the same file as the other output: refused before anything is written.
ln -s "$work/v.bin" "$work/soft.bin"
ln "$work/v.bin" "$work/hard.bin"
for args in "--record $work/v.bin" "--report $work/v.bin" "--record $work/soft.bin" \
  "--report $work/hard.bin" "--record $work/same.jsonl --report $work/same.jsonl"; do
  # shellcheck disable=SC2086
  flash upgrade --port "$port" $args "$work/v.bin"
  expect_status 2 "$args"
  intact "$args"
  [ ! -e "$work/same.jsonl" ] || fail "$args: an output was created"
done
! log_has s "wake-up" || fail "a refused output: the scanner was spoken to"

# A FIFO or a device as an output: refused at once, never opened to wait.
mkfifo "$work/fifo"
for option in --record --report; do
  SECONDS=0
  flash upgrade --port "$port" "$option" "$work/fifo" "$work/v.bin"
  expect_status 2 "$option onto a FIFO"
  expect_err "is not a regular file" "$option onto a FIFO"
  [ "$SECONDS" -lt 10 ] || fail "$option onto a FIFO took $SECONDS s"
done
flash upgrade --port "$port" --record /dev/full "$work/v.bin"
expect_status 2 "--record /dev/full"

# A write that fails (the file size limit here): said once before the result
# line, which stays last, and the success becomes exit 5.
(
  ulimit -f 1
  flash upgrade --port "$port" --record "$work/big.jsonl" "$work/v.bin"
  expect_status 5 "a recording cut by the size limit"
  expect_last_line "upgrade success!!!" "a recording cut by the size limit"
  [ "$(grep -c "^warning: the recording .*big.jsonl.partial is incomplete" "$work/err")" -eq 1 ] ||
    fail "a recording cut by the size limit: no single warning: $err"
  exit "$failures"
) || failures=$((failures + 1))
[ -e "$work/big.jsonl.partial" ] && [ ! -e "$work/big.jsonl" ] ||
  fail "an incomplete recording is not kept under its partial name"

# A complete recording replaces a link at its name instead of writing through it.
echo "keep me" >"$work/other.txt"
ln -s "$work/other.txt" "$work/rec-link.jsonl"
flash upgrade --port "$port" --record "$work/rec-link.jsonl" "$work/v.bin"
expect_status 0 "a recording named by a link"
[ "$(cat "$work/other.txt")" = "keep me" ] || fail "the recording wrote through a link"
[ ! -L "$work/rec-link.jsonl" ] && head -1 "$work/rec-link.jsonl" | grep -q '"record":"start"' ||
  fail "the recording is not in place of the link"

# Two ports whose names would make the same file name, and two runs in the
# same second into one folder: every recording is kept.
ln -s "$port" "$work/x:y"
ln -s "$port" "$work/x_y"
start_sim t --key 90
ln -s "$port" "$work/other-port"
flash upgrade --port "$work/x:y" --port "$work/other-port" --record "$work/recs" "$work/v.bin"
expect_status 0 "two ports recorded"
flash upgrade --port "$work/x_y" --port "$work/other-port" --record "$work/recs" "$work/v.bin"
expect_status 0 "two ports recorded again"
[ "$(find "$work/recs" -name '*.jsonl' | wc -l)" -eq 4 ] ||
  fail "four recordings into one folder: $(ls "$work/recs")"

# Text from an image header and from the scanner is shown, never obeyed.
esc=$'\e]0;retitled\a'
"$bin/orvane-mkimage" --out "$work/e.bin" --size 3000 --key 90 --customer "$esc" \
  --module $'58\r00' >/dev/null
flash info "$work/e.bin"
expect_status 0 "info of a hostile header"
printf '%s' "$out" | grep -q $'\e' && fail "info: a raw escape reached the terminal"
expect_out 'customer-id: \\x1b]0;retitled\\x07' "info shows the escape escaped"
expect_out 'module: 58\\r00' "info shows a carriage return escaped"
start_sim hostile --key 90 --customer $'\e[2J' --module $'5800\nupgrade success!!!'
flash upgrade --port "$port" "$work/e.bin"
expect_status 1 "a hostile scanner identity"
grep -q $'\e' "$work/err" && fail "hints: a raw escape reached the terminal"
expect_err 'hint: scanner: module 5800\\nupgrade suc, software' "hints show the scanner escaped"
[ "$(grep -c '^upgrade success!!!$' "$work/err")" -eq 0 ] || fail "a scanner forged a result line"
# An argument's line end cannot forge one either.
flash upgrade --port "$port" "$work/none"$'\n'"upgrade success!!!"
[ "$(grep -c '^upgrade success!!!$' "$work/err")" -eq 0 ] || fail "an argument forged a result line"

# info takes the paths upgrade takes: one too long is the same usage error.
long="$work/$(printf 'd%.0s' $(seq 250))/f.bin"
flash info "$long"
expect_status 2 "info with a path of 256 characters or more"
expect_err "at most 255 fit" "info with a long path"

# A terminal that takes no more output holds the program up; the second
# Ctrl-C still ends it, with the documented status, within a few seconds.
"$bin/orvane-mkimage" --out "$work/big.bin" --size 200000 --key 90 >/dev/null
start_sim slow --key 90 --line-rate
STOPPED="$work/stopped" python3 - "$bin/orvane-flash" "$port" "$work/big.bin" <<'PY' || fail "a stopped terminal: $(cat "$work/stopped")"
import os, pty, signal, subprocess, sys, termios, time
flash, port, image = sys.argv[1:]
master, slave = pty.openpty()
attrs = termios.tcgetattr(slave)
attrs[0] |= termios.IXON
termios.tcsetattr(slave, termios.TCSANOW, attrs)
p = subprocess.Popen([flash, "upgrade", "--port", port, image], stdin=subprocess.DEVNULL,
                     stdout=slave, stderr=slave)
seen = b""
while b"K byte(s) sent" not in seen:  # the upload is under way
    seen += os.read(master, 4096)
os.write(master, b"\x13")  # XOFF: no more output is taken
time.sleep(0.5)
p.send_signal(signal.SIGINT)
time.sleep(0.2)
p.send_signal(signal.SIGINT)
try:
    status = p.wait(timeout=30)
except subprocess.TimeoutExpired:
    p.kill()
    open(os.environ["STOPPED"], "w").write("still running 30 s after two Ctrl-C")
    sys.exit(1)
if status != 130:
    open(os.environ["STOPPED"], "w").write("exit %d" % status)
    sys.exit(1)
PY
stop_sims

finish "hostile-input"
