#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into build-win/bin/
# (orvane-flash.exe, orvane-upgrade.exe and the unit tests), or into the folder
# given; extra CMake options after it. Each .exe is linked statically. SQLite
# is compiled from its amalgamation (scripts/fetch-sqlite.sh, cached outside
# the tree).
#   bash scripts/build-windows.sh [build-win] [-DORVANE_TESTS=OFF]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
shift || true
sqlite=$(bash scripts/fetch-sqlite.sh)
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DORVANE_SQLITE_AMALGAMATION=$sqlite" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
