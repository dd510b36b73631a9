#!/usr/bin/env bash
# Seeded upgrades over a bad line, hundreds of them, judged by what the
# emulated scanner's flash holds: bash scripts/line-faults.sh [RUNS] [FIRST-SEED]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
first=${2:-1}
bash scripts/install-deps.sh faults
bash scripts/build.sh build
out=build/line-faults-$first-$runs
rm -rf "$out"
python3 tests/line_fault_rig.py --bin build/bin --runs "$runs" --first-seed "$first" --jobs 2 \
  --out "$out"
