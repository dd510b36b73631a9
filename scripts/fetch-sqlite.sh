#!/usr/bin/env bash
# SQLite's amalgamation for the Windows build, which mingw-w64 lacks: npm's
# sqlite3 package carries a sqlite-autoconf tarball in deps/. Fetched once
# into a cache outside the source tree, refused unless its SHA-256 is the one
# pinned here; prints the folder holding sqlite3.c and sqlite3.h.
#   bash scripts/fetch-sqlite.sh [CACHE]   (default ~/.cache/orvane/sqlite)
# A new SQLite: raise the versions below and pin the new tarball's hash.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
package=sqlite3@6.0.1
tarball=sqlite-autoconf-3520000
sha256=f6b50b0c103392af32a8be15b2b9d25959de9a00a70c3979128aafeaa5338b3f
cache=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/orvane/sqlite}
dir=$cache/$tarball

say() { echo "fetch-sqlite: $*" >&2; }

# The stamp is written last: a folder without it was cut short.
if [ "$(cat "$dir/.sha256" 2>/dev/null)" = "$sha256" ] && [ -f "$dir/sqlite3.c" ] &&
  [ -f "$dir/sqlite3.h" ]; then
  echo "$dir"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ ! -f "$cache/$tarball.tar.gz" ] ||
  [ "$(sha256sum "$cache/$tarball.tar.gz" | cut -d' ' -f1)" != "$sha256" ]; then
  if ! command -v npm >/dev/null; then
    say "npm is missing; installing it"
    bash "$root/scripts/install-deps.sh" npm </dev/null >&2
  fi
  say "npm pack $package"
  (cd "$work" && npm pack --ignore-scripts --no-update-notifier --loglevel=error "$package" \
    </dev/null >/dev/null) || { say "npm pack $package failed"; exit 1; }
  tar -xzf "$work/${package/@/-}.tgz" --no-same-owner -C "$work" "package/deps/$tarball.tar.gz" ||
    { say "$package has no deps/$tarball.tar.gz"; exit 1; }
  got=$(sha256sum "$work/package/deps/$tarball.tar.gz" | cut -d' ' -f1)
  if [ "$got" != "$sha256" ]; then
    say "refused: $tarball.tar.gz in $package has SHA-256 $got, pinned $sha256"
    exit 1
  fi
  mv -f "$work/package/deps/$tarball.tar.gz" "$cache/$tarball.tar.gz"
fi

tar -xzf "$cache/$tarball.tar.gz" --no-same-owner -C "$work" "$tarball/sqlite3.c" "$tarball/sqlite3.h"
echo "$sha256" >"$work/$tarball/.sha256"
# Another fetch may have put the same folder in place meanwhile: theirs is as good.
if [ "$(cat "$dir/.sha256" 2>/dev/null)" != "$sha256" ]; then
  rm -rf "$dir"
  mv -T "$work/$tarball" "$dir" 2>/dev/null || [ -f "$dir/.sha256" ]
fi
echo "$dir"
