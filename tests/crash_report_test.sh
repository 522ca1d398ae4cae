#!/usr/bin/env bash
# The report of a crash dump names the program's own function that was on
# the crashed game thread's stack, read from the program's debug file. The
# crash test that keeps its dump as the sample runs first.
#   crash_report_test.sh SOURCE BENCH TEST_PROGRAM SAMPLE DEBUG_FILE
set -euo pipefail
source=$1
bench=$2
test_program=$3
sample=$4
debug_file=$5

rm -f "$sample"
"$source/scripts/wine-bench.sh" run "$bench" "$test_program" \
    --gtest_filter=CrashDump.AStackOverflowOnTheGamesThreadEndsTheProcess </dev/null
report=$("$source/scripts/crash-report.sh" "$sample" "$debug_file")
printf '%s\n' "$report"
expect() {
    if ! grep -q "$1" <<<"$report"; then
        echo "the report lacks: $1" >&2
        exit 1
    fi
}
# The sample is a stack overflow, or an access violation where the system
# wrote no dump for that. Through the i386 emulator, where the kernel runs no
# 32-bit code, Wine reports the overflow as an illegal instruction.
expect '^Exception: 0xC00000FD EXCEPTION_STACK_OVERFLOW$\|^Exception: 0xC000001D EXCEPTION_ILLEGAL_INSTRUCTION$\|^Exception: 0xC0000005 EXCEPTION_ACCESS_VIOLATION$'
expect '^Thread: [0-9]* (0x[0-9a-f]*)$'
expect '^Address: [^ ]*\.dll+0x[0-9a-f]*$'
expect 'standin\.dll+0x[0-9a-f]*$'
expect 'gamehost\.exe+0x[0-9a-f]*  runMessageLoop at host/startup\.cpp:[0-9]'
