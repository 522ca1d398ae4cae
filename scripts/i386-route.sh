#!/usr/bin/env bash
# Runs 32-bit (i386) Linux programs, Debian's 32-bit Wine loader among them
# and with it the 32-bit gamehost.exe that players get, on kernels that run no
# 32-bit code: such programs then go to QEMU's user-mode emulator qemu-i386
# (8.1 or later; 7.2 ignores MAP_FIXED_NOREPLACE and Wine's start-up crawls).
#
#   i386-route.sh native        exit 0 when the kernel runs i386 code itself
#   i386-route.sh emulator      print the path of a usable qemu-i386, or fail
#   i386-route.sh describe      one line saying how i386 programs run here
#   i386-route.sh arch          i686 where the kernel runs i386 code, else x86_64:
#                               the build to use where speed matters
#   i386-route.sh run CMD ...   run CMD so that the i386 programs it starts run
#   i386-route.sh emulate QEMU CMD ...
#                               the same, known to need the emulator QEMU
#
# The redirection is a binfmt_misc rule in a user and mount namespace of CMD's
# own (Linux 6.7 and later give a namespace its own binfmt_misc): nothing else
# on the machine sees it. Only where the kernel gives no such namespace does
# the rule go into the machine's binfmt_misc, and then it says so.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# An i386 program that is there wherever the tests can run: Debian's wine32.
probe=/usr/lib/wine/wine
rule_name=gamehost-i386
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt=/proc/sys/fs/binfmt_misc

usage() {
    echo "usage: $0 native|emulator|describe|run CMD ..." >&2
    exit 2
}

# In a namespace of its own with an empty binfmt_misc, so that an emulator
# registered on the machine does not pass for the kernel. Exit 3: no such
# namespace here.
try_in_clean_namespace() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --user --map-root-user --mount sh -c \
        'mount -t binfmt_misc binfmt_misc "$1" 2>/dev/null || exit 3; exec "$2" --version' \
        sh "$binfmt" "$probe" >/dev/null 2>&1
}

native() {
    local status=0
    try_in_clean_namespace || status=$?
    case $status in
    0) return 0 ;;
    3 | 1) ;;
    *) return 1 ;;
    esac
    # No namespace of its own: only a plain try is left, and our own machine
    # rule, where an earlier run left it, must not count as the kernel.
    [ ! -e "$binfmt/$rule_name" ] && "$probe" --version >/dev/null 2>&1
}

namespace_binfmt() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc "$0"' "$binfmt" 2>/dev/null
}

emulator() {
    local qemu version major minor
    qemu=$(command -v qemu-i386) || {
        echo "i386-route: no qemu-i386 (scripts/setup.sh installs it)" >&2
        return 1
    }
    version=$("$qemu" --version | sed -n '1s/.*version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    read -r major minor <<<"$version"
    if [ -z "$major" ] || [ "$major" -lt 8 ] || { [ "$major" -eq 8 ] && [ "$minor" -lt 1 ]; }; then
        echo "i386-route: $qemu is version ${major:-?}.${minor:-?}; 8.1 or later is needed" >&2
        return 1
    fi
    echo "$qemu"
}

register() {
    printf ':%s:M::%s:%s:%s:F' "$rule_name" "$magic" "$mask" "$1" >"$binfmt/register"
}

describe() {
    if native; then
        echo "natively (the kernel runs 32-bit code)"
        return
    fi
    local qemu
    qemu=$(emulator)
    local where="a binfmt_misc rule in a namespace of the test command's own"
    namespace_binfmt || where="the machine's binfmt_misc rule $rule_name (no namespace binfmt_misc on this kernel)"
    echo "through $("$qemu" --version | head -n1), by $where"
}

run() {
    if native; then
        exec "$@"
    fi
    emulate "$(emulator)" "$@"
}

emulate() {
    local qemu=$1
    shift
    if namespace_binfmt; then
        exec unshare --user --map-root-user --mount "$here/i386-route.sh" inside "$qemu" "$@"
    fi
    if [ ! -e "$binfmt/$rule_name" ]; then
        echo "i386-route: this kernel gives no namespace its own binfmt_misc;" \
            "registering $rule_name in the machine's (remove it with: echo -1 > $binfmt/$rule_name)" >&2
        [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
        register "$qemu"
    fi
    exec "$@"
}

[ $# -ge 1 ] || usage
command=$1
shift
case "$command" in
native) native ;;
emulator) emulator ;;
describe) describe ;;
arch) if native; then echo i686; else echo x86_64; fi ;;
run)
    [ $# -ge 1 ] || usage
    run "$@"
    ;;
emulate)
    [ $# -ge 2 ] || usage
    emulate "$@"
    ;;
inside)
    # Inside the namespace that run made: an empty binfmt_misc of its own.
    qemu=$1
    shift
    mount -t binfmt_misc binfmt_misc "$binfmt"
    register "$qemu"
    exec "$@"
    ;;
*) usage ;;
esac
