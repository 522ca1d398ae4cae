#!/usr/bin/env bash
# Benches that start at the same moment each get an X server of their own, of
# their own size, and stop ends it: none takes another's server, which would
# go from under it when the other stops.
#   bench_display_test.sh WINE_BENCH FOLDER
set -euo pipefail
bench_script=$1
folder=$2
failed=0
fail() {
    echo "$1"
    failed=1
}
benches=(1280x1024 1024x768 1280x1024 1024x768)

for trial in 1 2 3; do
    rm -rf "$folder"
    for i in "${!benches[@]}"; do
        mkdir -p "$folder/$i"
        BENCH_DESKTOP=${benches[i]} "$bench_script" display "$folder/$i" >"$folder/$i.display" &
    done
    wait
    declare -A owner=()
    for i in "${!benches[@]}"; do
        display=$(cat "$folder/$i.display")
        [ -z "${owner[$display]:-}" ] || fail "trial $trial: benches ${owner[$display]} and $i both on $display"
        owner[$display]=$i
        size=$(DISPLAY=$display xdpyinfo 2>/dev/null | awk '/dimensions:/ { print $2 }')
        [ "$size" = "${benches[i]}" ] || fail "trial $trial: bench $i's $display is ${size:-gone}, not ${benches[i]}"
    done
    unset owner
    for i in "${!benches[@]}"; do
        "$bench_script" stop "$folder/$i" || echo "trial $trial: stop left processes of bench $i" >"$folder/$i.left" &
    done
    wait
    ! compgen -G "$folder/*.left" >/dev/null || fail "$(cat "$folder"/*.left)"
    [ $failed -eq 0 ] || break
done
rm -rf "$folder"
[ $failed -eq 0 ] && echo "1 passed, 0 failed"
exit $failed
