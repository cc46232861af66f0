#!/usr/bin/env bash
# Builds the engine and its tests as Windows executables with mingw-w64 and
# runs them under Wine, headless, on Wine's real completion port.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-x86-64-posix wine64 googletest cmake ninja-build)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "test-windows: installing missing packages: ${missing[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

dir=build-win
echo "== $dir (mingw-w64, under Wine)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DLUMESK_GUI=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"

# Wine's own prefix inside the build folder; nothing of the user's is touched.
export WINEPREFIX="$PWD/$dir/wine-prefix"
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
mkdir -p "$WINEPREFIX"  # wineserver starts only in an existing prefix folder

# Wine's background processes keep any descriptor they inherit, so start them
# first with every descriptor detached; otherwise whoever reads our output
# waits for them.
"$wineserver" -p >/dev/null 2>&1 </dev/null
"$wine" wineboot >/dev/null 2>&1 </dev/null
stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT

# One process for the whole suite: gtest prints its own summary and exits
# non-zero on any failure; a hang ends as a failure too.
cd "$dir"
timeout --kill-after=10 1200 "$wine" lumesk_tests.exe </dev/null
