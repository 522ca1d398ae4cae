#!/usr/bin/env bash
# Builds the benchmark program and runs it under Wine on the bench of the
# tests' build folder. Not a test: it prints each figure as a ratio against a
# baseline measured in the same run, with PASS or MISS against its bound, and
# exits non-zero when a figure misses.
#
#   scripts/benchmark.sh [REPETITIONS]     7 when not given
#
# It measures the 32-bit program's code where the kernel runs 32-bit code.
# Elsewhere it measures the 64-bit build (build/x86_64) and says so: under the
# emulator the command's loops are emulated while the baselines' system calls
# are not, so such ratios are not the program's speed. TEST_ARCH=i686 asks for
# the 32-bit build all the same; its memory figure is exact either way.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
arch=${TEST_ARCH:-$(scripts/i386-route.sh arch)}
if [ "$arch" = i686 ]; then
    tests=$build
    if scripts/i386-route.sh native; then
        echo "benchmark of the 32-bit program's code, natively"
    else
        echo "benchmark of the 32-bit program's code $(scripts/i386-route.sh describe):" \
            "the time ratios are the emulator's, not the program's speed; the memory figure holds"
    fi
else
    tests=$build/$arch
    echo "benchmark of the 64-bit build of the same sources, not of the 32-bit program a player gets"
fi
# A folder the test command configured keeps its settings.
if [ ! -f "$tests/CMakeCache.txt" ]; then
    cmake -S . -B "$tests" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$tests" -j2 --target benchmark >/dev/null
# The bench the tests use, so that its display query sees the same desktop.
# Started here, it is stopped here, passed, failed or interrupted; stop fails
# if any of its processes is left.
bench=$tests/bench
if [ -z "$(scripts/wine-bench.sh processes "$bench")" ]; then
    finish() {
        local status=$?
        scripts/wine-bench.sh stop "$bench" || [ "$status" -ne 0 ] || status=1
        exit "$status"
    }
    trap finish EXIT
fi
scripts/wine-bench.sh run "$bench" "$tests/tests/benchmark.exe" "$@"
