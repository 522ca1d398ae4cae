#!/usr/bin/env bash
# A README command on the tests' build folder, run to its end or interrupted
# while its program runs on its bench, leaves no process of that bench (Xvfb,
# the wineserver, a Wine process) behind.
#   readme_command_test.sh CASE SOURCE BUILD
# benchmark: scripts/benchmark.sh, interrupted, on the tests' bench, stopped
# first so that the command starts it itself (the next test starts it again).
# demo, demo-interrupted: scripts/run.sh, headless, on the bench of its own
# it makes; run to its end, it passes.
set -euo pipefail
case_name=$1
source=$2
build=$3
bench_script=$source/scripts/wine-bench.sh
log=$build/readme-command-$case_name.log
# The commands put a 64-bit tree in BUILD_DIR/x86_64, as the test command does.
if grep -q "BENCH_ARCH='win64'" "$build/bench/config.sh"; then
    export TEST_ARCH=x86_64 BUILD_DIR=${build%/x86_64}
else
    export TEST_ARCH=i686 BUILD_DIR=$build
fi

case $case_name in
benchmark)
    bench=$build/bench
    program=benchmark.exe
    "$bench_script" stop "$bench"
    "$source/scripts/benchmark.sh" 1 >"$log" 2>&1 &
    ;;
demo | demo-interrupted)
    bench=$build/run-bench
    program=gamehost.exe
    DEMO_HEADLESS=1 DEMO_PNG=$build/$case_name.png \
        DEMO_LOG=$build/$case_name.swf.log "$source/scripts/run.sh" >"$log" 2>&1 &
    ;;
*)
    echo "no such case: $case_name" >&2
    exit 2
    ;;
esac
command=$!

failed=0
if [ "$case_name" = demo ]; then
    if ! wait "$command"; then
        echo "the run command failed:"
        cat "$log"
        failed=1
    fi
else
    until [[ $("$bench_script" processes "$bench") == *"$program"* ]]; do
        if ! kill -0 "$command" 2>/dev/null; then
            echo "the command ended before $program ran on its bench:"
            cat "$log"
            exit 1
        fi
        sleep 0.2
    done
    kill -TERM "$command"
    wait "$command" || true
fi
left=$("$bench_script" processes "$bench")
if [ -n "$left" ]; then
    echo "left running after the command:"
    echo "$left"
    "$bench_script" stop "$bench" || true
    failed=1
fi
[ $failed -ne 0 ] || echo "1 passed, 0 failed"
exit $failed
