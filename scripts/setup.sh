#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, only where missing.
# Safe to run again: it does nothing when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix googletest wine wine32 wine64 xvfb xauth x11-utils imagemagick unzip clang clang-format libclang-rt-14-dev shellcheck shfmt fonts-wine)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt_install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
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
    $sudo apt-get update -q
    apt_install "${missing[@]}"
fi

# Where the kernel runs no 32-bit code, the 32-bit Wine loader runs under
# qemu-i386, which must be 8.1 or later: Debian 12 has 7.2, its backports
# have a later one. Only the emulator itself is taken, not the package that
# registers it for the whole machine (qemu-user-binfmt, a recommendation).
if ! scripts/i386-route.sh native && ! scripts/i386-route.sh emulator >/dev/null 2>&1; then
    backports=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)-backports
    if ! grep -rqs -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "setup: adding $backports as a package source" >&2
        $sudo tee "/etc/apt/sources.list.d/$backports.sources" >/dev/null <<SOURCES
Types: deb
URIs: http://deb.debian.org/debian
Suites: $backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi
    echo "setup: installing qemu-user from $backports, for the 32-bit Wine loader" >&2
    $sudo apt-get update -q
    apt_install -t "$backports" qemu-user
    scripts/i386-route.sh emulator >/dev/null
fi
