#!/usr/bin/env bash
# Builds the .deb with scripts/package.sh into BUILD_DIR, unpacks it into a
# scratch root and checks what a user would get: lintian's verdict, the files,
# programs that run from there, man pages that render (orvane-flash's covering
# the subcommands), the copyright file and changelog, the dialog's menu entry
# and icons, declared dependencies, and a completion that registers and
# answers.
# Usage: tests/package_test.sh BUILD_DIR
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$(realpath -m "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
exec </dev/null
failures=0
fail() {
  echo "package_test: FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "package_test: FAIL: $*" >&2
  exit 1
}

if ! deb=$(bash "$src/scripts/package.sh" "$dir" 2>"$scratch/build.log"); then
  tail -n 40 "$scratch/build.log" >&2
  die "scripts/package.sh $dir failed"
fi
[ -f "$deb" ] || die "scripts/package.sh printed '$deb', which is no file"
echo "package_test: $deb"

# The files.
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$scratch/contents"
doc=/usr/share/doc/orvane-upgrade-utility
expected=(/usr/bin/orvane-flash /usr/bin/orvane-bootsim /usr/bin/orvane-mkimage
          /usr/share/man/man1/orvane-flash.1.gz /usr/share/man/man1/orvane-bootsim.1.gz
          /usr/share/man/man1/orvane-mkimage.1.gz
          /usr/share/bash-completion/completions/orvane-flash
          $doc/copyright $doc/changelog.gz)
# The documents cmake/packaging.cmake lists for the doc folder.
for f in $(awk '/^set\(ORVANE_DOC_FILES/ { on = 1; next } on && /\)/ { exit } on && NF && !/^ *#/ { print $1 }' \
             "$src/cmake/packaging.cmake"); do
  expected+=("$doc/$(basename "$f")")
done
# The dialog is built only where Qt 6 was found; where it was, it must ship,
# with its man page, menu entry and icons.
qt=0
icon_sizes=(16 24 32 48 64 128 256)
if [ -x "$dir/bin/orvane-upgrade" ]; then
  qt=1
  expected+=(/usr/bin/orvane-upgrade /usr/share/man/man1/orvane-upgrade.1.gz
             /usr/share/applications/orvane-upgrade.desktop
             /usr/share/icons/hicolor/scalable/apps/orvane-upgrade.svg)
  for n in "${icon_sizes[@]}"; do
    expected+=("/usr/share/icons/hicolor/${n}x$n/apps/orvane-upgrade.png")
  done
fi
for f in "${expected[@]}"; do
  grep -qxF "$f" "$scratch/contents" || fail "the package lacks $f"
done
if grep -q '^/usr/local/\|/build' "$scratch/contents"; then
  fail "the package holds files outside /usr or from the build tree:"
  grep '^/usr/local/\|/build' "$scratch/contents" >&2
fi

# Debian's own checker, at its default level: no error, no warning.
lintian "$deb" >"$scratch/lintian.out" 2>"$scratch/lintian.err" || fail "lintian exits $?: $(cat "$scratch/lintian.err")"
if grep -E '^[EW]: ' "$scratch/lintian.out" >"$scratch/lintian.found"; then
  fail "lintian finds $(wc -l <"$scratch/lintian.found") error(s) or warning(s):"
  cat "$scratch/lintian.found" >&2
fi

root=$scratch/root
dpkg -x "$deb" "$root" || die "dpkg -x $deb failed"
bin=$root/usr/bin

# The control fields.
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "no Depends field"
# The line server's database client and the station's spool.
for lib in libc6 libstdc++6 libpq5 libsqlite3-0; do
  [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] ||
    fail "Depends lacks $lib: $depends"
done
[ $qt -eq 0 ] || [[ $depends == *libqt6widgets6* ]] || fail "Depends lacks Qt for orvane-upgrade: $depends"
for field in Package Maintainer Description Section; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field field"
done

# The programs run from where the package put them, with nothing set up.
out=$("$bin/orvane-flash" --version 2>&1) || fail "installed orvane-flash --version exits $?"
[[ $out == "orvane-flash $version"* ]] || fail "orvane-flash --version says '$out', the package is $version"
for p in "$bin"/*; do
  if file -b "$p" | grep -q 'not stripped'; then fail "$(basename "$p") is not stripped"; fi
done
if "$bin/orvane-mkimage" --out "$scratch/fw.bin" >"$scratch/mkimage.log" 2>&1; then
  "$bin/orvane-flash" info "$scratch/fw.bin" >"$scratch/info.log" 2>&1 ||
    fail "installed orvane-flash info on an orvane-mkimage image: $(cat "$scratch/info.log")"
  grep -q 'module:' "$scratch/info.log" || fail "orvane-flash info shows no module: $(cat "$scratch/info.log")"
else
  fail "installed orvane-mkimage failed: $(cat "$scratch/mkimage.log")"
fi

# The man pages: compressed without a name or time stamp (gzip -n), rendered
# without warnings or leftovers, with a NAME line that whatis can read.
export MANWIDTH=80 MAN_DISABLE_SECCOMP=1 MANPAGER=cat PAGER=cat LC_ALL=C.UTF-8
render() {  # render PAGE TEXT: PAGE as plain text into TEXT, 1 on any complaint
  local page=$1 text=$2
  gzip -t "$page" || { fail "$page is no gzip file"; return 1; }
  local stamp
  stamp=$(od -An -tx1 -j4 -N4 "$page" | tr -d ' \n')
  [ "$stamp" = 00000000 ] || fail "$(basename "$page")'s gzip header carries a time stamp ($stamp)"
  man --warnings -l "$page" 2>"$scratch/man.err" | sed 's/.\x08//g' >"$text" || { fail "man -l $page failed"; return 1; }
  [ ! -s "$scratch/man.err" ] || fail "man -l $(basename "$page") complained: $(cat "$scratch/man.err")"
  if grep -nE '^ *\\?&?\.[A-Za-z]{1,2}( |$)|\\f[BIRP]' "$text" >"$scratch/leftover"; then
    fail "roff requests or fonts show as text in $(basename "$page"):"
    cat "$scratch/leftover" >&2
  fi
  local program whatis
  program=$(basename "$page" .1.gz)
  whatis=$(lexgrog "$page" 2>&1) || fail "lexgrog cannot read the NAME line of $program: $whatis"
  [[ $whatis == *": \"$program - "?* ]] || fail "$program's NAME line reads '$whatis'"
}
pages=(orvane-flash orvane-bootsim orvane-mkimage)
[ $qt -eq 0 ] || pages+=(orvane-upgrade)
for program in "${pages[@]}"; do
  page=$root/usr/share/man/man1/$program.1.gz
  [ -f "$page" ] || continue  # reported with the files
  render "$page" "$scratch/$program.txt" || continue
  # Each program's page lists the options its help gives.
  if [ "$program" != orvane-upgrade ]; then
    for option in $("$bin/$program" --help | grep -oE '^  (-[a-z],)?--[a-z0-9-]+' | sed 's/.*--/--/'); do
      grep -q -- "$option" "$scratch/$program.txt" || fail "the $program man page does not show $option"
    done
  fi
done
page=$root/usr/share/man/man1/orvane-flash.1.gz
if [ -f "$page" ]; then
  whatis=$(lexgrog "$page" 2>&1) || true
  [[ $whatis == *"orvane-flash - upgrade the firmware"* ]] || fail "the NAME line reads '$whatis'"
  for heading in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS "EXIT STATUS" EXAMPLES; do
    grep -qx "$heading" "$scratch/orvane-flash.txt" || fail "the orvane-flash man page has no $heading section"
  done
  # Only the subcommands' own help has these.
  for option in --port --access --kx5800 --wait --loop --report --record --verbose; do
    grep -q -- "$option" "$scratch/orvane-flash.txt" || fail "the orvane-flash man page does not show $option"
  done
  subs=$("$bin/orvane-flash" --help | awk '/^Subcommands:$/ { on = 1; next } on && !/^  [^ ]/ { exit } on { print $1 }')
  [ -n "$subs" ] || fail "orvane-flash --help lists no subcommands"
  for s in $subs; do
    grep -qE "^   orvane-flash $s( |$)" "$scratch/orvane-flash.txt" || fail "the man page has no section for '$s'"
  done
fi
if [ $qt -eq 1 ] && [ -f "$scratch/orvane-upgrade.txt" ]; then
  grep -q "ACCESS-WORD" "$scratch/orvane-upgrade.txt" || fail "the orvane-upgrade man page does not show its argument"
  grep -q "orvane-upgrade $version" "$scratch/orvane-upgrade.txt" ||
    fail "the orvane-upgrade man page is not of version $version: $(tail -1 "$scratch/orvane-upgrade.txt")"
fi

# The copyright file is machine-readable and carries the same licence as the
# tree's LICENSE; the changelog's latest entry is this version.
copyright=$root$doc/copyright
if [ -f "$copyright" ]; then
  head -1 "$copyright" | grep -q '^Format: ' || fail "the copyright file is not in the machine-readable format"
  grep -qx 'Copyright: 2026 the Orvane 5800 Imager Firmware Upgrade Utility authors' "$copyright" ||
    fail "the copyright file does not name the authors"
  # The stand-alone "License: Expat" paragraph, its lines unindented and "."
  # lines blank.
  awk 'prev == "" && /^License: Expat$/ { on = 1 } { prev = $0 } on == 1 { on = 2; next }
       on && !/^ / { exit } on { sub(/^ /, ""); if ($0 == ".") $0 = ""; print }' \
    "$copyright" >"$scratch/expat"
  sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE" >"$scratch/license"
  [ -s "$scratch/expat" ] && cmp -s "$scratch/expat" "$scratch/license" ||
    fail "the copyright file's Expat licence differs from LICENSE"
fi
changelog=$root$doc/changelog.gz
if [ -f "$changelog" ]; then
  [ "$(od -An -tx1 -j4 -N4 "$changelog" | tr -d ' \n')" = 00000000 ] || fail "changelog.gz carries a time stamp"
  gzip -dc "$changelog" >"$scratch/changelog" || fail "changelog.gz is no gzip file"
  latest=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version 2>&1) || fail "dpkg-parsechangelog: $latest"
  [ "$latest" = "$version" ] || fail "the changelog's latest entry is $latest, the package $version"
fi

# The menu entry: valid, starting the program the package installs, with an
# icon in each size (of that size) and a scalable one.
entry=$root/usr/share/applications/orvane-upgrade.desktop
if [ $qt -eq 1 ] && [ -f "$entry" ]; then
  out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate rejects the entry: $out"
  [ -z "$out" ] || fail "desktop-file-validate: $out"
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  [ -x "$bin/${exec_line%% *}" ] || fail "the entry starts '$exec_line', which the package does not install"
  grep -qx 'Icon=orvane-upgrade' "$entry" || fail "the entry's icon is not orvane-upgrade"
  grep -qE '^Categories=(.*;)?System;' "$entry" || fail "the entry is not under System"
  for n in "${icon_sizes[@]}"; do
    png=$root/usr/share/icons/hicolor/${n}x$n/apps/orvane-upgrade.png
    [ -f "$png" ] || continue
    file -b "$png" | grep -q "^PNG image data, $n x $n, 8-bit/color RGBA" ||
      fail "${n}x$n/apps/orvane-upgrade.png is $(file -b "$png")"
  done
  svg=$root/usr/share/icons/hicolor/scalable/apps/orvane-upgrade.svg
  [ ! -f "$svg" ] || grep -q '<svg ' "$svg" || fail "the scalable icon is no SVG"
fi

# The completion. A stand-in program answers "ports" in the listing's form
# (name and device, details indented below) so the port answers are known.
completion=$root/usr/share/bash-completion/completions/orvane-flash
if [ -f "$completion" ]; then
  mkdir -p "$scratch/images/sub"
  touch "$scratch/images/fw.bin" "$scratch/images/FONT.FON" "$scratch/images/notes.txt"
  cat >"$scratch/fake-flash" <<'EOF'
#!/bin/sh
[ "$1" = ports ] || exit 2
echo "COM34  /dev/ttyUSB1"
echo "       by-id: /dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
echo "       usb: 0403:6001  FTDI  FT232R USB UART"
echo "COM97  /dev/ttyACM0"
EOF
  chmod +x "$scratch/fake-flash"
  # ask WORD... : the completion's answers for the words, the last being
  # the one under the cursor, sorted, one a line.
  cat >"$scratch/ask.bash" <<EOF
source "$completion"
complete -p orvane-flash || exit 1
ask() {
  COMP_WORDS=("\$@")
  COMP_CWORD=\$((\$# - 1))
  COMPREPLY=()
  _orvane_flash 2>/dev/null
  printf '%s\n' "\${COMPREPLY[@]}" | sort
}
EOF
  answers() {
    (cd "$scratch/images" && PATH="$bin:$PATH" bash --norc --noprofile -c \
      "source '$scratch/ask.bash' >/dev/null && ask \"\$@\"" ask "$@")
  }
  expect() {  # expect "WORDS" ANSWER...: exactly these answers
    local words=$1
    shift
    local got want
    # shellcheck disable=SC2086
    got=$(answers $words "${cur-}")
    want=$(printf '%s\n' "$@" | sort)
    [ "$got" = "$want" ] || fail "completing '$words ${cur-}' gave [${got//$'\n'/ }], not [${want//$'\n'/ }]"
  }
  registered=$(bash --norc --noprofile -c "source '$completion' && complete -p orvane-flash" 2>&1) ||
    fail "sourcing the completion registers nothing: $registered"
  cur=up expect "orvane-flash" upgrade
  cur="" expect "orvane-flash" upgrade info monitor ports doctor
  cur=--u expect "orvane-flash doctor" --udev-rule
  cur=COM3 expect "$scratch/fake-flash doctor -p" COM34
  cur=--v expect "orvane-flash" --version
  cur=--r expect "orvane-flash upgrade" --report --record
  cur=--k expect "orvane-flash upgrade -p COM1" --kx5800
  cur=-- expect "orvane-flash monitor" --help --port --record
  cur="" expect "orvane-flash upgrade" fw.bin FONT.FON sub
  cur="" expect "orvane-flash info" fw.bin FONT.FON sub
  cur=n expect "orvane-flash upgrade --report" notes.txt
  cur=COM expect "$scratch/fake-flash upgrade --port" COM34 COM97
  cur=COM9 expect "$scratch/fake-flash monitor -p" COM97
  cur=COM3 expect "$scratch/fake-flash upgrade --port =" COM34
  # shellcheck disable=SC2046 # device names have no blanks
  cur=/dev/ttyU expect "$scratch/fake-flash upgrade -p" /dev/ttyUSB1 $(compgen -f -- /dev/ttyU)
  cur="" expect "$scratch/fake-flash upgrade --access"
  if answers "$scratch/fake-flash" upgrade -p /dev/tty | grep -xE '/dev/tty[0-9]*' >"$scratch/consoles"; then
    fail "completing a port offers the console devices $(tr '\n' ' ' <"$scratch/consoles")"
  fi
  # The real program's listing: every port it lists is offered.
  for name in $("$bin/orvane-flash" ports 2>/dev/null | awk '/^[^ ]/ { print $1 }'); do
    answers orvane-flash upgrade --port "$name" | grep -qxF "$name" ||
      fail "completing --port does not offer $name from orvane-flash ports"
  done
fi

if [ $failures -gt 0 ]; then
  echo "package_test: $failures check(s) failed" >&2
  exit 1
fi
echo "package_test: all checks passed"
