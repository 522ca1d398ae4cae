#!/usr/bin/env bash
# The program file imports only the DLLs that Windows always takes from its
# own folder, and is large-address-aware.
#   imports_test.sh OBJDUMP PROGRAM
set -euo pipefail
shopt -s nocasematch
headers=$("$1" -p "$2")
system='^(ADVAPI32|KERNEL32|msvcrt|ole32|OLEAUT32|SHELL32|USER32|GDI32|COMDLG32)\.dll$'
failed=0
while read -r dll; do
    if ! [[ $dll =~ $system ]]; then
        echo "imports $dll, which a DLL of that name beside the program could replace"
        failed=1
    fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
if ! grep -q 'large address aware' <<<"$headers"; then
    echo "not large-address-aware"
    failed=1
fi
[ $failed -eq 0 ] && echo "1 passed, 0 failed"
exit $failed
