#!/usr/bin/env bash
# test-msi.sh MSI: the installer under Wine, as a user goes through it. It
# installs it (msiexec /i … /qn), checks what it put where (the program under
# Program Files, the Start-menu shortcut Lumesk端口映射工具, the Apps & features
# entry with name and version), starts the installed program and ends it with
# 菜单 → 退出, uninstalls it (msiexec /x … /qn) and checks that nothing of it
# is left. Runs in the Wine prefix and on the display of its caller
# (scripts/test-windows.sh); alone, it makes its own beside the MSI.
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 PACKAGE.msi" >&2; exit 2; }
msi="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
cd "$(dirname "$0")/.."

scripts/install-missing.sh test-msi msitools wine64 xvfb xauth xdotool

name="Lumesk端口映射工具"
. scripts/wine-env.sh
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
    wine_start "$(dirname "$msi")"
    trap wine_stop EXIT
fi
fail() { echo "test-msi: $*" >&2; exit 1; }

# Windows paths for Wine: the Unix root is drive Z:.
winmsi="Z:${msi//\//\\}"
installed="$WINEPREFIX/drive_c/Program Files/Lumesk"
# Wine puts a per-machine package's shortcut in the user's Start menu, where
# Windows puts it in the common one; either will do here, but not both.
menus=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
       "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs")
shortcuts() { for m in "${menus[@]}"; do [ -f "$m/$name.lnk" ] && echo "$m/$name.lnk"; done; true; }
properties=$(msiinfo export "$msi" Property | tr -d '\r')
product=$(sed -n 's/^ProductCode\t//p' <<<"$properties")
[ -n "$product" ] || fail "no ProductCode in $msi"
arp="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
# A registry key's values as text ("" when the key is missing).
key_values() {
    local file="$WINEPREFIX/drive_c/lumesk-key.reg"
    rm -f "$file"
    timeout 60 "$wine" reg export "$1" 'C:\lumesk-key.reg' /y </dev/null >/dev/null 2>&1 || true
    [ -f "$file" ] && iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r'
    rm -f "$file"
}

# A run cut short may have left an earlier build of the package installed;
# it goes first, so what is checked below is this package's alone.
for earlier in $(key_values 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' |
    awk -v want="\"DisplayName\"=\"$name\"" '/^\[/ { key = $0 } $0 == want { print key }' |
    sed -n 's/.*\\\({[-0-9A-Fa-f]*}\)\]$/\1/p'); do
    echo "test-msi: removing an earlier install ($earlier)"
    timeout 300 "$wine" msiexec /x "$earlier" /qn </dev/null >/dev/null 2>&1 || true
done

# What the package says of itself: its icon for Apps & features.
grep -qx $'ARPPRODUCTICON\tlumesk.ico' <<<"$properties" || fail "no ARPPRODUCTICON"
streams=$(msiinfo streams "$msi")
grep -qx 'Icon.lumesk.ico' <<<"$streams" || fail "no icon in the package"

echo "== $(basename "$msi"): install"
started=$(date +%s%N)
timeout 300 "$wine" msiexec /i "$winmsi" /qn </dev/null >/dev/null 2>&1 || fail "msiexec /i failed ($?)"
echo "installed in $(( ($(date +%s%N) - started) / 1000000 )) ms"
[ -f "$installed/lumesk.exe" ] && [ -f "$installed/help.html" ] ||
    fail "lumesk.exe and help.html are not in Program Files\\Lumesk"
[ "$(shortcuts | wc -l)" = 1 ] || fail "no single Start-menu shortcut named $name"
entry=$(key_values "$arp")
grep -qx "\"DisplayName\"=\"$name\"" <<<"$entry" || fail "Apps & features: no entry named $name"
grep -qx '"DisplayVersion"="1.0.0"' <<<"$entry" || fail "Apps & features: not version 1.0.0"

# The installed program, as the shortcut starts it: its window comes up and
# 菜单 → 退出 ends it with exit code 0.
echo "== the installed lumesk.exe: start, then 菜单 → 退出"
"$wine" 'C:\Program Files\Lumesk\lumesk.exe' </dev/null >/dev/null 2>&1 &
program=$!
wait_window || fail "the installed lumesk.exe showed no window within 30 s"
quit_by_menu "$program"
[ "$code" = 0 ] || fail "the installed lumesk.exe did not end with code 0 (${code:-still running})"

echo "== $(basename "$msi"): uninstall"
timeout 300 "$wine" msiexec /x "$winmsi" /qn </dev/null >/dev/null 2>&1 || fail "msiexec /x failed ($?)"
[ ! -e "$installed" ] || fail "left behind: $(find "$installed" | head -5)"
[ -z "$(shortcuts)" ] || fail "left behind: $(shortcuts)"
[ -z "$(key_values "$arp")" ] || fail "left behind: the Apps & features entry"
[ -z "$(key_values 'HKLM\Software\Lumesk')" ] || fail "left behind: HKLM\\Software\\Lumesk"
echo "test-msi: installed, ran, ended and uninstalled; nothing left"
