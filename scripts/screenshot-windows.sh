#!/usr/bin/env bash
# Screenshots of the program under Wine, taken by the window's test at its
# moments (the add dialog; the editor after a refused save; a running mapping
# with two clients), at 560 x 420: docs/windows-*.png.
# Needs the build of scripts/test-windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${LUMESK_WIN_BUILD:-build-win}
[ -f "$dir/lumesk_gui_tests.exe" ] || { echo "run scripts/test-windows.sh first"; exit 1; }

. scripts/wine-env.sh
wine_start "$PWD/$dir"
trap wine_stop EXIT
out=$(mktemp -d)

# The test asks through NAME.ready (holding the geometry) and waits for NAME.done.
(cd "$dir" && LUMESK_SCREENSHOT="Z:${out//\//\\}" \
    timeout 300 "$wine" lumesk_gui_tests.exe </dev/null >"$out/test.log" 2>&1) &
test_pid=$!
while kill -0 "$test_pid" 2>/dev/null; do
    for ready in "$out"/*.ready; do
        [ -e "$ready" ] || continue
        shot=${ready%.ready}
        sleep 0.5  # the last paint
        import -window root -crop "$(tr -d '\r\n' <"$ready")" +repage "$shot"
        rm -f "$ready"
        touch "$shot.done"
    done
    sleep 0.1
done
wait "$test_pid" || { cat "$out/test.log"; exit 1; }
for shot in main-window editor-panel add-dialog proxy-client; do
    cp "$out/$shot.png" "docs/windows-$shot.png"
done
echo "screenshot-windows: docs/windows-{main-window,editor-panel,add-dialog,proxy-client}.png"
