#!/usr/bin/env bash
# Builds the benchmark program and runs it under Wine on the bench of the
# tests' build folder. Not a test: it prints each figure as a ratio against a
# baseline measured in the same run, with PASS or MISS against its bound, and
# exits non-zero when a figure misses.
#
#   scripts/benchmark.sh [REPETITIONS]     7 when not given
#
# Like scripts/test.sh it uses the 64-bit build (build/x86_64) unless
# TEST_ARCH=i686 asks for the 32-bit one (build), where the kernel runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
arch=${TEST_ARCH:-x86_64}
if [ "$arch" = i686 ]; then
    tests=$build
else
    tests=$build/$arch
fi
# A folder the test command configured keeps its settings.
if [ ! -f "$tests/CMakeCache.txt" ]; then
    cmake -S . -B "$tests" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$tests" -j2 --target benchmark >/dev/null
# The bench the tests use, so that its display query sees the same desktop.
scripts/wine-bench.sh run "$tests/bench" "$tests/tests/benchmark.exe" "$@"
