#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, only where missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix googletest wine wine32 wine64 xvfb xauth x11-utils imagemagick unzip clang clang-format libclang-rt-14-dev shellcheck shfmt fonts-wine mingw-w64-tools libwine-dev osslsigncode openssl zip softhsm2 libengine-pkcs11-openssl python3)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt_install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

# apt-get update fails when any one index fails, for instance one that a
# mirror in the middle of a sync serves at the wrong size, even when every
# package needed is in the lists it did fetch. So a failed update is tried
# once more and then only reported: whether the packages can be had decides.
# Arguments go to apt-get update (to update one source alone).
partial_update=""
apt_update() {
    $sudo apt-get update -q "$@" && return 0
    echo "setup: the package index update failed; trying it once more" >&2
    sleep 10
    $sudo apt-get update -q "$@" && return 0
    echo "setup: some package indexes could not be updated; going on with the package lists there are" >&2
    partial_update=yes
}

codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)

# Installs the packages. A partial update can leave one architecture's
# index of a suite behind (say the security suite's i386 one): the other
# architecture's newer versions then cannot be paired with the i386 copies
# that wine32 needs, as multiarch packages must match. The release's own
# suite has every architecture at one version, so it is tried next.
install_packages() {
    apt_install "$@" && return 0
    if [ -n "$partial_update" ]; then
        echo "setup: trying again with the versions of $codename itself, as an index was missing" >&2
        apt_install -t "$codename" "$@" && return 0
    fi
    cannot_install "$@"
}

# After a failed install: names the packages among "$@" that no package
# source offers, and fails.
cannot_install() {
    local package unavailable=()
    for package in "$@"; do
        apt-cache show "$package" >/dev/null 2>&1 || unavailable+=("$package")
    done
    if [ ${#unavailable[@]} -gt 0 ]; then
        echo "setup: no package source offers ${unavailable[*]}; cannot install it" >&2
    else
        echo "setup: installing $* failed (apt-get says why above)" >&2
    fi
    exit 1
}

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # wine32 is an i386 package.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    echo "setup: installing ${missing[*]}" >&2
    apt_update
    install_packages "${missing[@]}"
fi

# Where the kernel runs no 32-bit code, the 32-bit Wine loader runs under
# qemu-i386, which must be 8.1 or later: Debian 12 has 7.2, its backports
# have a later one. Only the emulator itself is taken, not the package that
# registers it for the whole machine (qemu-user-binfmt, a recommendation).
if ! scripts/i386-route.sh native && ! scripts/i386-route.sh emulator >/dev/null 2>&1; then
    backports=$codename-backports
    source_file=$(grep -rls -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/ | head -n 1 || true)
    if [ -z "$source_file" ]; then
        source_file=/etc/apt/sources.list.d/$backports.sources
        echo "setup: adding $backports as a package source" >&2
        $sudo tee "$source_file" >/dev/null <<SOURCES
Types: deb
URIs: http://deb.debian.org/debian
Suites: $backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi
    echo "setup: installing qemu-user from $backports, for the 32-bit Wine loader" >&2
    # Only that source's indexes: the others were updated above, or are not needed.
    apt_update -o Dir::Etc::sourcelist="$source_file" -o Dir::Etc::sourceparts=- -o APT::Get::List-Cleanup=0
    apt_install -t "$backports" qemu-user || cannot_install "qemu-user from $backports"
    scripts/i386-route.sh emulator >/dev/null
fi
