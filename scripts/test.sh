#!/usr/bin/env bash
# Fuzzes the codec for about a minute, builds the program and every test,
# then runs all tests under Wine, headless, and checks the formatting.
#
# The tests run the program a player gets: the 32-bit gamehost.exe, the one
# that goes into the zip. Where the kernel runs no 32-bit code, the 32-bit
# Wine loader runs under qemu-i386 (scripts/i386-route.sh); the Windows code
# is the same. TEST_ARCH=x86_64 runs the tests on a 64-bit build of the same
# sources instead, natively and faster, while the checks of the program file
# still look at the 32-bit program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The codec's fuzz targets, natively, about a minute; a finding fails the run.
scripts/fuzz.sh

build=${BUILD_DIR:-build}
arch=${TEST_ARCH:-i686}

configure() {
    cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$2-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release "${@:3}"
    cmake --build "$1" -j"$(nproc)"
}

case "$arch" in
i686)
    configure "$build" i686 -DBUILD_TESTING=ON -DSHIPPED_PROGRAM=
    tests=$build
    ;;
x86_64)
    configure "$build" i686 -DBUILD_TESTING=OFF
    tests=$build/$arch
    configure "$tests" "$arch" -DSHIPPED_PROGRAM="$(pwd)/$build/gamehost.exe"
    ;;
*)
    echo "TEST_ARCH is i686 or x86_64, not $arch" >&2
    exit 2
    ;;
esac

# A process and everything under it, deepest first.
process_tree() {
    local child
    for child in $(ps -o pid= --ppid "$1"); do
        process_tree "$child"
    done
    echo "$1"
}

# Passed, failed or interrupted, nothing of the run stays: CTest, when ended,
# leaves its running test going, which would start its bench again; then
# every bench of the tree stops (the tests' own benches too, should a test
# have been killed before it stopped its own), and stop fails if any of their
# processes is left.
finish() {
    local status=$? bench
    if [ -n "${runner:-}" ] && kill -0 "$runner" 2>/dev/null; then
        # shellcheck disable=SC2046 # one pid a word
        kill $(process_tree "$runner") 2>/dev/null || true
        wait "$runner" 2>/dev/null || true
    fi
    for bench in "$tests"/bench "$tests"/bench-* "$tests"/run-bench; do
        [ -d "$bench" ] || continue
        scripts/wine-bench.sh stop "$bench" || [ "$status" -ne 0 ] || status=1
    done
    exit "$status"
}
trap finish EXIT
scripts/wine-bench.sh start "$tests/bench"
program=$tests/gamehost.exe
route=natively
[ "$arch" = i686 ] && route=$(scripts/i386-route.sh describe)
echo "test: every test runs $program ($(i686-w64-mingw32-objdump -f "$program" | sed -n 's/.*file format //p')) under Wine $route"
# One at a time: the tests share one desktop, whose display mode any of them may change.
ctest --test-dir "$tests" --output-on-failure &
runner=$!
wait "$runner"
runner=
# The tree is formatted as .clang-format says.
scripts/format-check.sh
