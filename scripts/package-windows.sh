#!/usr/bin/env bash
# Builds the Windows packages: cross-builds into build-win/ (or the folder
# given, extra CMake options after it) with scripts/build-windows.sh, then the
# installer (NSIS) and the portable .zip there with cpack, and prints the two
# paths on standard output; everything else goes to standard error.
#   bash scripts/package-windows.sh [build-win] [-DORVANE_TESTS=OFF]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
shift || true
command -v makensis >/dev/null ||
  { echo "package-windows.sh: makensis is missing: bash scripts/install-deps.sh" >&2; exit 1; }
bash scripts/build-windows.sh "$dir" "$@" >&2
log=$(cd "$dir" && cpack 2>&1) || { printf '%s\n' "$log" >&2; exit 1; }
printf '%s\n' "$log" >&2
# cpack names what it wrote: "CPack: - package: /path/name.exe generated."
made=$(printf '%s\n' "$log" | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')
for kind in exe zip; do
  path=$(printf '%s\n' "$made" | grep "\.$kind\$" | tail -n 1 || true)
  if [ -z "$path" ] || [ ! -f "$path" ]; then
    echo "package-windows.sh: cpack reported no .$kind" >&2
    exit 1
  fi
  echo "$path"
done
