#!/usr/bin/env bash
# orvane-upgrade.exe under Xvfb, driven like a user with xdotool and read back
# with dialog_probe.exe: the image is typed into the file chooser, the mapped
# port chosen, Upgrade clicked; the emulated scanner checks what it was sent.
# A second run starts with the access word QUIRK!!, asks to close while the
# message box about a module mismatch waits (answered No), then answers the
# box with Yes.
# Run by scripts/test-windows.sh inside xvfb-run, which exports the settings.
set -euo pipefail
: "${WIN_BIN:?}" "${BOOTSIM:?}" "${IMAGE:?}" "${SHIM:?}" "${PORT_LINK:?}" "${LOGS:?}" "${SHOT:?}"

fail() {
    echo "dialog_check: FAILED: $*" >&2
    exit 1
}
caption="Orvane 5800 Imager Firmware Upgrade Utility Ver. 1.00.00"
children=()
cleanup() {
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

probe() {  # its lines end in CR LF
    wine "$WIN_BIN/dialog_probe.exe" "$@" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}
wait_window() {  # a shown window of that name (the dialog exists hidden before it shows)
    local found
    for _ in $(seq 1 120); do
        found=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
        [ -n "$found" ] && echo "$found" && return 0
        sleep 0.25
    done
    return 1
}
gone() {  # gone WINDOW-NAME: true once no shown window has that name, within 10 s
    for _ in $(seq 1 40); do
        [ -z "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)" ] && return 0
        sleep 0.25
    done
    return 1
}
focus_window() {  # a window found by name may not be mapped yet
    for _ in $(seq 1 40); do
        xdotool windowfocus "$1" 2>/dev/null && return 0
        sleep 0.25
    done
    return 1
}
running() {  # a child that has not ended (a zombie counts as ended)
    # One read: the shell may reap the child between a look and a read.
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || true
    [ -n "$state" ] && [ "$state" != Z ]
}
field() {  # field FILE KEY: the rest of the line that starts with KEY
    sed -n "s/^$2 //p" "$1" | head -1
}

# start_emulator NAME OPTION...: the emulated scanner behind COM5, as $sim.
start_emulator() {
    local name=$1
    shift
    rm -f "$LOGS/$name-sim.path"
    "$BOOTSIM" --expect "$IMAGE" --once --path-file "$LOGS/$name-sim.path" "$@" \
        >"$LOGS/$name-sim.log" 2>&1 &
    sim=$!
    children+=("$sim")
    for _ in $(seq 1 100); do [ -s "$LOGS/$name-sim.path" ] && break || sleep 0.05; done
    ln -sfn "$(head -1 "$LOGS/$name-sim.path")" "$PORT_LINK"
}

# start_dialog NAME ARGUMENT...: the program as $app, the image chosen, $dialog shown.
start_dialog() {
    local name=$1
    shift
    LD_PRELOAD=$SHIM wine "$WIN_BIN/orvane-upgrade.exe" "$@" >"$LOGS/$name-trace.out" \
        2>"$LOGS/$name-wine.err" &
    app=$!
    children+=("$app")
    # The file chooser comes first, before the dialog shows.
    # Keys sent while the chooser is still taking focus are lost: what was
    # typed is typed again until the chooser takes it and closes.
    local chooser attempt
    for attempt in 1 2 3; do
        chooser=$(wait_window "Open file") || fail "no file chooser"
        focus_window "$chooser" || fail "cannot focus the file chooser"
        sleep 0.3
        xdotool key Home shift+End
        xdotool type --delay 10 "$(winepath -w "$IMAGE" 2>/dev/null)"
        xdotool key Return
        gone "Open file" && break
        [ "$attempt" = 3 ] && fail "the file chooser did not take the image's name"
    done
    dialog=$(wait_window "$caption") || fail "no dialog after the chooser"
}

# upgrade_on_com5 SHOWN: types COM5 into the port list, clicks the button whose
# place SHOWN (a probe report) gives.
upgrade_on_com5() {
    focus_window "$dialog" || fail "cannot focus the dialog"
    sleep 0.2
    xdotool key Home shift+End
    xdotool type --delay 10 COM5
    local bx by bw bh
    read -r bx by bw bh <<<"$(field "$1" upgrade-button)"
    xdotool mousemove $((bx + bw / 2)) $((by + bh / 2)) click 1
}

# expect_success NAME: the status line and the emulator's check of its flash.
expect_success() {
    probe wait-status "upgrade success!!!" 90 >"$LOGS/$1-status.txt" ||
        fail "$(cat "$LOGS/$1-status.txt")"
    for _ in $(seq 1 200); do running "$sim" || break; sleep 0.1; done
    running "$sim" && fail "the emulator did not finish (see $LOGS/$1-sim.log)"
    wait "$sim" || fail "the emulator's --expect check failed (see $LOGS/$1-sim.log)"
}

close_dialog() {
    probe close || fail "close request"
    for _ in $(seq 1 100); do running "$app" || break; sleep 0.1; done
    ! running "$app" || fail "the program did not end after closing the dialog"
}

wineserver -p >/dev/null 2>&1
wine cmd /c exit >/dev/null 2>&1

start_emulator dialog
start_dialog dialog
opened=$LOGS/dialog-opened.txt
probe show >"$opened" || fail "probe: $(cat "$opened")"
[ "$(field "$opened" caption)" = "$caption" ] || fail "caption"
style=$(field "$opened" style)
# DS_MODALFRAME, DS_CENTER, WS_CAPTION, WS_SYSMENU; no minimise or maximise box.
((style & 0x80 && style & 0x800 && (style & 0xC00000) == 0xC00000 && style & 0x80000)) ||
    fail "dialog style $style"
((!(style & 0x30000))) || fail "dialog has a minimise or maximise box: $style"
ids=$(sed -n 's/^control \([0-9]*\) .*/\1/p' "$opened" | tr '\n' ' ')
[ "$ids" = "1003 1000 1008 1004 1005 1002 " ] || fail "controls in order: $ids"
grep -q "^control 1003 class=ComboBox .*visible=1" "$opened" || fail "port list"
grep -q "^control 1000 class=Button .*visible=1 text=Upgrade$" "$opened" || fail "Upgrade button"
grep -q "^control 1008 class=Button .*visible=0 text=KX5800/RLT4$" "$opened" ||
    fail "the font box shows for a .bin image"
grep -q "^control 1004 class=Static .*text=$(basename "$IMAGE")$" "$opened" || fail "image name"
grep -q "^control 1002 class=msctls_progress32 " "$opened" || fail "progress bar"
ports=$(field "$opened" ports)
[[ " $ports " == *" COM5 "* ]] || fail "COM5 not in the port list: $ports"
idle=$(field "$opened" face)
[ -n "$idle" ] && [ "$idle" != "0000000000000000" ] || fail "no idle face on the button"
echo "   dialog opened: controls $ids; ports $ports"

t0=$(date +%s%N)
upgrade_on_com5 "$opened"
expect_success dialog
echo "   upgrade from the dialog: $(cat "$LOGS/dialog-status.txt"), $((($(date +%s%N) - t0) / 1000000)) ms"

done=$LOGS/dialog-done.txt
probe show >"$done"
# The range counts blocks of the whole file, header included; a success fills it.
size=$(stat -c %s "$IMAGE")
want="$(((size + 127) / 128 + 2)) range 0 $(((size + 127) / 128 + 2))"
[ "$(field "$done" progress)" = "$want" ] || fail "progress $(field "$done" progress), wanted $want"
[ "$(field "$done" face)" = "$idle" ] || fail "the idle face is not back"
grep -q "^control 1003 .*text=COM5$" "$done" || fail "port entry"

# Escape is ignored; the close box (WM_CLOSE) ends the program.
xdotool key Escape
sleep 0.5
[ -n "$(xdotool search --name "^$caption\$" 2>/dev/null)" ] || fail "Escape closed the dialog"
import -window root "$LOGS/dialog-screen.png"
read -r wx wy ww wh <<<"$(field "$done" window)"
# No time stamps in the file: the same picture gives the same bytes.
convert "$LOGS/dialog-screen.png" -crop "${ww}x${wh}+${wx}+${wy}" +repage -strip "$SHOT"
close_dialog
echo "   closed; screenshot ${ww}x${wh} in $SHOT"

# Override mode: the mismatch is put to the user, who lets it go on.
start_emulator override --module 5801
start_dialog override 'QUIRK!!'
probe show >"$LOGS/override-opened.txt"
upgrade_on_com5 "$LOGS/override-opened.txt"
wait_window "Mismatch Module NO." >/dev/null || fail "no override question"
probe show-box "Mismatch Module NO." >"$LOGS/override-box.txt"
grep -q $'Old Module No\t: 5801' "$LOGS/override-box.txt" || fail "question without the scanner's module"
grep -q $'New Module No\t: 5800' "$LOGS/override-box.txt" || fail "question without the image's module"
# Closing while the upgrade waits is put to the user; No keeps the dialog.
probe close || fail "close request during the upgrade"
question=$(wait_window "Upgrade running") || fail "no question when closing during an upgrade"
probe show-box "Upgrade running" >"$LOGS/close-question.txt"
grep -q "Close anyway?" "$LOGS/close-question.txt" || fail "close question text"
for attempt in 1 2 3; do  # a key sent before the box has focus is lost
    focus_window "$question" || fail "cannot focus the close question"
    xdotool key n
    gone "Upgrade running" && break
    [ "$attempt" = 3 ] && fail "the close question did not take No"
done
sleep 0.5
running "$app" && [ -n "$(xdotool search --name "^$caption\$" 2>/dev/null)" ] ||
    fail "answering No to the close question closed the dialog"
# The dialog is in front of the box by now, and no window manager raises it.
probe answer-box "Mismatch Module NO." yes || fail "cannot answer the question"
expect_success override
close_dialog
echo "   override: module 5801 against 5800 asked, Yes, $(cat "$LOGS/override-status.txt"); closing during it asked, No"
