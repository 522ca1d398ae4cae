#!/usr/bin/env bash
# Builds the studio's release: BUILD_DIR/NAME-VERSION.zip (BUILD_DIR defaults
# to the project's build folder) with the program under its configured name,
# the players' README.txt, the studio's player control when it ships one and
# the game folder's content. The program is signed and verified first when
# the environment names a certificate (the README's Shipping section says
# how); without one the zip is NAME-VERSION-unsigned.zip. Beside the zip, for
# the studio alone, a zip of that name ending in -debug holds the program's
# debug file. Prints what it packed and how each program file is signed; the
# last line is the zip's path. The same tree and settings give the same
# program, debug file and zips, byte for byte, but for signatures.
#   scripts/package.sh [-DSETTING=VALUE ...]   (passed to CMake's configure step)
if [ -z "${BASH_VERSINFO:-}" ] || [ "${BASH_VERSINFO[0]}" -lt 4 ]; then
    echo "package: needs bash 4 or later, not ${BASH_VERSION:-this shell} (on a Mac: brew install bash, then run it with that bash)" >&2
    exit 1
fi
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

# One clear line, and no release.
stop() {
    echo "package: $*" >&2
    exit 1
}

# Paths in the settings are the caller's, relative to where it stands.
settings=()
for arg in "$@"; do
    case $arg in
    -DGAMEHOST_ICON=[!/]* | -DGAMEHOST_GAME_FOLDER=[!/]* | -DGAMEHOST_PLAYER_SOURCE=[!/]* | \
        -DGAMEHOST_ICON:*=[!/]* | -DGAMEHOST_GAME_FOLDER:*=[!/]* | -DGAMEHOST_PLAYER_SOURCE:*=[!/]*)
        arg="${arg%%=*}=$PWD/${arg#*=}"
        ;;
    esac
    settings+=("$arg")
done

# The signing key: a PKCS#12 file or a PKCS#11 token, never both.
sign_with=""
if [ -n "${GAMEHOST_SIGN_PKCS12:-}" ]; then
    sign_with=pkcs12
    [ -f "$GAMEHOST_SIGN_PKCS12" ] || stop "GAMEHOST_SIGN_PKCS12 is not a file: $GAMEHOST_SIGN_PKCS12"
fi
if [ -n "${GAMEHOST_SIGN_PKCS11_MODULE:-}${GAMEHOST_SIGN_PKCS11_KEY:-}" ]; then
    [ -z "$sign_with" ] || stop "GAMEHOST_SIGN_PKCS12 and GAMEHOST_SIGN_PKCS11_KEY both name a key; set one"
    sign_with=pkcs11
    if [ -z "${GAMEHOST_SIGN_PKCS11_MODULE:-}" ] || [ -z "${GAMEHOST_SIGN_PKCS11_KEY:-}" ] ||
        [ ! -f "${GAMEHOST_SIGN_CERTS:-}" ]; then
        stop "signing from a token needs GAMEHOST_SIGN_PKCS11_MODULE, GAMEHOST_SIGN_PKCS11_KEY and GAMEHOST_SIGN_CERTS (a file)"
    fi
fi
# A studio that set any of these meant to sign: without a key (a misspelt
# name, or sudo dropping it) an unsigned release would pass for its signed one.
if [ -z "$sign_with" ]; then
    seen=()
    for variable in GAMEHOST_SIGN_PASSWORD_FILE GAMEHOST_TIMESTAMP_URLS GAMEHOST_SIGN_NO_TIMESTAMP \
        GAMEHOST_SIGN_CA GAMEHOST_SIGN_CERTS GAMEHOST_SIGN_PLAYER; do
        [ -z "${!variable:-}" ] || seen+=("$variable")
    done
    [ ${#seen[@]} -eq 0 ] || stop "${seen[*]} set, but no signing key: set GAMEHOST_SIGN_PKCS12, or" \
        "GAMEHOST_SIGN_PKCS11_MODULE and GAMEHOST_SIGN_PKCS11_KEY (under sudo, keep them with --preserve-env)"
fi
# A PIN in the key's URI is in every process list while osslsigncode runs.
case ${GAMEHOST_SIGN_PKCS11_KEY:-} in
*pin-value=*) stop "GAMEHOST_SIGN_PKCS11_KEY holds a pin-value: remove it, GAMEHOST_SIGN_PASSWORD_FILE gives the PIN" ;;
esac
timestamp_urls=()
read -r -a timestamp_urls <<<"${GAMEHOST_TIMESTAMP_URLS:-}"
if [ -n "$sign_with" ] && [ ${#timestamp_urls[@]} -eq 0 ] && [ "${GAMEHOST_SIGN_NO_TIMESTAMP:-}" != 1 ]; then
    stop "no timestamp server: set GAMEHOST_TIMESTAMP_URLS, or GAMEHOST_SIGN_NO_TIMESTAMP=1 to sign without a timestamp"
fi
ca_file=${GAMEHOST_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}

# The tools, each missing one named with what installs it, a line each.
missing_tools() {
    local version
    if ! command -v cmake >/dev/null; then
        echo "CMake 3.20 or later (package cmake)"
    else
        version=$(cmake --version | sed -n '1s/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
        if [ "${version%%.*}" -lt 3 ] 2>/dev/null || { [ "${version%%.*}" -eq 3 ] && [ "${version#*.}" -lt 20 ]; }; then
            echo "CMake 3.20 or later, not ${version:-this one} (package cmake)"
        fi
    fi
    if ! command -v i686-w64-mingw32-g++-posix >/dev/null && ! command -v i686-w64-mingw32-g++ >/dev/null; then
        echo "the i686 MinGW-w64 compiler i686-w64-mingw32-g++ (Debian, Ubuntu: g++-mingw-w64-i686;" \
            "Fedora: mingw32-gcc-c++; Arch: mingw-w64-gcc; Homebrew: mingw-w64)"
    fi
    command -v i686-w64-mingw32-windres >/dev/null && command -v i686-w64-mingw32-objcopy >/dev/null ||
        echo "the i686 MinGW-w64 binutils i686-w64-mingw32-windres and -objcopy (Debian, Ubuntu:" \
            "binutils-mingw-w64-i686; Fedora: mingw32-binutils; Arch: mingw-w64-binutils; Homebrew: mingw-w64)"
    command -v zip >/dev/null || echo "zip, Info-ZIP's (package zip)"
    if [ -n "$sign_with" ]; then
        command -v openssl >/dev/null || echo "OpenSSL (package openssl)"
        command -v osslsigncode >/dev/null || echo "osslsigncode (package osslsigncode)"
    fi
}
missing=$(missing_tools)
if [ -n "$missing" ] && command -v apt-get >/dev/null; then
    "$root/scripts/setup.sh"
    missing=$(missing_tools)
fi
[ -z "$missing" ] || stop "missing: $(printf '%s' "$missing" | tr '\n' ';' | sed 's/;/; /g')"

# Every time the build and the zips write is this one: the given
# SOURCE_DATE_EPOCH, else the last commit's, else the first a zip can hold.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=""
fi
case ${SOURCE_DATE_EPOCH:-x} in
*[!0-9]*) SOURCE_DATE_EPOCH=315532800 ;;
esac
export SOURCE_DATE_EPOCH

# The password (or the token's PIN) stays in this shell: it reaches the tools
# through a pipe, never as an argument, a file or a setting. Nothing that
# holds it is traced under bash -x.
{
    trace=${-//[^x]/}
    set +x
} 2>/dev/null
password=""
case ${GAMEHOST_SIGN_PASSWORD_FILE:-} in
"") ;;
-)
    if [ -t 0 ]; then
        # Echo goes off before the prompt: what is typed after it never shows.
        stty -echo
        trap 'stty echo' EXIT
        printf 'package: the password of the signing key: ' >&2
        IFS= read -r password || true
        stty echo
        trap - EXIT
        echo >&2
    else
        IFS= read -r password || true
    fi
    ;;
*)
    [ -r "$GAMEHOST_SIGN_PASSWORD_FILE" ] || stop "cannot read GAMEHOST_SIGN_PASSWORD_FILE: $GAMEHOST_SIGN_PASSWORD_FILE"
    IFS= read -r password <"$GAMEHOST_SIGN_PASSWORD_FILE" || true
    ;;
esac
password=${password%$'\r'}
has_password=${password:+yes}
[ -z "$trace" ] || set -x

# Runs COMMAND with the password on its standard input, as a LINE or BARE;
# traces nothing of it.
feed_password() {
    {
        local trace=${-//[^x]/} status=0
        set +x
    } 2>/dev/null
    local ending=$1
    shift
    if [ "$ending" = line ]; then
        printf '%s\n' "$password" | "$@" || status=$?
    else
        printf '%s' "$password" | "$@" || status=$?
    fi
    [ -z "$trace" ] || set -x
    return $status
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A release left by an earlier run must not pass for this run's.
remove_release() {
    if [ -f "$build/release.txt" ]; then
        local zip_name
        IFS= read -r zip_name <"$build/release.txt" || true
        [ -z "$zip_name" ] || rm -f "$build/$zip_name" "$build/${zip_name%.zip}-debug.zip" \
            "$build/${zip_name%.zip}-unsigned.zip" "$build/${zip_name%.zip}-unsigned-debug.zip"
    fi
}
remove_release
# BUILD_TESTING is on by default wherever CTest is included; a release needs no tests.
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${settings[@]}" >"$work/configure.log" ||
    stop "the configure step failed (CMake says why above)"
remove_release
left_out=()
{
    IFS= read -r zip_name
    IFS= read -r program_name
    IFS= read -r player_name
    IFS= read -r has_game
    while IFS= read -r path; do
        [ -z "$path" ] || left_out+=("$path")
    done
} <"$build/release.txt"
[ -n "$sign_with" ] || zip_name=${zip_name%.zip}-unsigned.zip

# The signing certificate, checked before anything is built.
leaf=$work/leaf.pem
if [ "$sign_with" = pkcs12 ]; then
    feed_password line openssl pkcs12 -in "$GAMEHOST_SIGN_PKCS12" -passin stdin -nokeys -clcerts \
        -out "$leaf" 2>"$work/pkcs12.log" ||
        feed_password line openssl pkcs12 -legacy -in "$GAMEHOST_SIGN_PKCS12" -passin stdin \
            -nokeys -clcerts -out "$leaf" 2>>"$work/pkcs12.log" || {
        grep -q 'invalid password' "$work/pkcs12.log" &&
            stop "wrong password for $GAMEHOST_SIGN_PKCS12 (GAMEHOST_SIGN_PASSWORD_FILE)"
        stop "cannot read $GAMEHOST_SIGN_PKCS12 as a PKCS#12 file"
    }
    key_options=(-pkcs12 "$GAMEHOST_SIGN_PKCS12")
elif [ "$sign_with" = pkcs11 ]; then
    openssl x509 -in "$GAMEHOST_SIGN_CERTS" -out "$leaf" 2>/dev/null ||
        stop "GAMEHOST_SIGN_CERTS holds no PEM certificate: $GAMEHOST_SIGN_CERTS"
    engines=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
    [ -f "$engines/pkcs11.so" ] || stop "OpenSSL's PKCS#11 engine is missing: $engines/pkcs11.so"
    key_options=(-pkcs11engine "$engines/pkcs11.so" -pkcs11module "$GAMEHOST_SIGN_PKCS11_MODULE"
        -key "$GAMEHOST_SIGN_PKCS11_KEY" -certs "$GAMEHOST_SIGN_CERTS")
fi
if [ -n "$sign_with" ]; then
    signer=$(openssl x509 -in "$leaf" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    openssl x509 -in "$leaf" -noout -checkend 0 >/dev/null ||
        stop "the signing certificate ($signer) expired on $(openssl x509 -in "$leaf" -noout -enddate | sed 's/^notAfter=//')"
    openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
        stop "the signing certificate ($signer) is not for code signing: its extended key usage lacks Code Signing"
    openssl x509 -in "$leaf" -noout -text | grep -q 'Public Key Algorithm: rsaEncryption' ||
        stop "the signing certificate ($signer) has no RSA key"
fi

cmake --build "$build" -j2 --target gamehost >"$work/build.log" || {
    cat "$work/build.log" >&2
    stop "the build failed"
}
# The release is put together in the temporary folder: a stop leaves nothing of it.
stage=$work/release
cmake --install "$build" --component player --prefix "$stage" >/dev/null
[ -z "$has_game" ] || [ -f "$stage/game.swf" ] ||
    stop "the release holds no game.swf, though GAMEHOST_GAME_FOLDER names a game folder"

# Signs FILE in place with SHA-256, timestamped by the first server that
# answers, then verifies it against the CA roots; sets `how`.
sign() {
    local file=$1 name=$2 url
    local password_options=()
    [ -z "$has_password" ] || password_options=(-readpass /dev/stdin)
    feed_password bare osslsigncode sign -h sha256 "${key_options[@]}" "${password_options[@]}" \
        -n "${program_name%.*}" -in "$file" -out "$work/signed" >"$work/sign.log" 2>&1 ||
        stop "signing $name failed: $(grep -v '^$' "$work/sign.log" | tail -n 1)"
    how="signed (SHA-256) by $signer, no timestamp (GAMEHOST_SIGN_NO_TIMESTAMP=1)"
    local stamped=""
    if [ ${#timestamp_urls[@]} -gt 0 ]; then
        for url in "${timestamp_urls[@]}"; do
            if osslsigncode add -h sha256 -ts "$url" -in "$work/signed" -out "$work/stamped" >"$work/stamp.log" 2>&1; then
                stamped=$url
                break
            fi
            rm -f "$work/stamped"
            echo "package: no timestamp from $url" >&2
        done
        [ -n "$stamped" ] || stop "no timestamp server answered (${timestamp_urls[*]}); no release"
        mv "$work/stamped" "$work/signed"
        how="signed (SHA-256) by $signer, timestamped by $stamped"
    fi
    local verify=(osslsigncode verify -in "$work/signed" -CAfile "$ca_file")
    [ -z "$stamped" ] || verify+=(-TSA-CAfile "$ca_file")
    if ! "${verify[@]}" >"$work/verify.log" 2>&1; then
        local why
        why=$(grep -E 'Error:|MISMATCH' "$work/verify.log" | tail -n 1 | sed 's/^[[:space:]]*//')
        stop "the signature on $name does not verify against $ca_file: ${why:-osslsigncode verify failed}"
    fi
    cat "$work/signed" >"$file"
    rm -f "$work/signed"
}

# Whether FILE carries an Authenticode signature.
carries_signature() {
    osslsigncode extract-signature -in "$1" -out "$work/signature" >/dev/null 2>&1
}

declare -A signing=()
if [ -n "$sign_with" ]; then
    sign "$stage/$program_name" "$program_name"
    signing[$program_name]=$how
else
    signing[$program_name]="unsigned"
fi
if [ -n "$player_name" ]; then
    if carries_signature "$stage/$player_name"; then
        signing[$player_name]="carries its maker's signature, left as it is"
    elif [ "${GAMEHOST_SIGN_PLAYER:-}" = 1 ]; then
        sign "$stage/$player_name" "$player_name"
        signing[$player_name]=$how
    else
        signing[$player_name]="unsigned (GAMEHOST_SIGN_PLAYER=1 signs it)"
    fi
fi

# Zips FOLDER's content into ZIP: its files and empty folders in a fixed
# order, each at the time of SOURCE_DATE_EPOCH, without the extra fields that
# hold the times of this run.
zip_folder() {
    local folder=$1 zip=$2 path entries=() stamp
    while IFS= read -r path; do
        path=${path#./}
        if [ -f "$folder/$path" ] || { [ "$path" != . ] && [ -z "$(ls -A "$folder/$path")" ]; }; then
            entries+=("$path")
        fi
    done < <(cd "$folder" && find . | LC_ALL=C sort)
    # string(TIMESTAMP) is the one portable way to write that time as a date.
    # shellcheck disable=SC2016 # CMake's own variable
    printf 'string(TIMESTAMP t "%%Y%%m%%d%%H%%M.%%S" UTC)\nmessage("${t}")\n' >"$work/time.cmake"
    stamp=$(cmake -P "$work/time.cmake" 2>&1)
    (
        cd "$folder" && export TZ=UTC
        find . -exec touch -t "$stamp" {} +
        printf '%s\n' "${entries[@]}" | zip -q -X -nw "$zip" -@
    )
}

zip=$build/$zip_name
zip_folder "$stage" "$work/release.zip"
# The program's debug file stays with the studio, beside the zip and never in
# it: scripts/crash-report.sh reads the crash dumps players send with it.
debug_zip=${zip%.zip}-debug.zip
mkdir "$work/debug"
cp "$build/gamehost.exe.debug" "$work/debug/"
zip_folder "$work/debug" "$work/debug.zip"
mv "$work/debug.zip" "$debug_zip"
mv "$work/release.zip" "$zip"

if [ -z "$sign_with" ]; then
    echo "package: warning: $program_name is unsigned: Windows SmartScreen warns players who download it that" \
        "it may harm their PC, and Smart App Control blocks it outright; the README's Shipping section says how" \
        "to sign" >&2
fi
echo "packed in $zip_name:"
while IFS= read -r file; do
    echo "  $file${signing[$file]:+: ${signing[$file]}}"
done < <(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ ${#left_out[@]} -gt 0 ]; then
    echo "left out of the game folder (hidden and system files):"
    printf '  %s\n' "${left_out[@]}"
fi
echo "beside it, for the studio alone: $(basename "$debug_zip") (the program's debug file, for crash reports)"
echo "$zip"
