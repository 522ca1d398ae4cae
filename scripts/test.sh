#!/usr/bin/env bash
# Fuzzes the codec for about a minute, builds the program and every test,
# then runs all tests under Wine, headless.
#
# The program a player gets is 32-bit. Where the kernel runs 32-bit code, the
# tests run on that build (TEST_ARCH=i686). Many current kernels do not, and
# then 32-bit Wine cannot start at all: by default the tests run on a 64-bit
# build of the same sources (TEST_ARCH=x86_64) in a 64-bit prefix, and the
# checks of the program file itself look at the 32-bit program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The codec's fuzz targets, natively, about a minute; a finding fails the run.
scripts/fuzz.sh

build=${BUILD_DIR:-build}
arch=${TEST_ARCH:-x86_64}

configure() {
    cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$2-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release "${@:3}"
    cmake --build "$1" -j"$(nproc)"
}

if [ "$arch" = i686 ]; then
    configure "$build" i686
    tests=$build
else
    configure "$build" i686 -DBUILD_TESTING=OFF
    tests=$build/$arch
    configure "$tests" "$arch" -DSHIPPED_PROGRAM="$(pwd)/$build/gamehost.exe"
fi

trap 'scripts/wine-bench.sh stop "$tests/bench"' EXIT
scripts/wine-bench.sh start "$tests/bench"
# One at a time: the tests share one desktop, whose display mode any of them may change.
ctest --test-dir "$tests" --output-on-failure
# The tree is formatted as .clang-format says.
scripts/format-check.sh
