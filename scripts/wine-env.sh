# Sourced: a virtual display and a Wine prefix of our own for Windows programs.
# wine_start FOLDER makes (once) FOLDER/wine-prefix, starts Xvfb on a free
# display and Wine's server; wine_stop ends both.

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
xvfb_pid=""

wine_start() {
    export WINEPREFIX="$1/wine-prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
    mkdir -p "$WINEPREFIX"  # wineserver starts only in an existing prefix folder

    # A display number nobody uses: two X servers must not share one.
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done

    # Wine's background processes keep any descriptor they inherit, so start
    # them first with every descriptor detached; otherwise whoever reads our
    # output waits for them.
    "$wineserver" -p >/dev/null 2>&1 </dev/null
    "$wine" wineboot >/dev/null 2>&1 </dev/null

    # A fresh prefix knows no CJK font: the faces Windows programs ask for
    # are mapped to the system's Noto Sans CJK (on Windows the system's own
    # fonts serve). And Wine's own visual style is switched on, as Windows
    # has one: without it Wine draws themed drop-down lists black.
    local reg
    reg=$(
        printf 'REGEDIT4\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
        for face in "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "Microsoft YaHei" "Segoe UI"; do
            printf '"%s"="Noto Sans CJK SC"\r\n' "$face"
        done
        # SimSun's Latin glyphs are half a square wide, as this face's are.
        printf '"SimSun"="Noto Sans Mono CJK SC"\r\n'
        printf '\r\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\ThemeManager]\r\n'
        printf '"ColorName"="Blue"\r\n"SizeName"="NormalSize"\r\n"ThemeActive"="1"\r\n'
        printf '"DllName"="C:\\\\windows\\\\resources\\\\themes\\\\light\\\\light.msstyles"\r\n'
    )
    local stamp="$WINEPREFIX/lumesk-$(printf '%s' "$reg" | sha256sum | cut -c1-12).reg"
    if [ ! -f "$stamp" ]; then
        printf '%s\r\n' "$reg" >"$stamp.part"
        "$wine" regedit "$stamp.part" >/dev/null 2>&1 </dev/null
        # The server writes the registry to the prefix as it ends.
        "$wineserver" -k >/dev/null 2>&1 || true
        "$wineserver" -p >/dev/null 2>&1 </dev/null
        "$wine" wineboot >/dev/null 2>&1 </dev/null
        mv "$stamp.part" "$stamp"
    fi
}

wine_stop() {
    "$wineserver" -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}

# wait_window: waits up to 30 s for the program's main window; its X id in
# $window, and false when none came.
wait_window() {
    window=""
    for _ in $(seq 300); do
        window=$(timeout 5 xdotool search --name "Lumesk端口映射工具" 2>/dev/null | head -1 || true)
        [ -n "$window" ] && return 0
        sleep 0.1
    done
    return 1
}

# quit_by_menu PID: picks "菜单" → "退出" in the window wait_window found, as
# a person would, and waits up to 30 s for the process; its exit code in
# $code (empty while it still runs).
quit_by_menu() {
    local program=$1
    sleep 1  # let it settle before the clicks
    eval "$(timeout 5 xdotool getwindowgeometry --shell "$window")"
    # The menu bar's first menu is at the window's top left; "退出" is its last item.
    xdotool mousemove $((X + 15)) $((Y + 10)) click 1
    sleep 0.5
    xdotool key Up key Return
    code=""
    for _ in $(seq 300); do
        if ! kill -0 "$program" 2>/dev/null; then
            wait "$program" && code=0 || code=$?
            return 0
        fi
        sleep 0.1
    done
}
