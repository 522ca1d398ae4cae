#!/usr/bin/env bash
# A test that breaks the bench's desktop fails, saying what it found, and
# alone: the next test finds the desktop as the bench made it, held up by the
# keeper as before (the same explorer process from one program to the next),
# and a test program of the display passes after it.
#   bench_check_test.sh WINE_BENCH BENCH BREAKER FAULT DISPLAY_TEST
set -euo pipefail
bench_script=$1
bench=$2
breaker=$3
fault=$4
display_test=$5
failed=0
fail() {
    echo "$1"
    failed=1
}
desktop() { "$bench_script" processes "$bench" | awk '/explorer\.exe \/desktop/ { print $1 }'; }

case $fault in
ChangesTheModeAndTheRegistryMode)
    expected="this test left the bench's desktop at current=1024x768x16 registry=1024x768x16, not 1280x1024x32 for both; put back"
    ;;
EndsTheVirtualDesktop)
    expected="wine-bench: the program ended the bench's virtual desktop; the bench is started anew"
    ;;
*)
    echo "unknown fault $fault"
    exit 2
    ;;
esac

status=0
output=$(BENCH_CHECKS_DESKTOP=1 "$bench_script" run "$bench" "$breaker" --gtest_filter="BenchBreaker.$fault" \
    </dev/null 2>&1) || status=$?
grep -qF "[       OK ] BenchBreaker.$fault" <<<"$output" || fail "the desktop was not broken: $output"
[ "$status" -ne 0 ] || fail "the test that broke the desktop passed: $output"
grep -qF "$expected" <<<"$output" || fail "expected \"$expected\" in: $output"

# Without the check's repair, as the next test finds it.
before=$(desktop)
after=$(env -u BENCH_CHECKS_DESKTOP "$bench_script" run "$bench" "$breaker" \
    --gtest_filter=BenchDesktop.IsAsTheBenchMadeIt </dev/null 2>&1) || fail "the desktop after it: $after"
if [ -z "$before" ] || [ "$before" != "$(desktop)" ]; then
    fail "the desktop is not held up between programs: explorer ${before:-none} before, $(desktop) after"
fi

display=$(BENCH_CHECKS_DESKTOP=1 "$bench_script" run "$bench" "$display_test" </dev/null 2>&1) ||
    fail "the display's tests after it: $display"

[ $failed -eq 0 ] && echo "1 passed, 0 failed"
exit $failed
