#!/usr/bin/env bash
# Builds the benchmark program and runs it under Wine on this build folder's
# bench. Not a test: it prints each figure as a ratio against a baseline
# measured in the same run, with PASS or MISS against its bound, and exits
# non-zero when a figure misses.
#
#   scripts/benchmark.sh [REPETITIONS]     7 when not given
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target benchmark >/dev/null
# Runs on the bench the tests use, so its display query sees the same desktop.
scripts/wine-bench.sh run "$build/bench" "$build/tests/benchmark.exe" "$@"
