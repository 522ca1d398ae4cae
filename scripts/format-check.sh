#!/usr/bin/env bash
# Checks the tree's formatting and its shell scripts: every C++ source and
# header as the root .clang-format says (`clang-format -i FILE` mends one),
# every script indented alike (`shfmt -i 4 -w FILE` mends one) and without
# findings of shellcheck. Lists what fails and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tracked() { git ls-files --cached --others --exclude-standard -- "$@"; }

mapfile -t sources < <(tracked 'base/*' 'bridge/*' 'host/*' 'display/*' 'desktop/*' 'tests/*' | grep -E '\.(cpp|h)$')
mapfile -t scripts < <(tracked '*.sh' .ci/run)
failed=()
for file in "${sources[@]}"; do
    [ -f "$file" ] || continue
    clang-format --dry-run --Werror --style=file "$file" 2>/dev/null || failed+=("$file")
done
present=()
for file in "${scripts[@]}"; do
    [ -f "$file" ] && present+=("$file")
done
mapfile -t unformatted < <(shfmt -i 4 -l "${present[@]}")
failed+=("${unformatted[@]}")
if [ ${#failed[@]} -gt 0 ]; then
    printf 'not formatted: %s\n' "${failed[@]}"
fi
shellcheck "${present[@]}" || failed+=(shellcheck)
[ ${#failed[@]} -eq 0 ] || exit 1
echo "${#sources[@]} C++ files formatted; ${#present[@]} scripts formatted and clean under shellcheck"
