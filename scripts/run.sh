#!/usr/bin/env bash
# Builds the host and runs it under Wine, in a virtual desktop, with the
# stand-in control playing a demo script as the movie (scripts/demo.swf.txt
# unless a script is given). The virtual desktop shows on your X display when
# DISPLAY names one that answers; otherwise it runs headless on a private Xvfb.
# Saves a screenshot taken when the game first goes windowed and the stand-in's
# protocol log, checks that every command of the script was answered, and
# fails unless the movie's quit ended the host normally (exit code 1).
#
#   scripts/run.sh [SCRIPT]
#
# DEMO_PNG and DEMO_LOG name the screenshot and the log (build/demo.png and
# build/demo.log); DEMO_HEADLESS=1 keeps off your display; DEMO_CROP=1 cuts
# the screenshot to the host window. GAMEHOST_FULLSCREEN=desktop plays it on a
# program built with that studio setting, in a build folder of its own
# (build/fullscreen-desktop).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BUILD_DIR:-build}
script=${1:-scripts/demo.swf.txt}
png=${DEMO_PNG:-$build/demo.png}
log=${DEMO_LOG:-$build/demo.log}
# The 32-bit program a player gets, where the kernel runs it. Elsewhere the
# 64-bit build of the same sources, said plainly: under the emulator the demo's
# pauses would crawl (TEST_ARCH=i686 asks for the 32-bit one all the same).
arch=${TEST_ARCH:-$(scripts/i386-route.sh arch)}
tree=$build
[ "$arch" = i686 ] || tree=$build/$arch
fullscreen=${GAMEHOST_FULLSCREEN:-mode}
[ "$fullscreen" = mode ] || tree=$tree/fullscreen-$fullscreen
if [ "$arch" = i686 ]; then
    echo "running $tree/gamehost.exe, the 32-bit program a player gets, $(scripts/i386-route.sh describe)"
else
    echo "running $tree/gamehost.exe, the 64-bit build of the same sources, not the 32-bit program a player gets"
fi
echo "fullscreen: $fullscreen (GAMEHOST_FULLSCREEN)"
cmake -S . -B "$tree" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DGAMEHOST_FULLSCREEN="$fullscreen" >/dev/null
cmake --build "$tree" -j2 --target gamehost standin bench_keeper >/dev/null

if [ "${DEMO_HEADLESS:-0}" != 1 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    export BENCH_DISPLAY=$DISPLAY
    echo "showing on display $DISPLAY"
else
    unset BENCH_DISPLAY
    echo "headless, on a private Xvfb"
fi

# A bench of its own, with the stand-in registered as on the test bench.
bench=$tree/run-bench
mkdir -p "$bench"
cp "$tree/bench/config.sh" "$bench/config.sh"
# Passed, failed or interrupted, nothing of the bench stays; stop fails if
# any of its processes is left.
# shellcheck disable=SC2317 # the trap calls it
finish() {
    local status=$?
    scripts/wine-bench.sh stop "$bench" || [ "$status" -ne 0 ] || status=1
    exit "$status"
}
trap finish EXIT
scripts/wine-bench.sh start "$bench" </dev/null >/dev/null 2>&1

game=$bench/prefix/drive_c/game
mkdir -p "$game"
cp "$tree/gamehost.exe" "$game/"
cp "$script" "$game/game.swf"
standin_log=$game/standin.log
rm -f "$standin_log" "$png"

STANDIN_LOG='C:\game\standin.log' scripts/wine-bench.sh run "$bench" 'C:\game\gamehost.exe' </dev/null \
    >/dev/null 2>&1 &
host=$!

# The screenshot: once the host window has left the topmost band (windowed)
# and the stand-in has had a moment to paint.
shot() {
    local probe
    probe=$(grep -m1 '^probe window .* topmost=0 ' "$standin_log" 2>/dev/null) || return 1
    sleep 1
    DISPLAY=$(cat "$bench/display") import -window root "$png"
    if [ "${DEMO_CROP:-0}" = 1 ]; then
        local rect left top right bottom
        rect=${probe#* rect=}
        rect=${rect%% *}
        IFS=, read -r left top right bottom <<<"$rect"
        convert "$png" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$png"
    fi
}
while kill -0 "$host" 2>/dev/null; do
    if [ ! -f "$png" ] && shot; then
        echo "screenshot $png"
    fi
    sleep 0.2
done
status=0
wait "$host" || status=$?

cp "$standin_log" "$log"
cat "$log"

# Every flashcall and fscommand step became an event, and every FlashCall
# event got its reply or, for a command without one, "no reply".
failed=0
steps=$(grep -cE '^(flashcall|fscommand) ' "$script" || true)
events=$(grep -cE '^event (FlashCall|FSCommand) ' "$log" || true)
if [ "$steps" -ne "$events" ]; then
    echo "the script has $steps commands, the log $events events"
    failed=1
fi
unanswered=$(awk '
    /^event FlashCall / { if (open) n++; open = 1; next }
    /^  reply / || /^no reply$/ { open = 0 }
    END { if (open) n++; print n + 0 }' "$log")
if [ "$unanswered" -ne 0 ]; then
    echo "$unanswered FlashCall events without an answer"
    failed=1
fi
[ -f "$png" ] || echo "no screenshot: the game never went windowed"
if [ "$status" -ne 1 ]; then
    echo "the host ended with exit code $status, not 1 (the movie's quit)"
    failed=1
fi
[ $failed -eq 0 ] && echo "$events commands, each answered; the host ended with exit code 1; log $log"
exit $failed
