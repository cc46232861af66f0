#!/usr/bin/env bash
# Builds the program and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target lumesk
exec build/lumesk "$@"
