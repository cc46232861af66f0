#!/usr/bin/env bash
# Builds the program, the engine's tests and the window's test as Windows
# executables with mingw-w64 and runs the tests under Wine: the engine on
# Wine's real completion port, the window on a virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(g++-mingw-w64-x86-64-posix wine64 googletest cmake ninja-build nlohmann-json3-dev
          xvfb xauth fonts-noto-cjk imagemagick xdotool)
scripts/install-missing.sh test-windows "${packages[@]}"

# wxWidgets for Windows: built once into a cache folder outside the clone.
wx=$(scripts/wx-windows.sh | tail -1)

dir=${LUMESK_WIN_BUILD:-build-win}
echo "== $dir (mingw-w64, under Wine)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DLUMESK_GUI=ON -DLUMESK_WX_CONFIG="$wx/bin/wx-config" >/dev/null
cmake --build "$dir" -j "$(nproc)"

. scripts/wine-env.sh
wine_start "$PWD/$dir"
trap wine_stop EXIT

# One process per suite: gtest prints its own summary and exits non-zero on
# any failure; a hang ends as a failure too.
cd "$dir"
timeout --kill-after=10 1200 "$wine" lumesk_tests.exe </dev/null
echo "== the window, under Wine on display $DISPLAY"
timeout --kill-after=10 600 "$wine" lumesk_gui_tests.exe </dev/null
echo "== what Explorer and the taskbar read: icon, version, manifest"
timeout --kill-after=10 120 "$wine" lumesk_resource_tests.exe </dev/null

# The program itself, as a person starts and ends it: its window comes up,
# and "菜单" → "退出" ends it with exit code 0.
echo "== lumesk.exe: start, then 菜单 → 退出"
started=$(date +%s%N)
"$wine" lumesk.exe </dev/null >/dev/null 2>&1 &
program=$!
wait_window || { echo "lumesk.exe: no window within 30 s"; exit 1; }
echo "lumesk.exe: window after $(( ($(date +%s%N) - started) / 1000000 )) ms"
quit_by_menu "$program"
[ "$code" = 0 ] || { echo "lumesk.exe: did not end with code 0 (${code:-still running})"; exit 1; }
echo "lumesk.exe: ended with code 0"

# One instance, and the end of a Windows session. The window hides to the
# tray by its close box; a second start brings it back and ends with 0 at
# once. Then what Windows does at shut-down: every window of the program
# answers WM_QUERYENDSESSION with yes, and WM_ENDSESSION ends it with 0.
echo "== lumesk.exe: a second start, then the end of the session"
probe=lumesk_window_probe.exe
"$wine" lumesk.exe </dev/null >/dev/null 2>&1 &
program=$!
timeout 60 "$wine" "$probe" wait-shown 30 </dev/null
timeout 30 "$wine" "$probe" hide </dev/null
started=$(date +%s%N)
code=0
timeout 60 "$wine" lumesk.exe </dev/null >/dev/null 2>&1 || code=$?
echo "lumesk.exe, second start: exit code $code after $(( ($(date +%s%N) - started) / 1000000 )) ms"
[ "$code" = 0 ] || exit 1
kill -0 "$program" 2>/dev/null || { echo "the first lumesk.exe ended"; exit 1; }
timeout 30 "$wine" "$probe" shown </dev/null
timeout 60 "$wine" "$probe" end-session </dev/null
code=0
timeout 10 tail --pid="$program" -f /dev/null || { echo "lumesk.exe still runs"; exit 1; }
wait "$program" || code=$?
[ "$code" = 0 ] || { echo "lumesk.exe: ended with code $code"; exit 1; }
echo "lumesk.exe: ended with code 0 at the end of the session"

# The installer, made from this build's lumesk.exe (CI builds the program
# once), installed, run, ended and uninstalled in the same Wine prefix.
cd "$root"
scripts/package-windows.sh --from "$dir" --out "$dir/dist"
scripts/test-msi.sh "$dir/dist/lumesk-1.0-x64.msi"
