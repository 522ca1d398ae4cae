#!/usr/bin/env bash
# The distributable zip holds exactly the program, the players' read-me and,
# when the build was given one, the studio's player control under its
# configured name; the program in it imports only Windows system DLLs and
# carries its manifest and version resource.
#   package_test.sh ZIP PROGRAM README OBJDUMP PROGRAM_FILE_TEST BENCH [PLAYER PLAYER_NAME]
set -euo pipefail
zip=$1 program=$2 readme=$3 objdump=$4 program_file_test=$5 bench=$6 player=${7:-} player_name=${8:-}
here=$(cd "$(dirname "$0")" && pwd)

failed=0
fail() {
    echo "$*"
    failed=1
}

[ -f "$zip" ] || {
    echo "no package $zip"
    exit 1
}
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
expected=$(printf '%s\n' README.txt gamehost.exe ${player:+"$player_name"} | sort | tr '\n' ' ')
[ "$listed" = "$expected" ] || fail "the zip holds: $listed"

unpacked=$(mktemp -d "$(dirname "$zip")/package-test.XXXXXX")
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"
cmp -s "$unpacked/gamehost.exe" "$program" || fail "gamehost.exe in the zip is not the built program"
cmp -s "$unpacked/README.txt" "$readme" || fail "README.txt in the zip is not $readme"
if [ -n "$player" ]; then
    cmp -s "$unpacked/$player_name" "$player" || fail "$player_name in the zip is not $player"
fi

bash "$here/imports_test.sh" "$objdump" "$unpacked/gamehost.exe" >/dev/null || fail "imports of the zipped program"

# The resource checks of the built program, run on the zipped copy.
# shellcheck disable=SC2016 # expanded by the inner shell
checked=$("$here/../scripts/wine-bench.sh" shell "$bench" sh -c \
    'loader=${WINELOADER:-wine}; GAMEHOST_PROGRAM_FILE=$("$loader" winepath -w "$1") "$loader" "$2" --gtest_filter="ProgramFile.Manifest*:ProgramFile.Version*"' \
    sh "$unpacked/gamehost.exe" "$program_file_test" </dev/null 2>&1) || fail "program file checks failed: $checked"
grep -q '\[  PASSED  \] 6 tests' <<<"$checked" || fail "expected 6 program file checks: $checked"

[ $failed -eq 0 ] && echo "1 passed, 0 failed"
exit $failed
