#!/usr/bin/env bash
# All tests: installs what is needed, builds, runs the test suite, checks the
# Debian package, runs the suite again under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer, fuzzes the decoders
# for a while, then builds for Windows and tests that under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
bash scripts/install-deps.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs")
bash tests/package_test.sh build-pkg
bash scripts/build.sh build-asan -DORVANE_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j"$jobs")
bash scripts/build.sh build-tsan -DORVANE_TSAN=ON
(cd build-tsan && TSAN_OPTIONS="suppressions=$PWD/../tests/tsan.supp halt_on_error=1" \
  ctest --output-on-failure -j"$jobs")
bash scripts/fuzz.sh 30
bash scripts/test-windows.sh
echo "all tests passed"
