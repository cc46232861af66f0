#!/usr/bin/env bash
# Makes dist/lumesk-win64.zip: the stripped, statically linked lumesk.exe and
# its help page, all a 64-bit Windows 7 or later machine needs.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-x86-64-posix cmake ninja-build)
scripts/install-missing.sh package-windows "${packages[@]}"

wx=$(scripts/wx-windows.sh | tail -1)
dir=build-win-release
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DLUMESK_TESTS=OFF -DLUMESK_GUI=ON \
    -DLUMESK_WX_CONFIG="$wx/bin/wx-config" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target lumesk

stage="$dir/stage/lumesk-win64"
rm -rf "$dir/stage"
mkdir -p "$stage" dist
x86_64-w64-mingw32-strip -o "$stage/lumesk.exe" "$dir/lumesk.exe"
cp docs/help.html "$stage/help.html"
rm -f dist/lumesk-win64.zip
(cd "$dir/stage" && cmake -E tar cf "$OLDPWD/dist/lumesk-win64.zip" --format=zip lumesk-win64)
echo "package-windows: dist/lumesk-win64.zip ($(du -k dist/lumesk-win64.zip | cut -f1) KiB;" \
    "lumesk.exe $(du -k "$stage/lumesk.exe" | cut -f1) KiB)"
