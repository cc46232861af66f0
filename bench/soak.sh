#!/usr/bin/env bash
# Robustness figures of lumesk_relay (Release) on loopback:
#  - 20000 connect / 64-byte echo / close cycles from 8 parallel clients, with
#    the relay's descriptors and RSS before, just after, and after 5 s of rest;
#  - 150 clients at once on one mapping (100 client slots): 100 served and 50
#    refused, then, once they have gone, the same again;
#  - 50 connections sending for 3 s (the echoes fill every queue on the way
#    back), with the RSS just after and after 5 s of rest.
# Usage: bench/soak.sh [CYCLES] [THREADS] [CROWD]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-bench
CYCLES=${1:-20000}
THREADS=${2:-8}
CROWD=${3:-150}
T=$(mktemp -d)
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
    exec 3>&- 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$T"
}
trap cleanup EXIT

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMESK_TESTS=OFF \
    -DLUMESK_GUI=OFF >"$T/cmake.log" 2>&1 || { cat "$T/cmake.log"; exit 1; }
ninja -C "$BUILD" lumesk_relay lumesk_load >"$T/ninja.log" 2>&1 || { cat "$T/ninja.log"; exit 1; }

port_busy() { ss -Hltn "sport = :$1" | grep -q .; }
free_port() {
    local p
    while :; do
        p=$((20000 + RANDOM % 20000))
        port_busy "$p" || { echo "$p"; return; }
    done
}

echop=$(free_port)
"$BUILD/lumesk_load" echo-server "$echop" 600 >"$T/echo.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do port_busy "$echop" && break; sleep 0.1; done

mkfifo "$T/in"
"$BUILD/lumesk_relay" 0 "$echop" <"$T/in" >"$T/relay.out" 2>"$T/relay.err" &
relay=$!
PIDS+=("$relay")
exec 3>"$T/in"  # the relay runs until this closes
for _ in $(seq 50); do grep -q '^ready' "$T/relay.out" && break; sleep 0.1; done
port=$(awk '/^ready/ { print $2 }' "$T/relay.out")
[ -n "$port" ] || { echo "relay did not start"; cat "$T/relay.err"; exit 1; }

state() {
    printf 'fds=%s rss_kib=%s' "$(ls /proc/"$relay"/fd | wc -l)" \
        "$(awk '/^VmRSS:/ { print $2 }' /proc/"$relay"/status)"
}

echo "idle:        $(state)"
"$BUILD/lumesk_load" cycles "$port" "$CYCLES" "$THREADS"
echo "just after:  $(state)"
sleep 5
echo "after 5 s:   $(state)"
for round in 1 2; do
    "$BUILD/lumesk_load" crowd "$port" "$CROWD" || true
    sleep 1
    echo "crowd $round gone, after 1 s: $(state)"
done
"$BUILD/lumesk_load" throughput "$port" 50 3 | sed 's/^/bulk both ways: /'
echo "just after:  $(state)"
sleep 5
echo "after 5 s:   $(state)"
