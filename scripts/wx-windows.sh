#!/usr/bin/env bash
# Builds wxWidgets 3.2 for 64-bit Windows (mingw-w64, static, MSW, unicode)
# from Debian's own source package, once, into a cache folder outside the
# clone. Prints the folder holding bin/wx-config on its last line.
#
# The folder's name carries a hash of the compiler, the configure options and
# this script's version tag; the source package's version is kept in a stamp
# and checked against the registry, so a change of any of them rebuilds.
set -euo pipefail

cache_root=${LUMESK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumesk}
host=x86_64-w64-mingw32
options=(--host=$host --build=x86_64-linux-gnu --disable-shared --with-msw
         --enable-unicode --with-regex=builtin
         --without-libpng --without-libjpeg --without-libtiff --without-zlib
         --without-expat --without-liblzma --without-libcurl --without-opengl
         --disable-svg --disable-html --disable-webview --disable-mediactrl
         --disable-stc --disable-richtext --disable-propgrid --disable-ribbon
         --disable-aui --disable-xrc --disable-sound --disable-debugreport)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

log() { echo "wx-windows: $*" >&2; }

"$(dirname "$0")/install-missing.sh" wx-windows g++-mingw-w64-x86-64-posix make

compiler=$($host-g++-posix -dumpfullversion)
key=$(printf '%s\n' "tag 1" "$compiler" "${options[@]}" | sha256sum | cut -c1-12)
prefix="$cache_root/wx-msw-$key"

# Source packages come from the same registry once a deb-src entry exists.
# The entry is a file of our own beside the system's: an update pointed at a
# deb-src file alone would drop the binary package lists.
src_list=/etc/apt/sources.list.d/lumesk-deb-src.sources
ensure_src_list() {
    if [ -f "$src_list" ]; then return; fi
    local system=/etc/apt/sources.list.d/debian.sources
    log "adding a deb-src entry ($src_list)"
    if [ -f "$system" ]; then
        sed 's/^Types:.*/Types: deb-src/' "$system" | $sudo tee "$src_list" >/dev/null
    else
        local codename
        codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\n' \
            "$codename" "$codename" | $sudo tee "$src_list" >/dev/null
    fi
    $sudo apt-get update -qq >&2
}

candidate_version() {
    apt-cache showsrc wxwidgets3.2 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -1
}

if [ -f "$prefix/.stamp" ]; then
    have=$(cat "$prefix/.stamp")
    want=""
    if [ -f "$src_list" ]; then want=$(candidate_version); fi
    if [ -z "$want" ] || [ "$want" = "$have" ]; then
        log "cached: $prefix (wxwidgets3.2 $have)"
        echo "$prefix"
        exit 0
    fi
    log "source version changed ($have -> $want): rebuilding"
fi

ensure_src_list
version=$(candidate_version)
if [ -z "$version" ]; then
    $sudo apt-get update -qq >&2
    version=$(candidate_version)
fi
[ -n "$version" ] || { log "no source package wxwidgets3.2 in the registry"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/wx-msw.XXXXXX")
trap 'rm -rf "$work"' EXIT
log "downloading wxwidgets3.2 $version (source)"
(cd "$work" && apt-get source --download-only -qq "wxwidgets3.2=$version" >&2)
orig=$(ls "$work"/wxwidgets3.2_*.orig.tar.* | head -1)
tar -xf "$orig" -C "$work"
srcdir=$(find "$work" -maxdepth 1 -type d -name 'wxWidgets-*' | head -1)

rm -rf "$prefix.part"
mkdir -p "$work/build"
start=$(date +%s)
log "configuring and building (takes a quarter of an hour on two cores)"
(cd "$work/build" &&
    "$srcdir/configure" --prefix="$prefix.part" "${options[@]}" >configure.log 2>&1 ||
    { tail -40 configure.log >&2; exit 1; })
(cd "$work/build" && make -j "$(nproc)" >make.log 2>&1 || { tail -60 make.log >&2; exit 1; })
(cd "$work/build" && make install >install.log 2>&1 || { tail -40 install.log >&2; exit 1; })

# wx-config holds its prefix; the finished tree moves into place whole, so an
# interrupted build never passes for a cached one.
sed -i "s|$prefix.part|$prefix|g" "$prefix.part/bin/wx-config" "$prefix.part"/lib/wx/config/* 2>/dev/null || true
echo "$version" >"$prefix.part/.stamp"
rm -rf "$prefix"
mv "$prefix.part" "$prefix"
log "built in $(( $(date +%s) - start )) s: $prefix"
echo "$prefix"
