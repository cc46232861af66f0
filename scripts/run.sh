#!/usr/bin/env bash
# Builds the program and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target lumesk
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display. To run the window on a virtual one:"
    echo "  xvfb-run -a -s '-screen 0 1024x768x24' build/lumesk"
    exit 1
fi
exec build/lumesk "$@"
