#!/usr/bin/env bash
# Makes the Windows packages in dist/:
#   lumesk-win64.zip     the stripped, statically linked lumesk.exe and its
#                        help page, all a 64-bit Windows 7 or later needs;
#   lumesk-1.0-x64.msi   the installer (scripts/lumesk.wxs): Program Files,
#                        a Start-menu shortcut, Apps & features, uninstall.
# By default it builds the release lumesk.exe (build-win-release/).
#   --from DIR  packages DIR/lumesk.exe of a Windows build already made (the
#               tests' build reuses its own, so CI builds the program once)
#   --out DIR   writes the packages into DIR instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."

from=""
out=dist
while [ $# -gt 0 ]; do
    case $1 in
        --from) from=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        *) echo "usage: $0 [--from BUILD_DIR] [--out DIR]" >&2; exit 2 ;;
    esac
done

version=1.0.0
name="Lumesk端口映射工具"

packages=(g++-mingw-w64-x86-64-posix cmake ninja-build wixl msitools)
scripts/install-missing.sh package-windows "${packages[@]}"

if [ -z "$from" ]; then
    wx=$(scripts/wx-windows.sh | tail -1)
    from=build-win-release
    cmake -S . -B "$from" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DLUMESK_TESTS=OFF -DLUMESK_GUI=ON \
        -DLUMESK_WX_CONFIG="$wx/bin/wx-config" >/dev/null
    cmake --build "$from" -j "$(nproc)" --target lumesk
fi
for f in lumesk.exe lumesk.ico; do
    [ -f "$from/$f" ] || { echo "package-windows: no $from/$f" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

stage="$from/stage/lumesk-win64"
rm -rf "$from/stage"
mkdir -p "$stage"
x86_64-w64-mingw32-strip -o "$stage/lumesk.exe" "$from/lumesk.exe"
cp docs/help.html "$stage/help.html"
rm -f "$out/lumesk-win64.zip"
(cd "$from/stage" && cmake -E tar cf "$out/lumesk-win64.zip" --format=zip lumesk-win64)

# The installer. wixl takes the files by the names the description gives,
# from the folder it runs in.
cp "$from/lumesk.ico" "$from/stage/lumesk.ico"
cp scripts/lumesk.wxs "$from/stage/lumesk.wxs"
msi="$out/lumesk-${version%.*}-x64.msi"
rm -f "$msi"
(cd "$stage" && cp ../lumesk.ico ../lumesk.wxs . &&
    wixl --arch x64 -D Version="$version" -o "$msi" lumesk.wxs)
rm -f "$stage/lumesk.ico" "$stage/lumesk.wxs"
# wixl stores every string in the build machine's code page and cannot store
# Chinese (it ignores Product/@Codepage); the database gets code page 936
# (GBK, Simplified Chinese) first, then the names Windows shows.
printf '\r\n\r\n936\t_ForceCodepage\r\n' >"$from/stage/_ForceCodepage.idt"
msibuild "$msi" -i "$from/stage/_ForceCodepage.idt"
msibuild "$msi" -q "UPDATE \`Property\` SET \`Value\` = '$name' WHERE \`Property\` = 'ProductName'"
msibuild "$msi" -q "UPDATE \`Shortcut\` SET \`Name\` = 'LUMESK|$name', \`Description\` = '$name' WHERE \`Shortcut\` = 'StartMenuShortcut'"
msibuild "$msi" -q "UPDATE \`LaunchCondition\` SET \`Description\` = '已安装了更新版本的$name。' WHERE \`Condition\` = 'NOT WIX_DOWNGRADE_DETECTED'"
properties=$(msiinfo export "$msi" Property)
grep -qF "ProductName"$'\t'"$name" <<<"$properties" ||
    { echo "package-windows: the installer's product name did not take" >&2; exit 1; }

echo "package-windows: $out/lumesk-win64.zip ($(du -k "$out/lumesk-win64.zip" | cut -f1) KiB;" \
    "lumesk.exe $(du -k "$stage/lumesk.exe" | cut -f1) KiB), $msi ($(du -k "$msi" | cut -f1) KiB)"
