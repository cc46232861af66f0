#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ googletest clang-format clang-tidy nlohmann-json3-dev
          libwxgtk3.2-dev libgtk-3-dev fonts-noto-cjk xvfb xauth imagemagick)

exec "$(dirname "$0")/install-missing.sh" setup "${packages[@]}"
