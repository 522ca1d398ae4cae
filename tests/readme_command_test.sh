#!/usr/bin/env bash
# The benchmark command, interrupted while its program runs, leaves no process
# of the bench it started (Xvfb, the wineserver, a Wine process) behind.
# Stops the tests' bench first so that the command starts it itself; the next
# test starts it again.
#   readme_command_test.sh SOURCE BUILD
set -euo pipefail
source=$1
build=$2
bench_script=$source/scripts/wine-bench.sh
bench=$build/bench
log=$build/readme-command-test.log

"$bench_script" stop "$bench"
BUILD_DIR=$build TEST_ARCH=i686 "$source/scripts/benchmark.sh" 1 >"$log" 2>&1 &
command=$!
until [[ $("$bench_script" processes "$bench") == *benchmark.exe* ]]; do
    if ! kill -0 "$command" 2>/dev/null; then
        echo "the benchmark ended before its program ran on the bench:"
        cat "$log"
        exit 1
    fi
    sleep 0.2
done
kill -TERM "$command"
wait "$command" || true
left=$("$bench_script" processes "$bench")
if [ -n "$left" ]; then
    echo "left running after the interrupted benchmark:"
    echo "$left"
    "$bench_script" stop "$bench" || true
    exit 1
fi
echo "1 passed, 0 failed"
