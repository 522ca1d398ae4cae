#!/usr/bin/env bash
# Builds the program and every test, then runs all tests under Wine, headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$(nproc)"

trap 'scripts/wine-bench.sh stop "$build/bench"' EXIT
scripts/wine-bench.sh start "$build/bench"
# One at a time: the tests share one desktop, whose display mode any of them may change.
ctest --test-dir "$build" --output-on-failure
# The tree is formatted as .clang-format says.
scripts/format-check.sh
