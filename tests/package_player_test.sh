#!/usr/bin/env bash
# A build told where the studio's player control is packs it beside the
# program under the configured name: a tree of the 32-bit program configured
# so, built and packed, then checked as any zip.
#   package_player_test.sh CMAKE CPACK SOURCE TREE PACKAGE_NAME PLAYER OBJDUMP PROGRAM_FILE_TEST BENCH [CMAKE_ARG...]
set -euo pipefail
cmake=$1 cpack=$2 source=$3 tree=$4 package_name=$5 player=$6 objdump=$7 program_file_test=$8 bench=$9
shift 9
player_name=studio-player.ocx

"$cmake" -S "$source" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DGAMEHOST_PLAYER_SOURCE="$player" -DGAMEHOST_PLAYER_FILE="$player_name" "$@" >/dev/null
"$cmake" --build "$tree" --target gamehost -j2 >/dev/null
(cd "$tree" && "$cpack" -G ZIP --config CPackConfig.cmake -B "$tree" >/dev/null)
exec bash "$(dirname "$0")/package_test.sh" "$tree/$package_name.zip" "$tree/gamehost.exe" \
    "$source/docs/player-readme.txt" "$objdump" "$program_file_test" "$bench" "$player" "$player_name"
