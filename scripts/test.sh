#!/usr/bin/env bash
# Builds and runs every test: a plain build, then AddressSanitizer+UBSan and
# ThreadSanitizer builds, each in its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/format.sh --check

jobs=$(nproc)
run_suite() {
    local dir=$1 sanitize=$2 gui=$3
    echo "== $dir ${sanitize:+($sanitize)}"
    cmake -S . -B "$dir" -G Ninja -DLUMESK_SANITIZE="$sanitize" -DLUMESK_GUI="$gui" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The window's test runs in the plain build, under Xvfb; the sanitizer builds
# cover everything below the toolkit.
run_suite build "" ON
scripts/tidy.sh build
run_suite build-asan "address,undefined" OFF
run_suite build-tsan "thread" OFF

# The Windows network path: the same engine tests as Windows executables,
# under Wine.
scripts/test-windows.sh
