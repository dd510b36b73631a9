#!/usr/bin/env bash
# All tests: installs what is needed, builds, runs the test suite, then again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows build
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$(nproc)")
bash scripts/build.sh build-asan -DORVANE_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j"$(nproc)")
bash scripts/test-windows.sh
echo "all tests passed"
