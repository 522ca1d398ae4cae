#!/usr/bin/env bash
# Runs a case of the crash upload tests against a report server of its own
# on 127.0.0.1 at PORT, the port the test's program sends its reports to.
#   crash_upload_test.sh SOURCE_DIR BENCH PORT TEST_PROGRAM [GTEST ARGUMENTS...]
set -euo pipefail
source_dir=$1
bench=$2
port=$3
program=$4
shift 4

work=$(mktemp -d)
mkfifo "$work/control-port"
python3 "$source_dir/tests/crash_report_server.py" "$port" "$work/reports" >"$work/control-port" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
# The server's first line, once it listens, is its control port; a busy
# report port ends it with a message instead.
if ! read -r control <"$work/control-port"; then
    echo "crash_upload_test: the report server did not start" >&2
    exit 1
fi
CRASH_REPORT_SERVER_FOLDER=$work/reports CRASH_REPORT_CONTROL_PORT=$control \
    "$source_dir/scripts/wine-bench.sh" run "$bench" "$program" "$@"
