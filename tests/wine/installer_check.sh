# The Windows packages as a user meets them, in a fresh Wine prefix:
#   - the installer, silently (/S): the files under Program Files, the
#     Start-menu link to the dialog with its icon, the entry in the system's
#     list of programs, PATH untouched;
#   - the same installer again over that installation (it removes the old
#     one first), with /PATH=user and then /PATH=all: bin on that PATH and off
#     the other, the installed orvane-flash.exe found there, and an upgrade of
#     the emulated scanner through it;
#   - the uninstaller, silently, as that list starts it; after the restart
#     Windows needs to delete the uninstaller's running copy, nothing of ours
#     is left: no file, no registry entry, PATH as before;
#   - the portable .zip: the same programs, README.txt and the licences.
# Sourced by scripts/test-windows.sh after its other steps, with INSTALLER and
# ZIP set: uses its fail, start_peer, wait_for_exit and last_line, and $win,
# $logs, $bootsim, $image and $shim.
: "${INSTALLER:?}" "${ZIP:?}"

export WINEPREFIX=$win/wine-installer
# No menu entries on this machine's own desktop for the links the installer makes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
inst_dir='C:\Program Files\Orvane 5800 Upgrade Utility'
inst_unix="$WINEPREFIX/drive_c/Program Files/Orvane 5800 Upgrade Utility"
menu_unix="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Orvane 5800 Imager Firmware Upgrade Utility"
link=$menu_unix/Orvane\ 5800\ Firmware\ Upgrade.lnk
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\orvane-upgrade-utility'
env_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'

# Every file and folder of the prefix's drive, but for empty folders in a
# user's Temp: the uninstaller runs from a copy there, deleted at the next
# start; the folder it sat in may stay, empty.
drive_files() {
    (cd "$WINEPREFIX" && find drive_c \( -path 'drive_c/users/*/Temp/*' -type d -empty \) -prune -o -print |
        LC_ALL=C sort)
}
# Registry lines that name us (keys, values, paths), from the saved hives.
our_registry() {
    grep -i -e 'orvane-upgrade' -e 'Orvane 5800' -e 'orvane-flash' -e '^\[Software\\\\Orvane\]' \
        "$WINEPREFIX"/*.reg || true
}
reg_value() {  # reg_value KEY NAME: the value's data, or "(none)" when there is no such value
    local out
    out=$(wine reg query "$1" /v "$2" 2>/dev/null) || { echo "(none)"; return; }
    printf '%s\n' "$out" | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
system_path() { reg_value "$env_key" PATH; }
user_path() { reg_value 'HKCU\Environment' PATH; }
stop_prefix() {  # waits until every program of the prefix has ended
    timeout 120 wineserver -w || fail "the Wine prefix still runs programs after 120 s"
}
# The target, icon file and icon index a shell link (.lnk) names.
read_link() {
    python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
flags, = struct.unpack_from("<I", data, 20)
icon_index, = struct.unpack_from("<i", data, 56)
pos = 76
if flags & 0x01:  # an item id list
    pos += 2 + struct.unpack_from("<H", data, pos)[0]
target = ""
if flags & 0x02:  # link info: the local base path
    size, = struct.unpack_from("<I", data, pos)
    base = pos + struct.unpack_from("<I", data, pos + 16)[0]
    target = data[base:data.index(b"\0", base)].decode("latin-1")
    pos += size
strings = []
for bit in (0x04, 0x08, 0x10, 0x20, 0x40):  # name, relative path, folder, arguments, icon
    if flags & bit:
        count, = struct.unpack_from("<H", data, pos)
        width = 2 if flags & 0x80 else 1
        raw = data[pos + 2:pos + 2 + count * width]
        # Some writers count the closing NUL too.
        strings.append((bit, raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")))
        pos += 2 + count * width
icon = dict(strings).get(0x40, "")
print("target=" + target)
print("icon=" + icon)
print("index=%d" % icon_index)
EOF
}

step "installer in a fresh Wine prefix"
wineserver -k >/dev/null 2>&1 || true
rm -rf "$WINEPREFIX"
wineboot -i >"$logs/installer-wineboot.log" 2>&1 || fail "wineboot (see $logs/installer-wineboot.log)"
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$win/installer-com5-link" /f \
    >"$logs/installer-reg.log" 2>&1 || fail "registry (see $logs/installer-reg.log)"
stop_prefix
drive_files >"$logs/installer-before.files"
our_registry >"$logs/installer-before.reg"
[ ! -s "$logs/installer-before.reg" ] || fail "a fresh prefix already names us: $(head -3 "$logs/installer-before.reg")"
path_before=$(system_path)
[ -n "$path_before" ] && [ "$path_before" != "(none)" ] || fail "no system PATH in the fresh prefix"
user_path_before=$(user_path)

# Silently, as it comes: no PATH change.
status=0
wine "$INSTALLER" /S >"$logs/installer-1.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the installer /S exits $status (see $logs/installer-1.log)"
for f in bin/orvane-flash.exe bin/orvane-upgrade.exe README.txt LICENSE.txt NOTICES.txt Uninstall.exe; do
    [ -f "$inst_unix/$f" ] || fail "the installer did not install $f"
done
cmp -s "$inst_unix/LICENSE.txt" "$win/package-text/LICENSE.txt" || fail "LICENSE.txt differs from the build's"
[ "$(system_path)" = "$path_before" ] && [ "$(user_path)" = "$user_path_before" ] ||
    fail "the installer changed PATH without /PATH: $(system_path); user: $(user_path)"
[ -f "$link" ] || fail "no Start-menu link: $(ls "$menu_unix" 2>&1 | tr '\n' ' ')"
read_link "$link" >"$logs/installer-link.txt" || fail "cannot read the Start-menu link"
grep -qxF "target=$inst_dir\\bin\\orvane-upgrade.exe" "$logs/installer-link.txt" ||
    fail "the Start-menu link does not start the installed dialog: $(tr '\n' ' ' <"$logs/installer-link.txt")"
grep -qxF "icon=$inst_dir\\bin\\orvane-upgrade.exe" "$logs/installer-link.txt" &&
    grep -qx "index=0" "$logs/installer-link.txt" ||
    fail "the Start-menu link's icon is not the dialog's own: $(tr '\n' ' ' <"$logs/installer-link.txt")"
# The dialog's first (only) icon is app_icon.ico: its picture is in the program.
python3 - "$root/shell/resources/app_icon.ico" "$inst_unix/bin/orvane-upgrade.exe" <<'EOF' ||
import sys
icon, program = (open(name, "rb").read() for name in sys.argv[1:])
sys.exit(0 if program.find(icon[22:]) >= 0 else 1)
EOF
    fail "the installed orvane-upgrade.exe does not carry app_icon.ico"
wine uninstaller --list 2>/dev/null | tr -d '\r' >"$logs/installer-programs.txt"
grep -qx 'orvane-upgrade-utility|||Orvane 5800 Imager Firmware Upgrade Utility [0-9.]*' \
    "$logs/installer-programs.txt" || fail "not in the list of programs: $(cat "$logs/installer-programs.txt")"
uninstall=$(reg_value "$uninstall_key" UninstallString)
[ "$uninstall" = "\"$inst_dir\\Uninstall.exe\"" ] || fail "UninstallString is '$uninstall'"
[ "$(reg_value "$uninstall_key" DisplayIcon)" = "$inst_dir\\bin\\orvane-upgrade.exe" ] ||
    fail "the list of programs shows no icon of ours: '$(reg_value "$uninstall_key" DisplayIcon)'"
echo "   installed (/S): $(find "$inst_unix" -type f | wc -l) files, Start-menu link with the dialog's icon, in the list of programs, PATH untouched"

# Again over it (the old one is removed first), adding bin to this user's
# PATH; and again, adding it to all users' PATH instead.
status=0
wine "$INSTALLER" /S /PATH=user >"$logs/installer-2.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the installer /S /PATH=user over an installation exits $status (see $logs/installer-2.log)"
want="$user_path_before;$inst_dir\bin"
[ "$user_path_before" != "(none)" ] || want="$inst_dir\bin"
[ "$(user_path)" = "$want" ] || fail "user PATH after /PATH=user: '$(user_path)'"
[ "$(system_path)" = "$path_before" ] || fail "/PATH=user changed the system PATH: $(system_path)"
status=0
wine "$INSTALLER" /S /PATH=all >"$logs/installer-3.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the installer /S /PATH=all over an installation exits $status (see $logs/installer-3.log)"
[ "$(system_path)" = "$path_before;$inst_dir\bin" ] || fail "PATH after /PATH=all: $(system_path)"
[ "$(user_path)" = "$user_path_before" ] || fail "removing the /PATH=user installation left the user PATH '$(user_path)'"
[ "$(wine uninstaller --list 2>/dev/null | grep -c orvane-upgrade-utility)" = 1 ] ||
    fail "the list of programs does not hold us exactly once after installing again"
built=$(wine "$win/bin/orvane-flash.exe" --version 2>&1 | tr -d '\r')
version=$(wine cmd /c orvane-flash.exe --version 2>&1 | tr -d '\r') || fail "orvane-flash.exe on PATH: $version"
[ "$version" = "$built" ] || fail "orvane-flash.exe --version from PATH says '$version', the build '$built'"
echo "   installed again with /PATH=user, then /PATH=all: bin on that PATH each time, '$version' found on it"

# An upgrade through the installed program; the emulator checks what it got.
start_peer "$win/installer-com5-link" "$logs/installed.path" "$bootsim" --expect "$image" --once
sim=$peer
status=0
LD_PRELOAD=$shim wine "$inst_dir\\bin\\orvane-flash.exe" upgrade --port COM5 "$(winepath -w "$image" 2>/dev/null)" \
    >"$logs/installed.out" 2>"$logs/installed.err" || status=$?
[ "$status" = 0 ] || fail "upgrade with the installed orvane-flash.exe: exit $status (see $logs/installed.err)"
[ "$(last_line "$logs/installed.err")" = "upgrade success!!!" ] ||
    fail "upgrade with the installed orvane-flash.exe: \"$(last_line "$logs/installed.err")\""
wait_for_exit "$sim" 20 || fail "the emulator's --expect check failed (see $logs/installed.path.log)"
echo "   upgrade with the installed orvane-flash.exe: exit 0, image verified"

# Silently away, as the list of programs starts it: the uninstaller hands over
# to a copy of itself in Temp and ends; its copy is done when the prefix is idle.
stop_prefix
status=0
wine "${uninstall//\"/}" /S >"$logs/uninstall.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "the uninstaller /S exits $status (see $logs/uninstall.log)"
stop_prefix
wineboot -r >"$logs/installer-restart.log" 2>&1 || fail "restart (see $logs/installer-restart.log)"
stop_prefix
drive_files >"$logs/installer-after.files"
if ! diff "$logs/installer-before.files" "$logs/installer-after.files" >"$logs/installer-left.files"; then
    fail "files differ after uninstalling: $(head -20 "$logs/installer-left.files" | tr '\n' ' ')"
fi
our_registry >"$logs/installer-after.reg"
[ ! -s "$logs/installer-after.reg" ] || fail "registry entries left: $(head -5 "$logs/installer-after.reg" | tr '\n' ' ')"
[ "$(system_path)" = "$path_before" ] || fail "PATH after uninstalling: $(system_path)"
[ "$(user_path)" = "$user_path_before" ] || fail "user PATH after uninstalling: $(user_path)"
stop_prefix
echo "   uninstalled (/S): no file, registry entry or PATH entry left"

# The portable .zip: one folder with the programs the installer carries.
python3 -m zipfile -l "$ZIP" >"$logs/zip.txt" || fail "the .zip does not open"
top=$(basename "$ZIP" .zip)
for f in bin/orvane-flash.exe bin/orvane-upgrade.exe README.txt LICENSE.txt NOTICES.txt; do
    grep -q "^$top/$f " "$logs/zip.txt" || fail "the .zip lacks $top/$f"
done
rm -rf "$win/zip-check"
python3 -m zipfile -e "$ZIP" "$win/zip-check" || fail "the .zip does not unpack"
grep -q $'\r$' "$win/zip-check/$top/README.txt" || fail "README.txt in the .zip lacks Windows line ends"
grep -q "orvane-flash upgrade --port COM3" "$win/zip-check/$top/README.txt" || fail "README.txt says nothing on use"
version=$(wine "$win/zip-check/$top/bin/orvane-flash.exe" --version 2>&1 | tr -d '\r') ||
    fail "orvane-flash.exe from the .zip: $version"
[ "$version" = "$built" ] || fail "orvane-flash.exe --version from the .zip says '$version', the build '$built'"
stop_prefix
echo "   portable .zip: $(grep -c . "$logs/zip.txt") entries; '$version' from where it unpacked"
rm -rf "$win/zip-check"
