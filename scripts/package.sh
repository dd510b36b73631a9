#!/usr/bin/env bash
# Builds the Debian package: configures and builds into build-pkg/ (or the
# folder given), runs cpack there, checks the .deb with lintian (any error or
# warning fails) and prints the .deb's path on standard output; everything
# else goes to standard error.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
command -v lintian >/dev/null || { echo "package.sh: lintian is missing: bash scripts/install-deps.sh" >&2; exit 1; }
# A folder given is taken from where the script was called.
if [ $# -gt 0 ]; then dir=$(realpath -m "$1"); else dir=$src/build-pkg; fi
# A folder already configured (the tests' own build, say) is packed as it is.
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_TESTS=OFF >&2
fi
cmake --build "$dir" -j"$(nproc)" >&2
log=$(cd "$dir" && cpack -G DEB 2>&1) || { printf '%s\n' "$log" >&2; exit 1; }
printf '%s\n' "$log" >&2
# cpack names what it wrote: "CPack: - package: /path/name.deb generated."
deb=$(printf '%s\n' "$log" | sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' | tail -n 1)
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "package.sh: cpack reported no .deb" >&2
  exit 1
fi
# lintian warns when run as root; that line is no finding.
if ! lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2) >&2; then
  echo "package.sh: lintian finds errors or warnings in $deb" >&2
  exit 1
fi
echo "$deb"
