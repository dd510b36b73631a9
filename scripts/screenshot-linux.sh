#!/usr/bin/env bash
# Runs the Qt dialog under Xvfb against the emulated scanner, drives it with
# xdotool as a user would (image in the file chooser, pty path in the port
# entry, Upgrade) and saves the dialog in mid-upgrade to docs/dialog-linux.png.
# Usage: scripts/screenshot-linux.sh [build dir, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ -z "${ORVANE_IN_XVFB:-}" ]; then
  # A small window manager draws the title bar and close box.
  bash scripts/install-deps.sh screenshot
  ORVANE_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 800x600x24" bash "$0" "$@"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The newest visible window whose name matches, once it can be measured.
find_window() {
  for _ in $(seq 300); do
    local id
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -1)
    if [ -n "$id" ] && xdotool getwindowgeometry "$id" >/dev/null 2>&1; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  echo "no window named $1" >&2
  return 1
}

"$build/bin/orvane-mkimage" --out "$work/fw.bin" --size 90000 --software 1.00.01 --key 90 >/dev/null
# Paced at the line rate, so the upgrade lasts long enough to be seen.
"$build/bin/orvane-bootsim" --key 90 --line-rate --once --expect "$work/fw.bin" \
  --path-file "$work/pty" >"$work/bootsim.log" 2>&1 &
pids+=($!)
until [ -s "$work/pty" ]; do sleep 0.1; done

openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
"$build/bin/orvane-upgrade" >"$work/trace.log" 2>&1 &
pids+=($!)

chooser=$(find_window '^Open file$')
xdotool windowfocus --sync "$chooser"
sleep 0.5
xdotool type --delay 10 "$work/fw.bin"
xdotool key Return

dialog=$(find_window '^Orvane 5800 Imager')
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$dialog")"
# Control positions in dialog units (241 x 64) scaled to the window's size.
at() { xdotool mousemove --window "$dialog" $(($1 * WIDTH / 241)) $(($2 * HEIGHT / 64)) "${@:3}"; }

at 210 54 click 1 # the port entry
xdotool key ctrl+a
xdotool type --delay 10 "$(cat "$work/pty")"
at 217 23 click 1 # Upgrade
at 120 30         # the pointer out of the way
sleep 6
mkdir -p docs
# The window with its frame: title bar and close box included.
import -frame -window "$dialog" docs/dialog-linux.png
echo "saved docs/dialog-linux.png"

wait "${pids[0]}" && echo "the scanner received the image" || echo "the scanner's check failed"
cat "$work/bootsim.log"
