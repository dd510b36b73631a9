#!/usr/bin/env bash
# Benchmarks, run on demand: echo turnaround, ring throughput, a whole upgrade at 57600 baud.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh bench
bash scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCH=ON -DORVANE_TESTS=OFF
# Standard output carries the received-byte trace; the results go to a file.
build-bench/bin/upgrade_bench --benchmark_out=build-bench/bench.txt --benchmark_out_format=console "$@" \
  >/dev/null 2>build-bench/bench.err || { cat build-bench/bench.err; exit 1; }
cat build-bench/bench.txt
