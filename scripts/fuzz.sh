#!/usr/bin/env bash
# Builds the codec's fuzz targets natively (clang, libFuzzer, address and
# undefined-behaviour sanitizers) and runs each one for a bounded time.
#
#   scripts/fuzz.sh            about a minute in all, as the test command runs it
#   scripts/fuzz.sh --long     ten minutes per target
#   scripts/fuzz.sh MINUTES    MINUTES per target
#
# (libFuzzer reads a time of 0 as no limit, so MINUTES starts at 1.)
# FUZZ_TARGETS (names separated by blanks) runs only those targets.
#
# Each target starts from its seed corpus in tests/fuzz/corpus/ and keeps what
# it learns in the build folder (FUZZ_BUILD_DIR, default build-fuzz). A finding
# (a broken property, a sanitizer report, a crash or a hang) is saved under
# FUZZ_BUILD_DIR/findings/ and makes the script exit non-zero; copy the input
# into the target's seed folder so it stays a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
case "${1:-}" in
"") ;;
--long) seconds=600 ;;
*[!0-9]* | 0*)
    echo "usage: $0 [--long | MINUTES], MINUTES at least 1" >&2
    exit 2
    ;;
*) seconds=$(($1 * 60)) ;;
esac

scripts/setup.sh
build=${FUZZ_BUILD_DIR:-build-fuzz}
cmake -S tests/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

# Target and the seed folder it starts from.
targets=(
    "request_cutting_fuzz requests"
    "replace_all_fuzz replace_all"
    "reply_builders_fuzz replies"
    "reply_writer_fuzz writer"
    "reply_writer_scalar_fuzz writer"
)

failed=()
for row in "${targets[@]}"; do
    read -r target seeds <<<"$row"
    if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $target "* ]]; then
        continue
    fi
    corpus=$build/corpus/$target
    findings=$build/findings
    mkdir -p "$corpus" "$findings" "$build/logs"
    log=$build/logs/$target.log
    status=0
    # The first folder takes the new inputs; the seeds in the repository stay as they are.
    "$build/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -dict=tests/fuzz/codec.dict -artifact_prefix="$findings/$target-" \
        "$corpus" "tests/fuzz/corpus/$seeds" >"$log" 2>&1 || status=$?
    summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "fuzz: $target ${seconds}s, ${runs:-?} executions; ${summary:-no summary}"
    if [ "$status" -ne 0 ]; then
        echo "fuzz: $target FAILED (exit $status); log $log" >&2
        grep -E 'property broken|ERROR:|runtime error|SUMMARY|Test unit written' "$log" >&2 || true
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: findings in ${failed[*]}" >&2
    exit 1
fi
