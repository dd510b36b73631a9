#!/usr/bin/env bash
# How close each port's upload comes to the wire's limit: orvane-flash talks to
# orvane-bootsim through orvane-wire-relay, which paces both directions at
# 57600 baud 8N1 and times the upload. One port, then several at once, each
# repeated; fails when any upgrade fails or any image is not verified.
#   bash bench/upload_bench.sh            (scripts/bench.sh builds first)
# Environment: ORVANE_BENCH_BIN (default build-bench/bin), ORVANE_BENCH_RUNS (3),
# ORVANE_BENCH_PORTS (8), ORVANE_RELAY_BATCH_US (1000), ORVANE_RELAY_REALTIME (0),
# ORVANE_BENCH_OUT (build-bench/upload: each run's records, kept for a look),
# ORVANE_BENCH_SIM_OPTIONS (more emulator options, e.g. "--fault nak-block:9"),
# ORVANE_BENCH_FLASH_OPTIONS (more orvane-flash options; "--record DIR" records
# every upgrade into the run's folder DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${ORVANE_BENCH_BIN:-build-bench/bin}
runs=${ORVANE_BENCH_RUNS:-3}
many=${ORVANE_BENCH_PORTS:-8}
batch=${ORVANE_RELAY_BATCH_US:-1000}
realtime=${ORVANE_RELAY_REALTIME:-0}
out=${ORVANE_BENCH_OUT:-build-bench/upload}
read -r -a sim_options <<<"${ORVANE_BENCH_SIM_OPTIONS:-}"
read -r -a flash_options <<<"${ORVANE_BENCH_FLASH_OPTIONS:-}"

for tool in orvane-flash orvane-bootsim orvane-mkimage orvane-wire-relay; do
  [ -x "$bin/$tool" ] || { echo "upload-bench: $bin/$tool is missing (build first)" >&2; exit 1; }
done
bin=$(cd "$bin" && pwd)
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)

bench_name=upload-bench
. bench/bench_lib.sh  # `started`: every background process of ours, ended on the way out
trap bench_cleanup EXIT

# Waits for a process of ours, ending it after $2 seconds; its status in $exit_status
# (not printed: a command substitution's subshell cannot wait for our children).
await_exit() {
  local pid=$1 limit=$2 i
  for ((i = 0; i < limit * 20; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -0 "$pid" 2>/dev/null && kill -TERM "$pid" 2>/dev/null
  exit_status=0
  wait "$pid" || exit_status=$?
}

fail() {
  echo "upload-bench: $1" >&2
  local f
  for f in "$2"/*.err "$2"/*.log; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -n 5 "$f" >&2; }
  done
  exit 1
}

image=$out/image.bin
"$bin/orvane-mkimage" --out "$image" --size 45000 --key 90 >/dev/null

relay_options=(--batch-us "$batch")
[ "$realtime" = 1 ] && relay_options+=(--realtime)

# One go: N emulators, N relays, one orvane-flash command over all N ports.
run_ports() {
  local n=$1 dir=$2 i
  mkdir -p "$dir"
  local sims=() relays=() ports=()
  for ((i = 1; i <= n; i++)); do
    "$bin/orvane-bootsim" --key 90 --once --expect "$image" --path-file "$dir/sim$i.path" \
      "${sim_options[@]}" >"$dir/sim$i.log" 2>&1 &
    sims+=($!) started+=($!)
  done
  for ((i = 1; i <= n; i++)); do
    await_file "$dir/sim$i.path"
    "$bin/orvane-wire-relay" --peer "$(cat "$dir/sim$i.path")" --path-file "$dir/relay$i.path" \
      --stats "$dir/stats$i.json" "${relay_options[@]}" 2>"$dir/relay$i.err" &
    relays+=($!) started+=($!)
  done
  for ((i = 1; i <= n; i++)); do
    await_file "$dir/relay$i.path"
    ports+=(--port "$(cat "$dir/relay$i.path")")
  done
  # A shell of its own around the command: its `times` is then the CPU time
  # of orvane-flash and every child it waited for, and nothing else. The
  # time limit only keeps a hung upgrade from hanging the benchmark.
  local status=0
  FLASH_ERR=$dir/flash.err bash -c \
    's=$EPOCHREALTIME; "$@" >/dev/null 2>"$FLASH_ERR"; rc=$?; e=$EPOCHREALTIME
     times; echo "$s $e $rc"; exit $rc' \
    _ timeout --foreground 300 "$bin/orvane-flash" upgrade "${ports[@]}" --report "$dir/report.jsonl" \
    "${flash_options[@]/#DIR/$dir/rec}" "$image" \
    >"$dir/command.txt" || status=$?
  for ((i = 1; i <= n; i++)); do
    local sim_status relay_status
    await_exit "${sims[i - 1]}" 10
    sim_status=$exit_status
    await_exit "${relays[i - 1]}" 5
    relay_status=$exit_status
    [ "$sim_status" = 0 ] || fail "port $i: the emulator did not verify the image ($sim_status)" "$dir"
    [ "$relay_status" = 0 ] || fail "port $i: the relay ended with $relay_status" "$dir"
    grep -q '"complete":true' "$dir/stats$i.json" || fail "port $i: no complete upload seen" "$dir"
  done
  started=()
  local last
  last=$(tail -n 1 "$dir/flash.err")
  [ "$status" = 0 ] || fail "orvane-flash ended with $status: $last" "$dir"
  if [ "$n" = 1 ]; then
    [ "$last" = "upgrade success!!!" ] || fail "orvane-flash said: $last" "$dir"
  else
    [ "$last" = "$n succeeded, 0 failed" ] || fail "orvane-flash said: $last" "$dir"
  fi
}

echo "upload-bench: $runs run(s) of 1 port and of $many ports, relay batch $batch µs," \
  "real-time relay $realtime"
echo "load before: $(uptime)"
uptime >"$out/load-before.txt"
for ((r = 1; r <= runs; r++)); do
  run_ports 1 "$out/one-$r"
  echo "  run $r: 1 port done"
  run_ports "$many" "$out/many-$r"
  echo "  run $r: $many ports done"
done
uptime >"$out/load-after.txt"
echo "load after:  $(cat "$out/load-after.txt")"
python3 bench/upload_report.py "$out" "$runs" "$many"
