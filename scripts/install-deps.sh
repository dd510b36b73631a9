#!/usr/bin/env bash
# Installs the Debian packages the build needs ("core", enough for the demo)
# or that the build and every test need ("all", the default).
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  googletest libgtest-dev
  qt6-base-dev
)
if [ "${1:-all}" = all ]; then
  packages+=(
    clang-format lrzsz
    xvfb xauth xdotool imagemagick x11-utils
    mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
    help2man dpkg-dev file man-db
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
