#!/usr/bin/env bash
# Runs a Windows test program on a bench whose desktop is SIZE (WxH): a
# virtual desktop's size and mode list are fixed when its prefix is made, so
# each size has a bench of its own, kept in the build folder.
#   desktop_size_test.sh BUILD SOURCE SIZE PROGRAM [ARGUMENTS...]
set -euo pipefail
build=$1
source=$2
size=$3
shift 3
bench=$build/bench-$size
bench_script=$source/scripts/wine-bench.sh

mkdir -p "$bench"
cp "$build/bench/config.sh" "$bench/config.sh"
export BENCH_DESKTOP=$size
trap '"$bench_script" stop "$bench"' EXIT
"$bench_script" start "$bench" </dev/null >/dev/null 2>&1
"$bench_script" run "$bench" "$@" </dev/null
