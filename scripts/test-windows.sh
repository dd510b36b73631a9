#!/usr/bin/env bash
# The Windows build, tested under Wine:
#   1. cross-builds build-win/ with the installer and the portable .zip
#      (scripts/package-windows.sh), and the Linux emulator and line server in
#      build/ (or the folder ORVANE_LINUX_BUILD names);
#   2. runs the unit tests under Wine with CTest, the serial ones against an
#      echoing pseudo-terminal mapped as COM6;
#   3. upgrades the emulated scanner with orvane-flash.exe through a
#      pseudo-terminal mapped as COM5: success, a refused key, an unplugged line,
#      a missing port, and the port list read from the registry; runs the station
#      with two scanners and drives its page in the Linux browser; runs it on a
#      line, delivering to the Linux line server and a PostgreSQL of its own
#      (tests/wine/line_check.py); replays the recordings of tests/recordings
#      as the scanner, and replays a recording made by orvane-flash.exe to the
#      Linux build;
#   4. drives orvane-upgrade.exe under Xvfb (tests/wine/dialog_check.sh) and
#      saves build-win/screenshots/dialog-wine.png (the README shows a copy in docs/);
#   5. installs, uses and uninstalls the installer silently in a fresh prefix,
#      build-win/wine-installer, and checks the .zip (tests/wine/installer_check.sh).
# The other steps' Wine prefix lives in build-win/wine and is reused between runs.
#   bash scripts/test-windows.sh            all of it
#   bash scripts/test-windows.sh --prefix   only makes the Wine prefix, if missing
#   bash scripts/test-windows.sh --build    only step 1
#   ORVANE_LINUX_BUILD=DIR bash scripts/test-windows.sh   the Linux programs built in DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=$root/build-win
logs=$win/test-logs
started=$(date +%s)
only=${1:-}
case "$only" in
    "" | --prefix | --build) ;;
    *)
        echo "usage: bash scripts/test-windows.sh [--prefix | --build]" >&2
        exit 2
        ;;
esac

step() { echo "== $* ($(($(date +%s) - started)) s)"; }
fail() {
    echo "test-windows: FAILED: $*" >&2
    exit 1
}

export WINEPREFIX=$win/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
make_prefix() {
    mkdir -p "$logs"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >"$logs/wineboot.log" 2>&1 || fail "wineboot (see $logs/wineboot.log)"
    fi
}
if [ "$only" = --prefix ]; then
    step "wine prefix"
    make_prefix
    wineserver -w
    exit 0
fi

step "build"
packages=$(bash scripts/package-windows.sh build-win) || fail "scripts/package-windows.sh"
linux=${ORVANE_LINUX_BUILD:-build}
cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$linux" -j"$(nproc)" --target orvane-bootsim orvane-mkimage orvane-flash >/dev/null
linux_bin=$(cd "$linux" && pwd)/bin
bootsim=$linux_bin/orvane-bootsim
mkdir -p "$logs"
rm -f "$logs"/*
# Test-only helpers, native: the modem-line shim Wine needs on a pty, and an echoing peer.
shim=$win/pty_modem_shim.so
gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$shim" tests/wine/pty_modem_shim.c -ldl
gcc -O2 -Wall -Wextra -Werror -o "$win/pty_echo" tests/wine/pty_echo.c
[ "$only" != --build ] || exit 0

children=()
cleanup() {
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Starts a pty peer in the background and points LINK at its device.
start_peer() {
    local link=$1 pathfile=$2
    shift 2
    rm -f "$pathfile"
    "$@" --path-file "$pathfile" >"$pathfile.log" 2>&1 &
    peer=$!
    children+=("$peer")
    for _ in $(seq 1 100); do
        [ -s "$pathfile" ] && break
        sleep 0.05
    done
    [ -s "$pathfile" ] || fail "pty peer did not start: $*"
    ln -sfn "$(head -1 "$pathfile")" "$link"
}

running() {  # a child that has not ended (a zombie counts as ended)
    # One read: the shell may reap the child between a look and a read.
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || true
    [ -n "$state" ] && [ "$state" != Z ]
}
wait_for_exit() {  # wait_for_exit PID SECONDS: its exit status, or 124 after killing it
    for _ in $(seq 1 $(($2 * 10))); do
        running "$1" || {
            wait "$1"
            return
        }
        sleep 0.1
    done
    kill "$1" 2>/dev/null || true
    return 124
}

start_wineserver() {
    wineserver -p >/dev/null 2>&1
    wine cmd /c exit >/dev/null 2>&1
}

step "wine prefix"
wineserver -k >/dev/null 2>&1 || true
make_prefix
start_peer "$win/com6-link" "$logs/echo.path" "$win/pty_echo"
ln -sfn "$(head -1 "$logs/echo.path")" "$win/com5-link"
ln -sfn "$(head -1 "$logs/echo.path")" "$win/com7-link"
ftdi_key='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+ORV5800A\0000\Device Parameters'
{
    wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$win/com5-link" /f
    wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$win/com6-link" /f
    wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /t REG_SZ /d "$win/com7-link" /f
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
    # COM5 as an FTDI adapter's driver records it, with its latency timer.
    wine reg add "$ftdi_key" /v PortName /t REG_SZ /d COM5 /f
    wine reg add "$ftdi_key" /v LatencyTimer /t REG_DWORD /d 16 /f
} >"$logs/reg.log" 2>&1 || fail "registry (see $logs/reg.log)"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
start_wineserver

step "unit tests under Wine"
(cd "$win" && ORVANE_WINE_ECHO_PORT=COM6 LD_PRELOAD=$shim \
    ctest --output-on-failure -j"$(nproc)") || fail "unit tests under Wine"

step "orvane-flash.exe against the emulated scanner on COM5"
image=$logs/fw5800.bin
"$linux_bin/orvane-mkimage" --out "$image" --size 45000 --key 90 >/dev/null
image_win=$(winepath -w "$image" 2>/dev/null)

flash() {
    LD_PRELOAD=$shim wine "$win/bin/orvane-flash.exe" "$@"
}
last_line() {  # Windows text output ends its lines in CR LF
    tail -1 "$1" | tr -d '\r'
}

# upgrade_case NAME EXIT LAST-LINE EMULATOR-OPTION...
upgrade_case() {
    local name=$1 want_status=$2 want_line=$3 status=0
    shift 3
    start_peer "$win/com5-link" "$logs/$name.path" "$bootsim" "$@"
    local sim=$peer t0=$(date +%s%N)
    flash upgrade --port COM5 "$image_win" >"$logs/$name.out" 2>"$logs/$name.err" || status=$?
    local ms=$((($(date +%s%N) - t0) / 1000000))
    local last
    last=$(last_line "$logs/$name.err")
    echo "   $name: exit $status, \"$last\", $ms ms"
    [ "$status" = "$want_status" ] || fail "$name: exit $status, wanted $want_status (see $logs/$name.err)"
    [ "$last" = "$want_line" ] || fail "$name: last line \"$last\", wanted \"$want_line\""
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
}

flash ports 2>&1 | tr -d '\r' >"$logs/ports.out" || fail "orvane-flash.exe ports"
grep -q '^COM5 ' "$logs/ports.out" || fail "COM5 is not listed: $(tr '\n' ' ' <"$logs/ports.out")"
echo "   ports: $(tr '\n' ' ' <"$logs/ports.out")"
grep -q '^       driver: FTDI  latency timer 16 ms$' "$logs/ports.out" ||
    fail "COM5's FTDI latency timer is not listed"
flash ports --json 2>/dev/null | tr -d '\r' >"$logs/ports.json" || fail "orvane-flash.exe ports --json"
python3 -c 'import json, sys
ports = {p["name"]: p for p in json.load(open(sys.argv[1]))["ports"]}
sys.exit(0 if ports["COM5"]["latency_ms"] == 16 and ports["COM5"]["driver"] == "FTDI" else 1)' \
    "$logs/ports.json" || fail "ports --json: $(cat "$logs/ports.json")"
status=0
flash doctor -p COM5 2>&1 | tr -d '\r' >"$logs/doctor.out" || status=$?
[ "$status" = 0 ] || fail "doctor on COM5: exit $status (see $logs/doctor.out)"
grep -q "Advanced > Latency Timer (msec): 1" "$logs/doctor.out" || fail "doctor: no latency fix"
status=0
flash doctor -p COM77 --json 2>/dev/null | tr -d '\r' >"$logs/doctor.json" || status=$?
[ "$status" = 1 ] || fail "doctor on a missing port: exit $status"
python3 -c 'import json, sys; d = json.load(open(sys.argv[1]))
sys.exit(0 if d["ports"][0]["findings"][0]["code"] == "missing" else 1)' "$logs/doctor.json" ||
    fail "doctor --json on COM77: $(cat "$logs/doctor.json")"
echo "   doctor: COM5 ready, FTDI latency timer 16 ms; COM77 not ready"

start_peer "$win/com5-link" "$logs/success.path" "$bootsim" --expect "$image" --once
sim=$peer
t0=$(date +%s%N)
status=0
flash upgrade --port COM5 "$image_win" >"$logs/success.out" 2>"$logs/success.err" || status=$?
echo "   success: exit $status, \"$(last_line "$logs/success.err")\", $((($(date +%s%N) - t0) / 1000000)) ms"
[ "$status" = 0 ] || fail "upgrade: exit $status (see $logs/success.err)"
[ "$(last_line "$logs/success.err")" = "upgrade success!!!" ] || fail "upgrade: no success line"
wait_for_exit "$sim" 20 || fail "the emulator's --expect check failed (see $logs/success.path.log)"
# The trace is the received bytes with an LF before each CR, nothing added.
tr '\r\n' 'RN' <"$logs/success.out" | grep -q 'NRNBoot>' || fail "no prompt in the trace"
! grep -q $'\r\r' "$logs/success.out" || fail "the trace gained CRs (text-mode output)"

upgrade_case refused-key 1 "Erase Flash failed" --key 7
upgrade_case unplugged 1 "upgrade not finish!!!" --fault unplug-after:50

# Standard input from NUL is no console: the override question is answered No
# on a line of its own, never left open.
start_peer "$win/com5-link" "$logs/nul.path" "$bootsim" --module 5801
sim=$peer
status=0
flash upgrade --port COM5 --access 'QUIRK!!' "$image_win" </dev/null >"$logs/nul.out" \
    2>"$logs/nul.err" || status=$?
[ "$status" = 1 ] && [ "$(last_line "$logs/nul.err")" = "Mismatch Module NO." ] ||
    fail "question without a console: exit $status, \"$(last_line "$logs/nul.err")\""
tr -d '\r' <"$logs/nul.err" | grep -qx "Go on? no (no terminal to answer on; --yes answers yes)" ||
    fail "question without a console: no answered question line"
echo "   no console to ask on: exit $status, answered No"
kill "$sim" 2>/dev/null || true

# Two scanners in one command, each port upgraded by a child process.
start_peer "$win/com5-link" "$logs/two-a.path" "$bootsim" --expect "$image" --once
sim_a=$peer
start_peer "$win/com7-link" "$logs/two-b.path" "$bootsim" --expect "$image" --once
sim_b=$peer
status=0
flash upgrade --port COM5 --port COM7 "$image_win" </dev/null >"$logs/two.out" 2>"$logs/two.err" ||
    status=$?
[ "$status" = 0 ] || fail "two ports: exit $status (see $logs/two.err)"
tr -d '\r' <"$logs/two.err" | grep -qx "2 succeeded, 0 failed" || fail "two ports: no summary"
wait_for_exit "$sim_a" 20 || fail "two ports: COM5's image not verified"
wait_for_exit "$sim_b" 20 || fail "two ports: COM7's image not verified"
echo "   two ports at once: exit $status, both images verified"

step "the station of orvane-flash.exe, driven in the Linux browser"
newer=$logs/fw5800-newer.bin
"$linux_bin/orvane-mkimage" --out "$newer" --size 45000 --key 90 --software 1.00.01 >/dev/null
# two_scanners NAME: behind COM5 and COM7, each to take the newer image once.
two_scanners() {
    start_peer "$win/com5-link" "$logs/$1-a.path" "$bootsim" --key 90 --expect "$newer" --once
    sim_a=$peer
    start_peer "$win/com7-link" "$logs/$1-b.path" "$bootsim" --key 90 --expect "$newer" --once
    sim_b=$peer
}
both_verified() {
    wait_for_exit "$sim_a" 20 || fail "$1: COM5's image not verified"
    wait_for_exit "$sim_b" 20 || fail "$1: COM7's image not verified"
}
two_scanners station
rm -f "$logs/station.jsonl"
flash station --no-browser --report "$(winepath -w "$logs/station.jsonl" 2>/dev/null)" \
    -p COM5 -p COM7 "$(winepath -w "$newer" 2>/dev/null)" </dev/null >"$logs/station.out" \
    2>"$logs/station.err" &
station=$!
children+=("$station")
/usr/bin/python3 tests/wine/station_check.py "$logs/station.err" "$logs/station.jsonl" \
    "$win/screenshots/station-wine.png" || fail "the station under Wine (see $logs/station.err)"
wait_for_exit "$station" 60 || fail "the station under Wine did not stop on the page's Stop now"
both_verified station
echo "   two slots passed on the page, the CSV export is the report, Stop now ended it"

step "the station of orvane-flash.exe on a line: the Linux line server, PostgreSQL"
two_scanners line
/usr/bin/python3 tests/pg_cluster.py -- /usr/bin/python3 tests/wine/line_check.py "$linux_bin" \
    "$win/bin/orvane-flash.exe" "$shim" "$newer" "$logs" ||
    fail "the station under Wine on a line (see $logs/line-station.err)"
both_verified line
echo "   both records in the database under the station's name, none left in its spool"

step "recordings replayed as the scanner on COM5"
recordings=$root/tests/recordings
while read -r name recorded_image result; do
    case "$name" in '' | '#'*) continue ;; esac
    start_peer "$win/com5-link" "$logs/replay-$name.path" "$bootsim" \
        --replay "$recordings/$name.jsonl" --replay-speed 0 --expect-result "$result"
    sim=$peer
    status=0
    flash upgrade --port COM5 "$(winepath -w "$recordings/$recorded_image" 2>/dev/null)" \
        >"$logs/replay-$name.out" 2>"$logs/replay-$name.err" </dev/null || status=$?
    [ "$(last_line "$logs/replay-$name.err")" = "$result" ] ||
        fail "replay $name: \"$(last_line "$logs/replay-$name.err")\", wanted \"$result\""
    replayed=0
    wait_for_exit "$sim" 30 || replayed=$?  # a replay ends by itself once played through
    [ "$replayed" = 0 ] || fail "replay $name: $(tail -n 1 "$logs/replay-$name.path.log")"
    echo "   $name: \"$result\", no divergence"
done <"$recordings/corpus.list"

# orvane-flash.exe records the same format: its recording replays to the
# Linux build without a difference.
start_peer "$win/com5-link" "$logs/record.path" "$bootsim" --key 90
sim=$peer
status=0
flash upgrade --port COM5 --record "$(winepath -w "$logs/windows.jsonl" 2>/dev/null)" \
    "$(winepath -w "$recordings/headered.bin" 2>/dev/null)" >/dev/null 2>"$logs/record.err" ||
    status=$?
kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
[ "$status" = 0 ] || fail "recording under Wine: exit $status (see $logs/record.err)"
start_peer "$win/native-link" "$logs/native.path" "$bootsim" --replay "$logs/windows.jsonl" \
    --replay-speed 0
sim=$peer
status=0
"$linux_bin/orvane-flash" upgrade -q --port "$win/native-link" \
    "$recordings/headered.bin" >/dev/null 2>"$logs/native.err" </dev/null || status=$?
replayed=0
wait_for_exit "$sim" 30 || replayed=$?
[ "$status" = 0 ] && [ "$replayed" = 0 ] ||
    fail "the Windows recording replayed natively: exit $status, replay $replayed (see $logs/native.path.log)"
echo "   a recording by orvane-flash.exe replays to the Linux build: no divergence"

status=0
flash upgrade --port COM77 "$image_win" >"$logs/missing.out" 2>"$logs/missing.err" || status=$?
[ "$status" = 3 ] || fail "missing port: exit $status, wanted 3"
tr -d '\r' <"$logs/missing.err" | grep -qx "Cannot open this com port" || fail "missing port: no message"
grep -q "^hint: COM77 " "$logs/missing.err" || fail "missing port: no hint"
echo "   missing port: exit $status, $(grep '^hint' "$logs/missing.err" | tr -d '\r')"

# An FTDI latency timer about as long as an echo may take is named after a failed echo.
wine reg add "$ftdi_key" /v LatencyTimer /t REG_DWORD /d 50 /f >>"$logs/reg.log" 2>&1
upgrade_case slow-echo 1 'Write "whoru" fail' --fault echo-none:whoru:0
grep -q "^hint: the adapter's latency timer is 50 ms" "$logs/slow-echo.err" ||
    fail "failed echo: no latency hint (see $logs/slow-echo.err)"
wine reg add "$ftdi_key" /v LatencyTimer /t REG_DWORD /d 16 /f >>"$logs/reg.log" 2>&1
wineserver -k >/dev/null 2>&1 || true
wineserver -w

step "orvane-upgrade.exe under Xvfb"
export WIN_BIN=$win/bin BOOTSIM=$bootsim IMAGE=$image SHIM=$shim PORT_LINK=$win/com5-link
mkdir -p "$win/screenshots"
export LOGS=$logs SHOT=$win/screenshots/dialog-wine.png
xvfb-run -a -s "-screen 0 1024x768x24" bash tests/wine/dialog_check.sh ||
    fail "dialog under Xvfb (see $logs/dialog-*)"

INSTALLER=$(sed -n 1p <<<"$packages") ZIP=$(sed -n 2p <<<"$packages")
# shellcheck source=tests/wine/installer_check.sh
. tests/wine/installer_check.sh

step "windows tests passed"
