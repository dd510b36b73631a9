#!/usr/bin/env bash
# Benchmarks, run on demand (never within the tests):
#   bash scripts/bench.sh [all|micro|upload|station|line|line-stations|line-backlog] [options]
# Options go to the one benchmark chosen: google-benchmark's for micro, station_bench.py's
# for station (e.g. --line), line_bench.py's for line-stations and line-backlog.
# micro:   echo turnaround, ring throughput, a whole upgrade at 57600 baud (google-benchmark)
# upload:  each port's upload against the wire's limit through orvane-wire-relay, one port
#          and eight at once, 3 runs each (bench/upload_bench.sh; bench/README.md)
# station: 16 ports through the station with its page open against one port, and the
#          station's own CPU per port (bench/station_bench.py)
# line:    the line's store alone: 20 stations storing batches at once into a
#          PostgreSQL of its own (bench/line_store_bench.cpp)
# line-stations: 20 simulated stations (spool and sender) delivering through a line
#          server to its PostgreSQL: throughput and each record's latency (bench/line_bench.py)
# line-backlog: 10 000 records spooled while the line server is down, then the time
#          from its start until all are delivered; 20 stations x 500, then one x 10 000
# The build goes to build-bench/, or to $ORVANE_BENCH_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
choice=all
case "${1:-}" in
  all | micro | upload | station | line | line-stations | line-backlog)
    choice=$1
    shift
    ;;
esac
bash scripts/install-deps.sh bench
build=${ORVANE_BENCH_BUILD:-build-bench}
bash scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCH=ON -DORVANE_TESTS=OFF
if [ "$choice" = all ] || [ "$choice" = micro ]; then
  # Standard output carries the received-byte trace; the results go to a file.
  "$build"/bin/upgrade_bench --benchmark_out="$build"/bench.txt \
    --benchmark_out_format=console "$@" >/dev/null 2>"$build"/bench.err ||
    { cat "$build"/bench.err; exit 1; }
  cat "$build"/bench.txt
fi
if [ "$choice" = all ] || [ "$choice" = upload ]; then
  ORVANE_BENCH_BIN=${ORVANE_BENCH_BIN:-$build/bin} ORVANE_BENCH_OUT=${ORVANE_BENCH_OUT:-$build/upload} \
    bash bench/upload_bench.sh
fi
if [ "$choice" = all ] || [ "$choice" = station ]; then
  if [ "$choice" = station ]; then
    /usr/bin/python3 bench/station_bench.py "$build"/bin "$@"
  else
    /usr/bin/python3 bench/station_bench.py "$build"/bin
  fi
fi
if [ "$choice" = all ] || [ "$choice" = line ]; then
  /usr/bin/python3 tests/pg_cluster.py -- "$build"/bin/line_store_bench
fi
if [ "$choice" = all ] || [ "$choice" = line-stations ]; then
  if [ "$choice" = line-stations ]; then
    /usr/bin/python3 bench/line_bench.py "$build"/bin stations "$@"
  else
    /usr/bin/python3 bench/line_bench.py "$build"/bin stations
  fi
fi
if [ "$choice" = all ] || [ "$choice" = line-backlog ]; then
  if [ "$choice" = line-backlog ] && [ $# -gt 0 ]; then
    /usr/bin/python3 bench/line_bench.py "$build"/bin backlog "$@"
  else
    /usr/bin/python3 bench/line_bench.py "$build"/bin backlog --stations 20 --count 500
    /usr/bin/python3 bench/line_bench.py "$build"/bin backlog --stations 1 --count 10000
  fi
fi
