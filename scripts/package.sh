#!/usr/bin/env bash
# Builds the studio's release: BUILD_DIR/NAME-VERSION.zip (BUILD_DIR defaults
# to the project's build folder) with the program under its configured name,
# the players' README.txt, the studio's player control when it ships one and
# the game folder's content. The program is signed and verified first when
# the environment names a certificate (the README's Shipping section says
# how). Beside the zip, for the studio alone, NAME-VERSION-debug.zip holds the
# program's debug file. Prints what it packed and how each program file is
# signed; the last line is the zip's path.
#   scripts/package.sh [-DSETTING=VALUE ...]   (passed to CMake's configure step)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

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
    -DGAMEHOST_ICON=?* | -DGAMEHOST_GAME_FOLDER=?* | -DGAMEHOST_PLAYER_SOURCE=?* | \
        -DGAMEHOST_ICON:*=?* | -DGAMEHOST_GAME_FOLDER:*=?* | -DGAMEHOST_PLAYER_SOURCE:*=?*)
        arg="${arg%%=*}=$(realpath -m -- "${arg#*=}")"
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
if [ "${GAMEHOST_SIGN_PLAYER:-}" = 1 ] && [ -z "$sign_with" ]; then
    stop "GAMEHOST_SIGN_PLAYER=1 asks for the player file to be signed, but no certificate is named"
fi
timestamp_urls=()
read -r -a timestamp_urls <<<"${GAMEHOST_TIMESTAMP_URLS:-}"
if [ -n "$sign_with" ] && [ ${#timestamp_urls[@]} -eq 0 ] && [ "${GAMEHOST_SIGN_NO_TIMESTAMP:-}" != 1 ]; then
    stop "no timestamp server: set GAMEHOST_TIMESTAMP_URLS, or GAMEHOST_SIGN_NO_TIMESTAMP=1 to sign without a timestamp"
fi
ca_file=${GAMEHOST_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}

# The password (or the token's PIN) stays in this shell: it reaches the tools
# through a pipe, never as an argument, a file or a setting.
password=""
case ${GAMEHOST_SIGN_PASSWORD_FILE:-} in
"") ;;
-) IFS= read -r password || true ;;
*)
    [ -r "$GAMEHOST_SIGN_PASSWORD_FILE" ] || stop "cannot read GAMEHOST_SIGN_PASSWORD_FILE: $GAMEHOST_SIGN_PASSWORD_FILE"
    IFS= read -r password <"$GAMEHOST_SIGN_PASSWORD_FILE" || true
    ;;
esac
password=${password%$'\r'}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A release left by an earlier run must not pass for this run's.
remove_release() {
    if [ -f "$build/release.txt" ]; then
        local zip_name
        IFS= read -r zip_name <"$build/release.txt" || true
        [ -z "$zip_name" ] || rm -f "$build/$zip_name" "$build/${zip_name%.zip}-debug.zip"
    fi
}
remove_release
# BUILD_TESTING is on by default wherever CTest is included; a release needs no tests.
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${settings[@]}" >"$work/configure.log" ||
    stop "the configure step failed (CMake says why above)"
remove_release
{
    IFS= read -r zip_name
    IFS= read -r program_name
    IFS= read -r player_name
} <"$build/release.txt"

# The signing certificate, checked before anything is built.
leaf=$work/leaf.pem
if [ "$sign_with" = pkcs12 ]; then
    printf '%s\n' "$password" | openssl pkcs12 -in "$GAMEHOST_SIGN_PKCS12" -passin stdin -nokeys -clcerts \
        -out "$leaf" 2>"$work/pkcs12.log" ||
        printf '%s\n' "$password" | openssl pkcs12 -legacy -in "$GAMEHOST_SIGN_PKCS12" -passin stdin \
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

# Signs FILE in place with SHA-256, timestamped by the first server that
# answers, then verifies it against the CA roots; sets `how`.
sign() {
    local file=$1 name=$2 url
    local password_options=()
    [ -z "$password" ] || password_options=(-readpass /dev/stdin)
    printf '%s' "$password" | osslsigncode sign -h sha256 "${key_options[@]}" "${password_options[@]}" \
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

zip=$build/$zip_name
entries=()
while IFS= read -r -d '' entry; do
    entries+=("$entry")
done < <(find "$stage" -mindepth 1 -maxdepth 1 -printf '%P\0')
(cd "$stage" && cmake -E tar cf "$work/release.zip" --format=zip -- "${entries[@]}")
# The program's debug file stays with the studio, beside the zip and never in
# it: scripts/crash-report.sh reads the crash dumps players send with it.
debug_zip=${zip%.zip}-debug.zip
(cd "$build" && cmake -E tar cf "$work/debug.zip" --format=zip gamehost.exe.debug)
mv "$work/debug.zip" "$debug_zip"
mv "$work/release.zip" "$zip"

echo "packed in $zip_name:"
while IFS= read -r file; do
    echo "  $file${signing[$file]:+: ${signing[$file]}}"
done < <(cd "$stage" && find . -type f -printf '%P\n' | LC_ALL=C sort)
echo "beside it, for the studio alone: $(basename "$debug_zip") (the program's debug file, for crash reports)"
echo "$zip"
