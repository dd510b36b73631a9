#!/usr/bin/env bash
# Fuzzes the codec's decoders and the recording's reader: builds build-fuzz/ with clang,
# writes the seed corpora and runs each fuzzer for SECONDS (default 180), as many at once
# as there are cores. Working corpora stay in build-fuzz/corpus/ between runs; failing
# inputs go to build-fuzz/artifacts/.
# Exits non-zero if any fuzzer failed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}  # --build: only build
dir=build-fuzz
targets=(key_code image_header scanner_identity recording)

cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DORVANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
[ "$seconds" != --build ] || exit 0

# Regenerated each run, so they always match the encoders.
rm -rf "$dir/seeds"
"$dir/bin/make_seeds" "$dir/seeds"
mkdir -p "$dir/artifacts" "$dir/logs"

fuzz() {  # fuzz TARGET: runs it, its verdict in logs/TARGET.verdict
  local t=$1 log=$dir/logs/$1.log rc=0 runs found verdict
  mkdir -p "$dir/corpus/$t"
  # New inputs are added to the first directory only; the seeds stay as generated.
  "$dir/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$t-" "$dir/corpus/$t" "$dir/seeds/$t" \
    </dev/null >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  found=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | paste -sd ' ')
  if [[ $rc -eq 0 && -z $found ]]; then
    verdict="nothing found"
  else
    verdict="FAILED (exit $rc) ${found:+input: $found}"
  fi
  echo "$t: ${runs:-?} executions, $verdict" >"$dir/logs/$t.verdict"
}

# One fuzzer a core at a time.
rm -f "$dir"/logs/*.verdict
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n
    running=$((running - 1))
  fi
  echo "fuzzing $t for ${seconds}s"
  fuzz "$t" &
  running=$((running + 1))
done
wait

status=0
for t in "${targets[@]}"; do
  verdict=$(cat "$dir/logs/$t.verdict" 2>/dev/null || echo "$t: no verdict, FAILED")
  echo "$verdict"
  if [[ $verdict == *FAILED* ]]; then
    status=1
    tail -n 40 "$dir/logs/$t.log"
  fi
done
exit "$status"
