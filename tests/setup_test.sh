#!/usr/bin/env bash
# The set-up goes on past a package source that serves one index at the wrong
# size, as a mirror in the middle of a sync does, says what it did, and names
# a package that no source offers.
#
# It runs against two local file: suites, the release's own and its security
# suite, whose i386 Packages index no longer matches its Release. Apt and dpkg
# keep their state in a temporary root (APT_CONFIG, DPKG_ROOT), and each run
# is in a user and mount namespace of its own where /etc, /usr and /var are
# read-only: nothing here can change the machine, even when run as root.
#   setup_test.sh [SETUP_SCRIPT]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
setup=$(realpath "${1:-$here/../scripts/setup.sh}")

if ! unshare --user --map-root-user --mount true 2>/dev/null; then
    echo "skipped: no user namespaces here, so the set-up cannot run apart from the machine"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/setup-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
repo=$work/repo root=$work/root
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
security=$codename-security

failed=0
fail() {
    echo "$*"
    failed=1
}

# A dummy package with one file of its own, added to SUITE's index.
#   add_package SUITE NAME VERSION ARCH [DEPENDS]
add_package() {
    local suite=$1 name=$2 version=$3 arch=$4 depends=${5:-}
    local tree=$work/tree/$suite-$name-$arch deb=$repo/pool/$suite-$name-$arch.deb
    local index=$repo/dists/$suite/main/binary-$arch
    mkdir -p "$tree/DEBIAN" "$tree/usr/share/setup-test" "$repo/pool" "$index"
    echo "$name $version" >"$tree/usr/share/setup-test/$name-$arch"
    cat >"$tree/DEBIAN/control" <<CONTROL
Package: $name
Version: $version
Architecture: $arch
Multi-Arch: same
Maintainer: Set-up test <setup-test@example.com>
Description: stands in for $name
CONTROL
    [ -z "$depends" ] || echo "Depends: $depends" >>"$tree/DEBIAN/control"
    dpkg-deb --build --root-owner-group -Zgzip "$tree" "$deb" >/dev/null
    {
        dpkg-deb --field "$deb"
        echo "Filename: pool/${deb##*/}"
        echo "Size: $(stat -c %s "$deb")"
        echo "SHA256: $(sha256sum <"$deb" | cut -d ' ' -f 1)"
        echo
    } >>"$index/Packages"
}

# The suite's Release, with the size and hash of each of its indexes.
write_release() {
    local dists=$repo/dists/$1 index
    {
        printf 'Suite: %s\nCodename: %s\nDate: %s\n' "$1" "$1" "$(date -uR)"
        printf 'Architectures: amd64 i386\nComponents: main\nSHA256:\n'
        for index in main/binary-amd64/Packages main/binary-i386/Packages; do
            echo " $(sha256sum <"$dists/$index" | cut -d ' ' -f 1) $(stat -c %s "$dists/$index") $index"
        done
    } >"$dists/Release"
}

# The security suite has newer versions of libwine, a Multi-Arch: same
# package whose amd64 and i386 copies must be of one version. When the
# suite's i386 index fails, apt keeps the suite's earlier lists, fetched
# before the machine had i386 packages: amd64 alone. The newer amd64 versions
# then cannot pair with the release's i386 ones, and only the release's own
# suite (-t) gives both architectures at one version.
for arch in amd64 i386; do
    add_package "$codename" libwine 1 "$arch"
    add_package "$security" libwine 2 "$arch"
done
add_package "$codename" wine32 1 i386 'libwine (= 1)'
add_package "$codename" wine64 1 amd64 'libwine (= 1)'
add_package "$security" wine32 2 i386 'libwine (= 2)'
add_package "$security" wine64 2 amd64 'libwine (= 2)'
write_release "$codename"
write_release "$security"
echo "Description: an index changed after its Release was written" >>"$repo/dists/$security/main/binary-i386/Packages"

# Apt's whole state, its configuration included, under the private root.
mkdir -p "$root/etc/apt/apt.conf.d" "$root/etc/apt/preferences.d" "$root/etc/apt/sources.list.d" \
    "$root/var/lib/apt/lists/partial" "$root/var/cache/apt/archives/partial" "$root/var/log/apt" \
    "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
cat >"$root/etc/apt/sources.list" <<SOURCES
deb [trusted=yes] file:$repo $codename main
deb [trusted=yes] file:$repo $security main
SOURCES
# Downloads run as root: the namespace has no other user to switch to. Dpkg
# keeps its log in the root it installs to.
cat >"$work/apt.conf" <<CONFIG
Dir "$root/";
APT::Sandbox::User "root";
DPkg::Options { "--log=$root/var/log/dpkg.log"; };
CONFIG
export APT_CONFIG=$work/apt.conf DPKG_ROOT=$root

# Installed: every package the set-up wants but wine32 and wine64.
wanted=$(sed -n 's/^packages=(\(.*\))$/\1/p' "$setup")
for package in $wanted; do
    case $package in wine32 | wine64) continue ;; esac
    printf 'Package: %s\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n' "$package"
    printf 'Maintainer: Set-up test <setup-test@example.com>\nDescription: installed\n\n'
    touch "$root/var/lib/dpkg/info/$package.list"
done >"$root/var/lib/dpkg/status"

# The set-up waits 10 s between the two tries of the update, for the mirror;
# the local suite stays bad, so the wait would only slow the test down.
mkdir "$work/bin"
printf '#!/bin/sh\n' >"$work/bin/sleep"
chmod +x "$work/bin/sleep"
export PATH=$work/bin:$PATH

# Runs "$@" as root in a namespace where the machine's configuration,
# programs and state are read-only.
isolated() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --user --map-root-user --mount bash -c '
        set -e
        for dir in /etc /usr /var; do
            mount --bind -o ro "$dir" "$dir"
        done
        exec "$@"' isolated "$@"
}

# Runs the set-up; its exit code in $status, its output in $work/out.
run_setup() {
    status=0
    isolated "$setup" >"$work/out" 2>&1 </dev/null || status=$?
}

says() {
    grep -qF -- "$1" "$work/out" || fail "the set-up did not say \"$1\""
}

# An earlier update, before the machine had i386 packages: the lists of both
# suites for amd64 alone.
if ! isolated apt-get update -q >"$work/out" 2>&1; then
    cat "$work/out"
    echo "the earlier update failed"
    exit 1
fi

run_setup
[ "$status" -eq 0 ] || fail "the set-up failed past the bad index (exit code $status)"
says "setup: installing wine32 wine64"
says "$security/main/binary-i386/Packages  Hash Sum mismatch"
says "setup: the package index update failed; trying it once more"
says "setup: some package indexes could not be updated; going on with the package lists there are"
says "setup: trying again with the versions of $codename itself, as an index was missing"
# The release's own versions, which pair across the architectures, in the
# private root and nowhere else.
installed_from_release='libwine:amd64 1 install ok installed
libwine:i386 1 install ok installed
wine32:i386 1 install ok installed
wine64:amd64 1 install ok installed'
installed=$(dpkg-query -W -f='${Package}:${Architecture} ${Version} ${Status}\n' libwine wine32 wine64 2>&1 | sort || true)
[ "$installed" = "$installed_from_release" ] || fail "installed: $installed"
[ -f "$root/usr/share/setup-test/wine32-i386" ] || fail "wine32's file is not in the private root"
if [ "$failed" -ne 0 ]; then
    cat "$work/out"
    exit 1
fi

# Everything present: nothing to say, nothing done.
cp "$root/var/lib/dpkg/status" "$work/status-before"
run_setup
[ "$status" -eq 0 ] || fail "the set-up failed with everything present (exit code $status)"
[ ! -s "$work/out" ] || fail "the set-up, with everything present, said: $(cat "$work/out")"
cmp -s "$root/var/lib/dpkg/status" "$work/status-before" || fail "the set-up changed the packages with everything present"

# A wanted package that no source offers is named.
awk -v RS= -v ORS='\n\n' '!/^Package: shfmt\n/' "$work/status-before" >"$root/var/lib/dpkg/status"
run_setup
[ "$status" -ne 0 ] || fail "the set-up succeeded without shfmt"
says "setup: no package source offers shfmt; cannot install it"

if [ "$failed" -ne 0 ]; then
    cat "$work/out"
    exit 1
fi
echo "1 passed, 0 failed"
