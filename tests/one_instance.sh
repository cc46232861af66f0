#!/usr/bin/env bash
# The program itself, started twice on one display: the second start asks
# the first to show its window and ends with code 0 at once; the first runs on.
# Usage: one_instance.sh PROGRAM (under a display, e.g. xvfb-run).
set -euo pipefail
program=$1
# The lock and the socket live here, away from any program the user runs.
XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_RUNTIME_DIR
# Its mappings too: never the user's settings.
export LUMESK_CONFIG_DIR=$XDG_RUNTIME_DIR/settings
first=""
cleanup() {
    if [ -n "$first" ]; then kill "$first" 2>/dev/null || true; fi
    rm -rf "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT

"$program" </dev/null >/dev/null 2>&1 &
first=$!
for _ in $(seq 300); do
    compgen -G "$XDG_RUNTIME_DIR/lumesk-*.sock" >/dev/null && break
    kill -0 "$first" 2>/dev/null || { echo "the first start ended early"; exit 1; }
    sleep 0.1
done
compgen -G "$XDG_RUNTIME_DIR/lumesk-*.sock" >/dev/null || { echo "the first never listened"; exit 1; }

started=$(date +%s%N)
code=0
timeout 20 "$program" </dev/null >/dev/null 2>&1 || code=$?
ms=$(( ($(date +%s%N) - started) / 1000000 ))
echo "second start: exit code $code after $ms ms"
[ "$code" = 0 ] || exit 1
[ "$ms" -lt 5000 ] || { echo "too slow"; exit 1; }
kill -0 "$first" 2>/dev/null || { echo "the first one ended"; exit 1; }
echo "the first one runs on"
