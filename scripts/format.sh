#!/usr/bin/env bash
# Formats every C++ file with .clang-format; --check only reports (and fails)
# what is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror "${files[@]}"
    echo "format: ${#files[@]} files as .clang-format has them"
else
    clang-format -i "${files[@]}"
fi
