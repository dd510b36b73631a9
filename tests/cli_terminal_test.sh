#!/usr/bin/env bash
# The progress display on a real terminal (tmux), with standard output on that
# same terminal: the bar stays on one line that fits, and the received bytes
# never land in it.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"
command -v tmux >/dev/null || { echo "tmux is not installed"; exit 1; }

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 45000 --key 90 >/dev/null
terminals=0
tmux_() { tmux -L "orvane-test-$$-$terminals" "$@"; }
trap 'tmux_ kill-server 2>/dev/null; stop_sims; rm -rf "$work"' EXIT

pane() { tmux_ capture-pane -p -t run; }
pane_has() { pane | grep -q -- "$1"; }

# on_terminal COLUMNS ARGS...: orvane-flash in a terminal of that width, both outputs on it.
on_terminal() {
  local columns=$1
  shift
  # A server of its own each time: a new session on a server still going down is lost.
  tmux_ kill-server 2>/dev/null
  terminals=$((terminals + 1))
  tmux_ new-session -d -s run -x "$columns" -y 20 \
    "$bin/orvane-flash $* </dev/null; echo \"exit=\$?\"; sleep 600"
}

# check_bar NAME COLUMNS [verbose]: exactly one progress line, fitting the width; the
# received bytes only ever as escaped lines of their own, and only with -v.
check_bar() {
  local name=$1 columns=$2 verbose=${3:-} screen bars
  screen=$(pane)
  bars=$(printf '%s\n' "$screen" | grep -c "byte(s) sent")
  [ "$bars" -eq 1 ] || fail "$name: $bars progress lines: $screen"
  printf '%s\n' "$screen" | grep "byte(s) sent" | grep -Eq '%' || fail "$name: no percentage: $screen"
  # A bar as wide as the terminal would wrap at the next redraw.
  printf '%s\n' "$screen" | grep "byte(s) sent" | awk -v w="$columns" 'length($0) >= w { exit 1 }' ||
    fail "$name: the bar is as wide as the terminal: $screen"
  if [ -z "$verbose" ]; then
    ! printf '%s\n' "$screen" | grep -q "Boot>" || fail "$name: the trace is on the screen: $screen"
  else
    ! printf '%s\n' "$screen" | grep -v '^rx ' | grep -q "Boot>" ||
      fail "$name: the trace is outside its lines: $screen"
  fi
}

start_sim wide --key 90 --line-rate --expect "$work/fw.bin"
on_terminal 80 upgrade --port "$port" "$work/fw.bin"
wait_until 60 pane_has "KB/s" || fail "wide: no progress with its rate: $(pane)"
check_bar wide 80
wait_until 60 pane_has "exit=" || fail "wide: did not end: $(pane)"
pane_has "exit=0" || fail "wide: $(pane)"
pane | grep -q "^upgrade success!!!$" || fail "wide: no result line: $(pane)"
pane | grep "byte(s) sent" | grep -q "100%" || fail "wide: the bar did not end full: $(pane)"
pane | grep -q "received bytes not shown" || fail "wide: no word of the held-back trace: $(pane)"
pane | grep -q "fw.bin on $port, [0-9.]* s" || fail "wide: no summary line: $(pane)"

# Narrow, and with -v: the bar gives way first, the received bytes show escaped above it.
start_sim narrow --key 90 --line-rate --expect "$work/fw.bin"
on_terminal 44 upgrade -v --port "$port" "$work/fw.bin"
wait_until 60 pane_has "K byte(s) sent" || fail "narrow: no progress: $(pane)"
check_bar narrow 44 verbose
wait_until 60 pane_has "exit=" || fail "narrow: did not end: $(pane)"
tmux_ capture-pane -p -S -200 -t run | grep -q '^rx .*Boot>' ||
  fail "narrow -v: no escaped trace line: $(tmux_ capture-pane -p -S -200 -t run)"

finish "terminal display"
