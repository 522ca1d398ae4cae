#!/usr/bin/env bash
# Prints where a crash happened, from a dump a player sent and the debug file
# of the program the player ran, whatever the program's file is called.
#   scripts/crash-report.sh DUMP [DEBUG FILE]
# DEBUG FILE is the program's debug file or the release's debug zip that
# holds it (NAME-VERSION-debug.zip, made by scripts/package.sh); it defaults
# to the build's own, build/gamehost.exe.debug (BUILD_DIR for another build
# folder). It must come from the same build as the player's program: the
# report checks the build id and shows no function names from another's.
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
