#!/usr/bin/env bash
# The report of a crash dump: the program under a studio's name, read with
# the debug zip of its build, shows the frames of the crash and names the
# message loop that called into the player; a debug file of another build is
# refused; a cut or damaged dump gets one line of error.
#   crash_report_test.sh CASE SOURCE BENCH TEST_PROGRAM SAMPLE PROGRAM OTHER_DEBUG_FILE
# CASE: Sample (the crash test that keeps its dump as SAMPLE runs) or one of
# the cases below.
set -euo pipefail
case=$1
source=$2
bench=$3
test_program=$4
sample=$5
program=$6
other_debug_file=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$case" = Sample ]; then
    rm -f "$sample"
    "$source/scripts/wine-bench.sh" run "$bench" "$test_program" \
        --gtest_filter=CrashDump.ACrashOfTheProgramUnderAnyNameLeavesOneDump </dev/null
    exit 0
fi

# Windows' dbghelp copies each module's CodeView record, the build id, into
# the dump's module list; Wine's writes none (a known difference). As Windows
# would, the bench writes to OUT the sample with the record of PROGRAM's file
# on the program's module (the first), or with none when PROGRAM is empty.
#   with_build_id PROGRAM OUT
with_build_id() {
    python3 - "$source/scripts" "$sample" "$1" "$2" <<'EOF'
import struct, sys
sys.path.insert(0, sys.argv[1])
import crash_report as report
data = open(sys.argv[2], "rb").read()
record = report.PeFile(sys.argv[3]).codeview if sys.argv[3] else b""
first = report.Minidump(data).entries(report.MODULE_LIST_STREAM, report.MODULE, "module list")[0]
data = bytearray(data)
struct.pack_into("<II", data, first + report.MODULE_CV_RECORD, len(record), len(data) if record else 0)
open(sys.argv[4], "wb").write(data + record)
EOF
}

fail() {
    echo "$*" >&2
    exit 1
}

case $case in
NamesTheMessageLoopOfAProgramOfAnyName)
    with_build_id "$program" "$work/crash.dmp"
    # The debug zip as scripts/package.sh makes it.
    (cd "$(dirname "$program")" && cmake -E tar cf "$work/My Game-1.0.0-debug.zip" --format=zip \
        "$(basename "$program").debug")
    report=$("$source/scripts/crash-report.sh" "$work/crash.dmp" "$work/My Game-1.0.0-debug.zip")
    printf '%s\n' "$report"
    loop=$(grep 'My Game\.exe+0x[0-9a-f]*  runMessageLoop at host/startup\.cpp:[0-9]' <<<"$report") ||
        fail "the report names no message loop"
    if python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import crash_report as report
sys.exit(not report.PeFile(sys.argv[2]).wide)' "$source/scripts" "$program"; then
        echo "a 64-bit program keeps no chain of frames: its stack is a scan, which may show stale frames"
        exit 77
    fi
    # Found by the chain of frames, not by a scan.
    [[ $loop != *"(scanned)" ]] || fail "the message loop was found by a scan, not on the chain of frames"
    grep -q '  WinMain[@0-9]* at host/main\.cpp:[0-9]' <<<"$report" || fail "the report names no WinMain"
    stale=$(sed '1,/  WinMain[@0-9]* at /d' <<<"$report" | grep ' at [a-z]*/[a-z_]*\.cpp:' || true)
    [ -z "$stale" ] || fail "stale frames below WinMain: $stale"
    ;;
RefusesADebugFileOfAnotherBuild)
    with_build_id "$program" "$work/crash.dmp"
    with_build_id "" "$work/no-build-id.dmp"
    refused() {
        local report
        report=$("$source/scripts/crash-report.sh" "$1" "$2")
        printf '%s\n' "$report"
        grep -q "^Debug file: $(basename "$2") .*: no function names from it$" <<<"$report" ||
            fail "the report of $1 does not refuse $2"
        ! grep ' at [a-z]*/[a-z_]*\.cpp:' <<<"$report" || fail "function names from $2"
    }
    refused "$work/crash.dmp" "$other_debug_file"
    refused "$work/no-build-id.dmp" "$program.debug"
    ;;
ACutOrDamagedDumpGetsOneLineOfError)
    # A cut copy, a module list of 2^32-1 entries, a thread's stack past the
    # end, and a frame chain that loops.
    python3 - "$source/scripts" "$sample" "$work" <<'EOF'
import struct, sys
sys.path.insert(0, sys.argv[1])
import crash_report as report
data = open(sys.argv[2], "rb").read()
dump = report.Minidump(data)
def damaged(name, *patches):
    copy = bytearray(data)
    for offset, layout, value in patches:
        struct.pack_into(layout, copy, offset, value)
    open(sys.argv[3] + "/" + name, "wb").write(copy)
open(sys.argv[3] + "/cut.dmp", "wb").write(data[: len(data) // 2])
modules = dump.streams[report.MODULE_LIST_STREAM][0]
damaged("huge.dmp", (modules, "<I", 0xFFFFFFFF))
threads = dump.streams[report.THREAD_LIST_STREAM][0]
damaged("stack.dmp", (threads + 4 + 36, "<I", len(data) - 2))
# The crash's frame pointer at a frame whose saved frame pointer is itself
# (a 64-bit stack is a scan, no chain).
context = dump.exception()[3]
if not dump.is_64_bit():
    sp = struct.unpack_from("<I", data, context + report.X86_CONTEXT["sp"])[0]
    listed = report.Modules([module[:3] for module in dump.modules()])
    frame = report.Stack(dump, dump.memory(), sp, 4, listed).frame_above(sp)
    start, _, rva = next(block for block in dump.memory() if block[0] <= frame < block[0] + block[1])
    damaged("loop.dmp", (context + report.X86_CONTEXT["fp"], "<I", frame), (rva + frame - start, "<I", frame))
EOF
    for damaged in "$work"/*.dmp; do
        if output=$("$source/scripts/crash-report.sh" "$damaged" "$program.debug" 2>&1); then
            fail "$damaged gets a report: $output"
        fi
        printf '%s: %s\n' "$(basename "$damaged")" "$output"
        [[ $output == "crash report: "* && $output != *$'\n'* ]] || fail "$damaged gets more than one line of error"
    done
    ;;
*)
    fail "no case $case"
    ;;
esac
