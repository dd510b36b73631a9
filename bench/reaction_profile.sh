#!/usr/bin/env bash
# One short upload through the paced wire under `perf record -a` (scheduler and
# system call tracepoints), then the steps of the utility's reaction to each
# ACK. Needs perf (Debian's linux-perf) and the right to trace the whole
# machine (root, or kernel.perf_event_paranoid <= -1); builds nothing.
#   bash bench/reaction_profile.sh [IMAGE-SIZE]      (default 12000 bytes)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${ORVANE_BENCH_BIN:-build-bench/bin}
size=${1:-12000}
command -v perf >/dev/null || { echo "reaction-profile: perf is not installed" >&2; exit 1; }
work=$(mktemp -d /tmp/orvane-reaction.XXXXXX)
bench_name=reaction-profile
. bench/bench_lib.sh
trap 'bench_cleanup; rm -rf "$work"' EXIT

"$bin/orvane-mkimage" --out "$work/image.bin" --size "$size" --key 90 >/dev/null
"$bin/orvane-bootsim" --key 90 --once --expect "$work/image.bin" --path-file "$work/sim.path" \
  >"$work/sim.log" 2>&1 &
started+=($!)
await_file "$work/sim.path"
"$bin/orvane-wire-relay" --peer "$(cat "$work/sim.path")" --path-file "$work/relay.path" \
  --stats "$work/stats.json" --batch-us 1000 2>"$work/relay.err" &
relay=$!
started+=("$relay")
await_file "$work/relay.path"
# The relay's own side of the utility's wire is the one pseudo-terminal master it holds.
master=$(find "/proc/$relay/fd" -lname /dev/ptmx -printf '%f\n' | head -n 1)

# --exclude-perf applies to the events before it: perf's own writes would be most of the trace.
# A large buffer: events lost while the machine is busy would break the chains.
# shellcheck disable=SC2016 # expanded by the inner shell
perf record -a -m 8M -o "$work/perf.data" \
  -e sched:sched_switch,sched:sched_wakeup,raw_syscalls:sys_enter,raw_syscalls:sys_exit --exclude-perf \
  -- env FLASH_ERR="$work/flash.err" bash -c '"$@" >/dev/null 2>"$FLASH_ERR"' _ \
  "$bin/orvane-flash" upgrade --port "$(cat "$work/relay.path")" "$work/image.bin" \
  2>"$work/perf.err" || { tail -n 3 "$work/flash.err" "$work/perf.err" >&2; exit 1; }
tail -n 1 "$work/flash.err"
grep -i lost "$work/perf.err" >&2 || true
# The relay names the process that held its port: others may run orvane-flash meanwhile.
utility=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["utility_pids"][0])' \
  "$work/stats.json")
perf script -i "$work/perf.data" -F comm,pid,tid,cpu,time,event,trace 2>/dev/null |
  grep -E '^ *orvane-|comm=orvane-' >"$work/events.txt"
python3 bench/reaction_profile.py "$work/events.txt" "$relay" "$master" "$utility"
