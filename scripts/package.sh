#!/usr/bin/env bash
# Builds the program and packs the distributable zip,
# build/gamehost-VERSION.zip: gamehost.exe and the players' README.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target gamehost >/dev/null
(cd "$build" && cpack -G ZIP --config CPackConfig.cmake -B .) | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p'
