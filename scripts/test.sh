#!/usr/bin/env bash
# All tests: installs what is needed, builds, runs the test suite, checks the
# Debian package, runs the suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer, fuzzes the decoders
# for a while, then builds for Windows and tests that under Wine. Ends with a
# table of the steps and their seconds; exits non-zero if any step failed.
#   bash scripts/test.sh           everything
#   bash scripts/test.sh --quick   the plain build and its suite only
#
# The suites mostly wait on bytes paced across pseudo-terminals, so the next
# build runs beside each suite, at the lowest priority (nice 19, SCHED_IDLE):
# it takes only the cycles the tests leave. Compiles go through ccache, its
# cache outside the clone (~/.cache/ccache), so a second run anywhere on this
# machine compiles next to nothing.
#
# Tests labelled plain_only run in the plain build only: they pace bytes over a
# pseudo-terminal along paths that other tests take under the sanitizers, or
# run no program of ours (tests/CMakeLists.txt names each, and why).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *)
    echo "usage: bash scripts/test.sh [--quick]" >&2
    exit 2
    ;;
esac
jobs=$(nproc)
logs=$root/build-logs
mkdir -p "$logs"
rm -f "$logs"/*.log "$logs"/*.time

names=() seconds=() verdicts=()
failed=0
started=$SECONDS
record() {  # record NAME SECONDS STATUS
  names+=("$1")
  seconds+=("$2")
  if [ "$3" = 0 ]; then
    verdicts+=(ok)
  elif [ "$3" = skipped ]; then
    verdicts+=("skipped")
  else
    verdicts+=("FAILED ($3)")
    failed=1
  fi
}
step() {  # step NAME COMMAND...: in front, its output shown
  local name=$1 begun=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  record "$name" $((SECONDS - begun)) "$status"
  return "$status"
}
declare -A behind=()
lowest=(nice -n 19)
if chrt --idle 0 true 2>/dev/null; then lowest+=(chrt --idle 0); fi
beside() {  # beside NAME COMMAND...: in the background at the lowest priority
  local name=$1
  shift
  (
    begun=$SECONDS
    status=0
    "${lowest[@]}" "$@" >"$logs/$name.log" 2>&1 </dev/null || status=$?
    echo "$((SECONDS - begun)) $status" >"$logs/$name.time"
  ) &
  behind[$name]=$!
  echo "== $name (beside, log in build-logs/$name.log)"
}
joined() {  # joined NAME: waits for a step started beside; its status
  local name=$1 spent status
  wait "${behind[$name]}"
  read -r spent status <"$logs/$name.time" || { spent=0 status=lost; }
  record "$name (beside)" "$spent" "$status"
  if [ "$status" != 0 ]; then
    echo "== $name FAILED; the end of build-logs/$name.log:"
    tail -n 60 "$logs/$name.log"
  fi
  [ "$status" = 0 ]
}
skip() { record "$1" 0 skipped; }
table() {
  echo
  printf '%-34s %7s  %s\n' step seconds result
  local i
  for i in "${!names[@]}"; do
    printf '%-34s %7s  %s\n' "${names[$i]}" "${seconds[$i]}" "${verdicts[$i]}"
  done
  printf '%-34s %7s\n' "all (wall clock)" $((SECONDS - started))
}
suite() {  # suite DIR [CTEST OPTIONS...]
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@")
}
sanitized_suite() {  # sanitized_suite DIR: the suite less what only the plain build runs
  echo "left out here, run in the plain build only (the reasons are in tests/CMakeLists.txt):"
  (cd "$1" && ctest -N -L plain_only | sed -n 's/^ *Test *#[0-9]*: /  /p')
  suite "$1" -LE plain_only
}
tsan_suite() {
  TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1" sanitized_suite build-tsan
}

step "packages" bash scripts/install-deps.sh || { table; exit 1; }
if [ $quick = 1 ]; then
  step "build" bash scripts/build.sh build && step "suite" suite build
  table
  exit $failed
fi

# Wine makes its prefix while the plain build compiles.
beside "wine prefix" bash scripts/test-windows.sh --prefix
step "build" bash scripts/build.sh build && built=1 || built=0
beside "ASan build" bash scripts/build.sh build-asan -DORVANE_SANITIZE=ON
if [ $built = 1 ]; then
  beside "package" bash tests/package_test.sh build
  step "suite" suite build
  joined "package"
else
  skip "suite"
  skip "package"
fi
joined "ASan build" && asan=1 || asan=0
joined "wine prefix"

beside "TSan build" bash scripts/build.sh build-tsan -DORVANE_TSAN=ON
if [ $asan = 1 ]; then
  step "suite, ASan+UBSan" sanitized_suite build-asan
else
  skip "suite, ASan+UBSan"
fi
joined "TSan build" && tsan=1 || tsan=0

beside "Windows build" bash scripts/test-windows.sh --build
beside "fuzzer build" bash scripts/fuzz.sh --build
if [ $tsan = 1 ]; then step "suite, TSan" tsan_suite; else skip "suite, TSan"; fi
joined "Windows build" && windows=1 || windows=0
joined "fuzzer build"

# The fuzzers run for a fixed time, on what the Wine tests leave of the cores.
beside "fuzzing" bash scripts/fuzz.sh 30
if [ $windows = 1 ]; then
  step "Windows, under Wine" bash scripts/test-windows.sh
else
  skip "Windows, under Wine"
fi
joined "fuzzing"

table
if [ $failed = 0 ]; then echo "all tests passed"; else echo "some steps FAILED"; fi
exit $failed
