#!/usr/bin/env bash
# Benchmarks, run on demand (never within the tests):
#   bash scripts/bench.sh [all|micro|upload|station|line] [google-benchmark options for micro]
# micro:   echo turnaround, ring throughput, a whole upgrade at 57600 baud (google-benchmark)
# upload:  each port's upload against the wire's limit through orvane-wire-relay, one port
#          and eight at once, 3 runs each (bench/upload_bench.sh; bench/README.md)
# station: 16 ports through the station with its page open against one port, and the
#          station's own CPU per port (bench/station_bench.py)
# line:    the line's store alone: 20 stations storing batches at once into a
#          PostgreSQL of its own (bench/line_store_bench.cpp)
set -euo pipefail
cd "$(dirname "$0")/.."
choice=all
case "${1:-}" in
  all | micro | upload | station | line)
    choice=$1
    shift
    ;;
esac
bash scripts/install-deps.sh bench
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCH=ON -DORVANE_TESTS=OFF
if [ "$choice" = all ] || [ "$choice" = micro ]; then
  # Standard output carries the received-byte trace; the results go to a file.
  build-bench/bin/upgrade_bench --benchmark_out=build-bench/bench.txt \
    --benchmark_out_format=console "$@" >/dev/null 2>build-bench/bench.err ||
    { cat build-bench/bench.err; exit 1; }
  cat build-bench/bench.txt
fi
if [ "$choice" = all ] || [ "$choice" = upload ]; then
  bash bench/upload_bench.sh
fi
if [ "$choice" = all ] || [ "$choice" = station ]; then
  /usr/bin/python3 bench/station_bench.py build-bench/bin
fi
if [ "$choice" = all ] || [ "$choice" = line ]; then
  /usr/bin/python3 tests/pg_cluster.py -- build-bench/bin/line_store_bench
fi
