#!/usr/bin/env bash
# Benchmarks, run on demand (never within the tests):
#   bash scripts/bench.sh [all|micro|upload] [google-benchmark options for micro]
# micro:  echo turnaround, ring throughput, a whole upgrade at 57600 baud (google-benchmark)
# upload: each port's upload against the wire's limit through orvane-wire-relay, one port
#         and eight at once, 3 runs each (bench/upload_bench.sh; bench/README.md)
set -euo pipefail
cd "$(dirname "$0")/.."
choice=all
case "${1:-}" in
  all | micro | upload)
    choice=$1
    shift
    ;;
esac
bash scripts/install-deps.sh bench
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCH=ON -DORVANE_TESTS=OFF
if [ "$choice" != upload ]; then
  # Standard output carries the received-byte trace; the results go to a file.
  build-bench/bin/upgrade_bench --benchmark_out=build-bench/bench.txt \
    --benchmark_out_format=console "$@" >/dev/null 2>build-bench/bench.err ||
    { cat build-bench/bench.err; exit 1; }
  cat build-bench/bench.txt
fi
if [ "$choice" != micro ]; then
  bash bench/upload_bench.sh
fi
