#!/usr/bin/env bash
# The main job on the built-in emulated scanner: build, start the emulator,
# make a demo image with a header, upgrade it with orvane-flash and show that
# the scanner received exactly the image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh core
bash scripts/build.sh build
bin=build/bin
work=build/demo
rm -rf "$work" && mkdir -p "$work"
trap 'kill "$sim" 2>/dev/null || true' EXIT

"$bin/orvane-mkimage" --out "$work/demo.bin" --size 45000 --customer ORVANE --module 5800 \
  --hardware HW-A1 --software 1.00.01 --key 90
echo "== demo image"
"$bin/orvane-flash" info "$work/demo.bin"

"$bin/orvane-bootsim" --customer ORVANE --module 5800 --hardware HW-A1 --software 1.00.00 \
  --key 90 --line-rate --expect "$work/demo.bin" --once --path-file "$work/port" >"$work/sim.log" &
sim=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
echo "== emulated scanner on $port"

echo "== upgrading (received-byte trace in $work/trace.log)"
status=0
"$bin/orvane-flash" upgrade --port "$port" "$work/demo.bin" >"$work/trace.log" || status=$?
sim_status=0
wait "$sim" || sim_status=$?
echo "== what the emulated scanner saw"
cat "$work/sim.log"
if [ "$status" -ne 0 ] || [ "$sim_status" -ne 0 ]; then
  echo "demo FAILED (orvane-flash exit $status, emulator exit $sim_status)" >&2
  exit 1
fi
echo "demo passed: upgrade success and the image in the scanner's flash is the image sent"
