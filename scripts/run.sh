#!/usr/bin/env bash
# Builds the host and runs it headless under Wine with the stand-in control
# playing a demo script as the movie. Prints the stand-in's log, saves a
# screenshot taken while the game is windowed, and returns the host's exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target gamehost standin bench_keeper >/dev/null

bench=$build/run-bench
trap 'scripts/wine-bench.sh stop "$bench"' EXIT
scripts/wine-bench.sh start "$bench" </dev/null >/dev/null 2>&1

game=$bench/prefix/drive_c/game
mkdir -p "$game"
cp "$build/gamehost.exe" "$game/"
cp "${1:-scripts/demo.swf.txt}" "$game/game.swf"
rm -f "$game/standin.log"

(sleep 1 && DISPLAY=$(cat "$bench/display") import -window root "$build/demo.png" 2>/dev/null) &
status=0
STANDIN_LOG='C:\game\standin.log' scripts/wine-bench.sh run "$bench" 'C:\game\gamehost.exe' </dev/null || status=$?
wait
cat "$game/standin.log"
echo "exit code $status; screenshot $build/demo.png"
exit "$status"
