#!/bin/sh
# Writes a help2man include file whose COMMANDS section holds each
# subcommand's --help in roff, so the man page covers what the top-level
# help only names. The subcommands are read from the "Subcommands:" list, so
# a new one appears without touching this file.
# Usage: man-commands.sh PROGRAM OUTPUT
set -eu
if [ $# -ne 2 ]; then
  echo "usage: $0 PROGRAM OUTPUT" >&2
  exit 2
fi
prog=$1
out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Reads one CLI11 help text. mode=footer prints its footer (what follows the
# first run of two or more blank lines after the usage line); mode=roff prints
# it as roff, leaving the footer out when skipfooter=1.
render='
function esc(s) {
  gsub(/\\/, "\\e", s)
  gsub(/-/, "\\-", s)
  return s
}
function line(s) {
  if (s ~ /^[.\047]/) s = "\\&" s
  print s
}
function trim(s) {
  sub(/^ +/, "", s)
  sub(/ +$/, "", s)
  return s
}
# "-p,--port PORT ... REQUIRED": names bold, placeholders italic.
function term(t,   n, w, i, j, names, k, r, first) {
  n = split(t, w, / +/)
  r = ""
  for (i = 1; i <= n; i++) {
    if (w[i] == "REQUIRED") { r = r " (required)"; continue }
    if (i == 1 && w[i] ~ /^-/) {
      k = split(w[i], names, /,/)
      first = ""
      for (j = 1; j <= k; j++) first = first (j > 1 ? ", " : "") "\\fB" esc(names[j]) "\\fR"
      r = first
      continue
    }
    r = r (i > 1 ? " " : "") italic(w[i])
  }
  return r
}
function italic(s,   r) {
  r = ""
  while (match(s, /[A-Z][A-Z0-9_]+/)) {
    r = r esc(substr(s, 1, RSTART - 1)) "\\fI" substr(s, RSTART, RLENGTH) "\\fR"
    s = substr(s, RSTART + RLENGTH)
  }
  return r esc(s)
}
function usage(u,   n, w, i, r) {
  n = split(u, w, / +/)
  r = ""
  for (i = 1; i <= n; i++) {
    if (w[i] ~ /[A-Z]/) r = r (i > 1 ? " " : "") italic(w[i])
    else r = r (i > 1 ? " " : "") "\\fB" esc(w[i]) "\\fR"
  }
  return r
}
# A list under a heading: each item begins two spaces in, its description
# starts at the same column on every line of the list (taken from the first
# line with a gap), and deeper lines carry the description on.
function flushlist(   i, c, s, t, d, g) {
  if (nlist == 0) return
  c = 0
  for (i = 1; i <= nlist && c == 0; i++) {
    s = list[i]
    if (s ~ /^  [^ ]/ && match(s, /[^ ]  +[^ ]/)) c = RSTART + RLENGTH - 1
    else if (s ~ /^   /) { match(s, /^ +/); c = RLENGTH + 1 }
  }
  for (i = 1; i <= nlist; i++) {
    s = list[i]
    if (s ~ /^  [^ ]/) {
      if (c > 0 && length(s) >= c && substr(s, c - 1, 1) == " ") {
        t = substr(s, 3, c - 3); d = substr(s, c)
      } else {
        t = substr(s, 3); d = ""
      }
      print ".TP"
      line(term(trim(t)))
      if (trim(d) != "") line(esc(trim(d)))
    } else {
      line(esc(trim(s)))
    }
  }
  nlist = 0
}
# Footer lists are written by hand: an item ends at its first gap of two or
# more spaces.
function footeritem(s,   t, d) {
  if (s ~ /^  [^ ]/) {
    t = substr(s, 3); d = ""
    if (match(t, /  +/)) { d = substr(t, RSTART + RLENGTH); t = substr(t, 1, RSTART - 1) }
    print ".TP"
    line("\\fB" esc(trim(t)) "\\fR")
    if (trim(d) != "") line(esc(trim(d)))
  } else {
    line(esc(trim(s)))
  }
}
{ lines[NR] = $0 }
END {
  u = 0
  for (i = 1; i <= NR; i++) if (lines[i] ~ /^Usage: /) { u = i; break }
  if (u == 0) { print "man-commands: no usage line in the help of " cmd > "/dev/stderr"; exit 1 }
  f = NR + 1
  for (i = u + 1; i < NR; i++)
    if (lines[i] == "" && lines[i + 1] == "") {
      for (f = i; f <= NR && lines[f] == ""; f++) ;
      break
    }
  if (mode == "footer") {
    for (i = f; i <= NR; i++) print lines[i]
    exit 0
  }
  print ".SS \"" esc(substr(lines[u], 8)) "\""
  for (i = 1; i < u; i++) if (lines[i] != "") line(esc(lines[i]))
  nlist = 0
  for (i = u + 1; i < f && i <= NR; i++) {
    s = lines[i]
    if (s == "") { flushlist(); continue }
    if (s ~ /^[^ ].*:$/) { flushlist(); print ".PP"; line("\\fI" esc(s) "\\fR"); continue }
    if (s ~ /^ /) { list[++nlist] = s; continue }
    flushlist(); print ".PP"; line(esc(s))
  }
  flushlist()
  if (skipfooter) exit 0
  para = 0; inlist = 0
  for (i = f; i <= NR; i++) {
    s = lines[i]
    if (s == "") { para = 0; inlist = 0; continue }
    if (s ~ /^ / && inlist) { footeritem(s); continue }
    inlist = 0
    if (s ~ /^[^ ].*:$/) { print ".PP"; line(esc(s)); inlist = 1; para = 0; continue }
    if (!para) print ".PP"
    para = 1
    line(esc(s))
  }
}
'

"$prog" --help >"$work/main"
awk -v mode=footer "$render" "$work/main" >"$work/main.footer"
subs=$(awk '/^Subcommands:$/ { on = 1; next } on && !/^  [^ ]/ { exit } on { print $1 }' "$work/main")
if [ -z "$subs" ]; then
  echo "$0: '$prog --help' lists no subcommands" >&2
  exit 1
fi
{
  echo "[COMMANDS]"
  for s in $subs; do
    "$prog" "$s" --help >"$work/sub"
    awk -v mode=footer "$render" "$work/sub" >"$work/sub.footer"
    skip=0
    cmp -s "$work/main.footer" "$work/sub.footer" && skip=1
    awk -v mode=roff -v skipfooter=$skip -v cmd="$s" "$render" "$work/sub"
  done
} >"$work/out"
mv "$work/out" "$out"
