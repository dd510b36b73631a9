#!/usr/bin/env bash
# Installs the Debian packages a task needs, from the build's own ("core",
# enough for the demo) up to every test's ("all", the default); "bench",
# "faults" and "screenshot" add what those scripts need to the core; "npm" is
# npm alone, for scripts/fetch-sqlite.sh.
#   bash scripts/install-deps.sh [core|all|bench|faults|screenshot|npm]
set -euo pipefail
packages=(
  build-essential cmake pkg-config git ccache
  googletest libgtest-dev
  qt6-base-dev libcli11-dev nlohmann-json3-dev libboost-dev
  libsqlite3-dev libpq-dev
)
case "${1:-all}" in
  core) ;;
  all)
    packages+=(
      clang-format lrzsz python3 tmux procps strace
      clang libclang-rt-14-dev
      xvfb xauth xdotool imagemagick x11-utils
      mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 npm
      help2man dpkg-dev file man-db
      lintian desktop-file-utils nsis zip
      chromium chromium-driver python3-selenium fonts-noto-cjk
      postgresql sqlite3
    )
    ;;
  bench) packages+=(libbenchmark-dev python3 postgresql) ;;
  faults) packages+=(python3) ;;
  screenshot) packages+=(openbox xvfb xauth xdotool imagemagick) ;;
  npm) packages=(npm) ;;
  *)
    echo "install-deps: unknown set '$1' (core, all, bench, faults, screenshot, npm)" >&2
    exit 2
    ;;
esac
installed() {
  # Another Node.js package than Debian's may bring npm, and conflict with Debian's.
  [ "$1" = npm ] && command -v npm >/dev/null && return 0
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
