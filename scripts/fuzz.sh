#!/usr/bin/env bash
# Fuzzes the codec's decoders and the recording's reader: builds build-fuzz/ with clang,
# writes the seed corpora and runs each fuzzer for SECONDS (default 180). Working corpora
# stay in build-fuzz/corpus/ between runs; failing inputs go to build-fuzz/artifacts/.
# Exits non-zero if any fuzzer failed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
dir=build-fuzz
targets=(key_code image_header scanner_identity recording)

cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DORVANE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null

# Regenerated each run, so they always match the encoders.
rm -rf "$dir/seeds"
"$dir/bin/make_seeds" "$dir/seeds"
mkdir -p "$dir/artifacts" "$dir/logs"

summary=()
status=0
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t"
  log=$dir/logs/$t.log
  echo "fuzzing $t for ${seconds}s"
  rc=0
  # New inputs are added to the first directory only; the seeds stay as generated.
  "$dir/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$t-" "$dir/corpus/$t" "$dir/seeds/$t" \
    </dev/null >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  found=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | paste -sd ' ')
  if [[ $rc -eq 0 && -z $found ]]; then
    summary+=("$t: ${runs:-?} executions, nothing found")
  else
    status=1
    summary+=("$t: ${runs:-?} executions, FAILED (exit $rc) ${found:+input: $found}")
    tail -n 40 "$log"
  fi
done

printf '%s\n' "${summary[@]}"
exit "$status"
