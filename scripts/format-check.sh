#!/usr/bin/env bash
# Checks that every C++ source and header of the tree is formatted as the
# root .clang-format says; lists the files that are not and fails.
# `clang-format -i FILE` formats one.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- 'bridge/*' 'host/*' 'display/*' 'desktop/*' 'tests/*' |
    grep -E '\.(cpp|h)$')
failed=()
for file in "${files[@]}"; do
    [ -f "$file" ] || continue
    clang-format --dry-run --Werror --style=file "$file" 2>/dev/null || failed+=("$file")
done
if [ ${#failed[@]} -gt 0 ]; then
    printf 'not formatted: %s\n' "${failed[@]}"
    exit 1
fi
echo "${#files[@]} files formatted"
