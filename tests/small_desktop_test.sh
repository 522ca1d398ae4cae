#!/usr/bin/env bash
# On a desktop that offers no 1024 x 768 mode the game runs fullscreen at
# 800 x 600. Needs a bench of its own: a virtual desktop's mode list is fixed
# by its size when the prefix is made.
#   small_desktop_test.sh BUILD SOURCE
set -euo pipefail
build=$1
source=$2
bench=$build/bench-small
bench_script=$source/scripts/wine-bench.sh

mkdir -p "$bench"
cp "$build/bench/config.sh" "$bench/config.sh"
export BENCH_DESKTOP=1000x740
trap '"$bench_script" stop "$bench"' EXIT
"$bench_script" start "$bench" </dev/null >/dev/null 2>&1

game=$bench/prefix/drive_c/game
mkdir -p "$game"
cp "$build/gamehost.exe" "$game/"
printf 'probe mode\nprobe window\nfscommand quit\n' >"$game/game.swf"
rm -f "$game/standin.log"

status=0
STANDIN_LOG='C:\game\standin.log' "$bench_script" run "$bench" 'C:\game\gamehost.exe' </dev/null >/dev/null 2>&1 ||
    status=$?

expected='put Menu false
probe mode current=800x600x32 registry=1000x740x32
probe window caption="" style=0x94000000 exstyle=0x00000008 rect=0,0,800,600 topmost=1 visible=1 iconic=0
event FSCommand quit
  call CallFunction <invoke name="windowClose" ></invoke>
close
release'
actual=$(sed -n '/^put Menu false$/,$p' "$game/standin.log")
if [ "$actual" != "$expected" ]; then
    echo "unexpected log:"
    cat "$game/standin.log"
    exit 1
fi
if [ "$status" -ne 1 ]; then
    echo "exit code $status, expected 1"
    exit 1
fi
echo "1 passed, 0 failed"
