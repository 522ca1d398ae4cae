#!/usr/bin/env bash
# Prints where a crash happened, from a dump a player sent and the debug file
# of the program the player ran.
#   scripts/crash-report.sh DUMP [DEBUG FILE]
# DEBUG FILE defaults to the build's own, build/gamehost.exe.debug
# (BUILD_DIR for another build folder). It must come from the same build as
# the player's program: keep the one the release's zip was made with.
set -euo pipefail
if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 DUMP [DEBUG FILE]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
debug_file=${2:-$root/${BUILD_DIR:-build}/gamehost.exe.debug}
if [[ ! -f $debug_file ]]; then
    echo "$0: no debug file $debug_file" >&2
    exit 2
fi
exec python3 "$root/scripts/crash_report.py" "$1" "$debug_file"
