#!/usr/bin/env bash
# Builds the program and packs the distributable zip,
# build/gamehost-VERSION.zip: gamehost.exe and the players' README.txt; and
# beside it, for the studio only, build/gamehost-VERSION-debug.zip with the
# program's debug file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target gamehost >/dev/null
package=$( (cd "$build" && cpack -G ZIP --config CPackConfig.cmake -B .) | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')
echo "$package"

# The program's debug file stays with the studio, beside the zip and never in
# it: scripts/crash-report.sh reads the crash dumps players send with it.
debug_zip=${package%.zip}-debug.zip
(cd "$build" && cmake -E tar cf "$debug_zip" --format=zip gamehost.exe.debug)
echo "$debug_zip"
