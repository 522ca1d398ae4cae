#!/usr/bin/env bash
# The studio's release as scripts/package.sh makes it, signed with a test
# chain made here (a root; leaves for code signing, expired, and for servers
# only; a timestamping certificate; another root) and timestamped by a
# responder on 127.0.0.1 made here.
#   release_test.sh CASE SOURCE WORK BENCH PLAYER
# `make` packs the release with a PKCS#12 key into WORK/tree (kept for the
# other cases) with PLAYER as the studio's player file, and keeps what it
# made in WORK/made; `verifies`, `contents`, `names`, `password` and `runs`
# check that release; `token` signs from a software PKCS#11 token in that
# tree, `typed-password` with the password typed on a terminal; the others
# are stops, each giving its message and no release, but `icon-sizes`, the
# warning on an icon without every size Windows shows, and `reproducible`,
# two unsigned releases made alike.
set -euo pipefail
case_name=$1 source=$2 work=$3 bench=$4 player=$5
here=$(cd "$(dirname "$0")" && pwd)
tree=$work/tree made=$work/made
password="pass-$RANDOM-word-$RANDOM"
program="My Game.exe" zip_name="My Game-2.3.1.zip"
product='Studio "Q" \ Games ü'

failed=0
fail() {
    echo "$*"
    failed=1
}
finish() {
    [ $failed -eq 0 ] && echo "1 passed, 0 failed"
    exit $failed
}

# What one case makes, gone when it ends.
mkdir -p "$work"
scratch=$(mktemp -d "$work/$case_name.XXXXXX")
responder=""
trap '[ -z "$responder" ] || kill "$responder" 2>/dev/null; rm -rf "$scratch"' EXIT

# The test chain in $chain, made with the project's own test settings.
make_chain() {
    chain=$scratch/chain
    mkdir "$chain"
    cat >"$chain/openssl.cnf" <<CONFIG
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[codesign]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
[timestamping]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
[ca]
dir = $chain
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[tsa]
default_tsa = responder
[responder]
serial = $chain/tsaserial
signer_cert = $chain/tsa.pem
signer_key = $chain/tsa.key
certs = $chain/root.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
CONFIG
    touch "$chain/index.txt"
    echo 01 >"$chain/serial"
    echo 01 >"$chain/tsaserial"
    for root in root other-root; do
        openssl req -x509 -newkey rsa:2048 -nodes -config "$chain/openssl.cnf" -extensions root -days 3650 \
            -subj "/CN=Test $root" -keyout "$chain/$root.key" -out "$chain/$root.pem" 2>/dev/null
    done
    # NAME EXTENSIONS ROOT [openssl ca options]
    leaf() {
        local name=$1 extensions=$2 root=$3
        shift 3
        openssl req -new -newkey rsa:2048 -nodes -config "$chain/openssl.cnf" -subj "/CN=Test Studio $name" \
            -keyout "$chain/$name.key" -out "$chain/$name.csr" 2>/dev/null
        openssl ca -batch -config "$chain/openssl.cnf" -name ca -extensions "$extensions" \
            -cert "$chain/$root.pem" -keyfile "$chain/$root.key" -in "$chain/$name.csr" -out "$chain/$name.pem" \
            "$@" >/dev/null 2>&1
        printf '%s\n' "$password" | openssl pkcs12 -export -inkey "$chain/$name.key" -in "$chain/$name.pem" \
            -certfile "$chain/$root.pem" -passout stdin -out "$chain/$name.p12"
    }
    leaf signer codesign root -days 365
    leaf expired codesign root -startdate 20200101000000Z -enddate 20200201000000Z
    leaf server server root -days 365
    leaf foreign codesign other-root -days 365
    leaf tsa timestamping root -days 365
}

# Starts the timestamp responder; its address in $timestamp_url. A port
# nothing listens on in $silent_url: a server that does not answer.
start_responder() {
    exec 3< <(exec python3 "$here/timestamp_server.py" "$chain/openssl.cnf")
    responder=$!
    local port
    read -r port <&3 || {
        echo "the timestamp responder did not start"
        exit 1
    }
    timestamp_url=http://127.0.0.1:$port/
    silent_url=http://127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')/
}

# The studio's game folder, a git checkout on Windows, its path a pattern
# to a glob: the movie, a sub-folder, a link inside it.
make_game_folder() {
    game="$scratch/My Game [Final] (v1.2)"
    mkdir -p "$game/levels/one" "$game/.git"
    printf 'fscommand quit\n' >"$game/game.swf"
    echo "level one" >"$game/levels/one/map.txt"
    echo "credits" >"$game/credits.txt"
    ln -s levels/one/map.txt "$game/first-map.txt"
    echo "ref: refs/heads/main" >"$game/.git/HEAD"
    echo "thumbnails" >"$game/levels/Thumbs.db"
}

# Runs the packaging with the key options in the environment; its output in
# $scratch/out, its messages in $scratch/err, its exit code in $status.
package() {
    status=0
    BUILD_DIR=$tree "$source/scripts/package.sh" -DGAMEHOST_PROGRAM_NAME="$program" \
        -DGAMEHOST_GAME_FOLDER="$game" -DGAMEHOST_PLAYER_SOURCE="$player" -DGAMEHOST_VERSION=2.3.1 \
        -DGAMEHOST_PRODUCT="$product" "$@" >"$scratch/out" 2>"$scratch/err" <<<"$password" || status=$?
}

# No signing at all.
unsign() {
    unset GAMEHOST_SIGN_PKCS12 GAMEHOST_SIGN_PASSWORD_FILE GAMEHOST_SIGN_CA GAMEHOST_TIMESTAMP_URLS
}

# A PATH of links to the commands of this one but apt's, dpkg's and those named.
path_without() {
    local farm=$scratch/path dirs dir command name
    mkdir "$farm"
    IFS=: read -r -a dirs <<<"$PATH"
    for dir in "${dirs[@]}"; do
        for command in "$dir"/*; do
            name=${command##*/}
            case " apt apt-get dpkg dpkg-query $* " in *" $name "*) continue ;; esac
            [ -e "$farm/$name" ] || [ ! -x "$command" ] || ln -s "$command" "$farm/$name"
        done
    done
    echo "$farm"
}

# Signed with the PKCS#12 leaf SIGNER; the password on standard input.
sign_as() {
    export GAMEHOST_SIGN_PKCS12=$chain/$1.p12 GAMEHOST_SIGN_PASSWORD_FILE=- GAMEHOST_SIGN_CA=$chain/root.pem
    export GAMEHOST_TIMESTAMP_URLS="$silent_url $timestamp_url"
}

# Processes other than this one whose command line, environment or working
# folder names the build folder: what the packaging left running.
left_running() {
    local proc text
    for proc in /proc/[0-9]*; do
        [ "${proc#/proc/}" != $$ ] || continue
        text=$({ tr '\0' '\n' <"$proc/cmdline" && tr '\0' '\n' <"$proc/environ" && readlink "$proc/cwd"; } 2>/dev/null) || continue
        [[ $text != *"$tree"* ]] || echo "${proc#/proc/} ${text%%$'\n'*}"
    done
}

# Whether the packaging's messages hold TEXT; CMake wraps its lines.
said() {
    tr -s ' \n' '  ' <"$scratch/err" | grep -qF -- "$1"
}

# A stop: its own message (or one beginning so) as the last line, and no release.
expect_stop() {
    local message=$1
    [ "$status" -ne 0 ] || fail "the packaging did not stop"
    local last
    last=$(tail -n 1 "$scratch/err")
    [[ $last == "$message"* ]] || fail "the last line was \"$last\", not \"$message\""
    [ ! -e "$tree/$zip_name" ] || fail "a release was left: $tree/$zip_name"
    [ ! -e "$tree/${zip_name%.zip}-unsigned.zip" ] || fail "an unsigned release was left"
    [ "$failed" -eq 0 ] || cat "$scratch/err"
    finish
}

# The release made by `make`.
unpacked=$made/unpacked
release_program=$unpacked/$program
case $case_name in
verifies | contents | names | password | runs)
    [ -d "$unpacked" ] || {
        echo "no release was made (release.Make failed)"
        exit 1
    }
    ;;
esac

# Verifies FILE's signature against the test root, its timestamp included.
verify() {
    osslsigncode verify -in "$1" -CAfile "$made/root.pem" -TSA-CAfile "$made/root.pem" >"$scratch/verify.log" 2>&1
}

case $case_name in
make)
    rm -rf "$made"
    rm -f "$tree/$zip_name"
    make_chain
    start_responder
    make_game_folder
    sign_as signer
    package
    cat "$scratch/err" "$scratch/out"
    [ "$status" -eq 0 ] || exit 1
    left=$(left_running)
    [ -z "$left" ] || fail "left running after the packaging: $left"
    mkdir "$made"
    cp "$chain/root.pem" "$scratch/out" "$scratch/err" "$tree/$zip_name" "$made/"
    cp "$tree/${zip_name%.zip}-debug.zip" "$made/" || fail "no debug zip beside the release"
    echo "$password" >"$made/password"
    echo "$timestamp_url" >"$made/timestamp_url"
    unzip -q "$made/$zip_name" -d "$unpacked"
    [ "$(tail -n 1 "$made/out")" = "$tree/$zip_name" ] || fail "the last line is not the zip's path"
    ;;
verifies)
    verify "$release_program" || fail "the released program does not verify: $(cat "$scratch/verify.log")"
    grep -q "Timestamp Server Signature verification: ok" "$scratch/verify.log" ||
        fail "its timestamp was not verified: $(cat "$scratch/verify.log")"
    changed=$scratch/changed.exe
    cp "$release_program" "$changed"
    # One byte of the program's code, well inside the signed part.
    offset=4200
    byte=$(od -An -tx1 -j $offset -N 1 "$changed" | tr -d ' ')
    printf '%b' "\\x$(printf '%02x' $((0x$byte ^ 1)))" | dd of="$changed" bs=1 seek=$offset conv=notrunc status=none
    ! verify "$changed" || fail "a program with one byte changed still verifies"
    ;;
contents)
    listed=$(unzip -Z1 "$made/$zip_name" | grep -v '/$' | LC_ALL=C sort | tr '\n' '|')
    expected=$(printf '%s\n' "$program" README.txt player.ocx game.swf credits.txt first-map.txt \
        levels/one/map.txt | LC_ALL=C sort | tr '\n' '|')
    [ "$listed" = "$expected" ] || fail "the release holds $listed, not $expected"
    # The debug file goes beside the release, for the studio alone.
    debug=$(unzip -Z1 "$made/${zip_name%.zip}-debug.zip" | tr '\n' '|')
    [ "$debug" = "gamehost.exe.debug|" ] || fail "the debug zip holds $debug, not gamehost.exe.debug"
    cmp -s "$unpacked/player.ocx" "$player" || fail "the player file was changed"
    cmp -s "$unpacked/first-map.txt" "$unpacked/levels/one/map.txt" || fail "the link was not packed as its file"
    # The read-me names the program as the release does.
    grep -qF "Double-click $program" "$unpacked/README.txt" || fail "the read-me does not name $program"
    ! grep -qF gamehost.exe "$unpacked/README.txt" || fail "the read-me names gamehost.exe"
    grep -qxF "  $program: signed (SHA-256) by CN=Test Studio signer, timestamped by $(cat "$made/timestamp_url")" \
        "$made/out" || fail "the output does not say how the program is signed"
    grep -qxF "  player.ocx: unsigned (GAMEHOST_SIGN_PLAYER=1 signs it)" "$made/out" ||
        fail "the output does not say the player file is unsigned"
    grep -qxF "  levels/one/map.txt" "$made/out" || fail "the output does not list the game's files"
    grep -A2 -xF "left out of the game folder (hidden and system files):" "$made/out" | tr '\n' '|' |
        grep -qxF "left out of the game folder (hidden and system files):|  .git|  levels/Thumbs.db|" ||
        fail "the output does not list what was left out"
    [ "$failed" -eq 0 ] || cat "$made/out"
    ;;
names)
    # The version resource as the resource compiler reads it back.
    i686-w64-mingw32-windres -i "$release_program" -O rc >"$scratch/resource.rc"
    for line in "FILEVERSION 2, 3, 1, 0" "PRODUCTVERSION 2, 3, 1, 0" 'VALUE "FileVersion", "2.3.1"' \
        'VALUE "ProductVersion", "2.3.1"' 'VALUE "ProductName", L"Studio ""Q"" \\ Games \374"'; do
        grep -qF -- "$line" "$scratch/resource.rc" || fail "the version resource lacks $line"
    done
    [ "$failed" -eq 0 ] || sed -n '/VERSIONINFO/,/^END/p' "$scratch/resource.rc"
    ;;
password)
    secret=$(cat "$made/password")
    ! grep -qF -- "$secret" "$made/out" "$made/err" || fail "the password is in the output"
    ! grep -qF -- "$secret" "$tree/CMakeCache.txt" || fail "the password is in the CMake cache"
    ! grep -rqF -- "$secret" "$unpacked" "$made/$zip_name" || fail "the password is in the release"
    ! grep -rqF -- "$secret" "$tree" || fail "the password is in the build folder"
    ;;
runs)
    # The released game, as a player starts it: the movie quits at once.
    log=$scratch/standin.log
    rm -f "$log"
    status=0
    # shellcheck disable=SC2016 # expanded by the inner shell
    "$source/scripts/wine-bench.sh" shell "$bench" sh -c \
        'cd "$1" && loader=${WINELOADER:-wine}; STANDIN_LOG=$("$loader" winepath -w "$2") "$loader" "./$3"' \
        sh "$unpacked" "$log" "$program" </dev/null >"$scratch/wine.log" 2>&1 || status=$?
    [ "$status" -eq 1 ] || fail "the program ended with $status, not 1 (after a game)"
    if ! grep -qF 'put Movie ' "$log" || ! grep -qxF 'event FSCommand quit' "$log"; then
        fail "the game did not run: $(cat "$log" "$scratch/wine.log" 2>&1)"
    fi
    ;;
*)
    make_chain
    start_responder
    make_game_folder
    sign_as signer
    # Settings stay in a tree's cache: a stop before the build runs in a
    # tree of its own, leaving the release's tree as the release made it.
    case $case_name in
    not-verified | no-timestamp | token | signed-player | typed-password) ;;
    *)
        tree=$scratch/tree
        ;;
    esac
    case $case_name in
    token)
        # The signing key on a software token (SoftHSM), its PIN in a file.
        export SOFTHSM2_CONF=$scratch/softhsm2.conf
        mkdir "$scratch/tokens"
        echo "directories.tokendir = $scratch/tokens" >"$SOFTHSM2_CONF"
        echo "$password" >"$scratch/pin"
        softhsm2-util --init-token --free --label studio --pin "$password" --so-pin "so-$password" >/dev/null
        openssl pkcs8 -topk8 -nocrypt -in "$chain/signer.key" -out "$scratch/signer.pk8"
        softhsm2-util --import "$scratch/signer.pk8" --token studio --label signer --id 01 --pin "$password" >/dev/null
        cat "$chain/signer.pem" "$chain/root.pem" >"$scratch/certs.pem"
        unset GAMEHOST_SIGN_PKCS12
        export GAMEHOST_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so GAMEHOST_SIGN_CERTS=$scratch/certs.pem
        export GAMEHOST_SIGN_PKCS11_KEY="pkcs11:token=studio;object=signer;type=private"
        export GAMEHOST_SIGN_PASSWORD_FILE=$scratch/pin
        package
        [ "$status" -eq 0 ] || fail "signing from the token failed: $(cat "$scratch/err")"
        grep -qxF "  $program: signed (SHA-256) by CN=Test Studio signer, timestamped by $timestamp_url" \
            "$scratch/out" || fail "the output does not say how the program is signed: $(cat "$scratch/out")"
        unzip -q "$tree/$zip_name" "$program" -d "$scratch/unpacked"
        osslsigncode verify -in "$scratch/unpacked/$program" -CAfile "$chain/root.pem" \
            -TSA-CAfile "$chain/root.pem" >"$scratch/verify.log" 2>&1 ||
            fail "the program signed from the token does not verify: $(cat "$scratch/verify.log")"
        ! grep -rqF -- "$password" "$scratch/out" "$scratch/err" "$tree/CMakeCache.txt" "$scratch/unpacked" ||
            fail "the PIN appears in the output, the cache or the release"
        ;;
    signed-player)
        # A player file its maker signed is packed as it is, even when asked
        # to sign the player.
        osslsigncode sign -h sha256 -pkcs12 "$chain/foreign.p12" -readpass /dev/stdin -in "$player" \
            -out "$scratch/player.ocx" <<<"$password" >/dev/null
        export GAMEHOST_SIGN_PLAYER=1
        package -DGAMEHOST_PLAYER_SOURCE="$scratch/player.ocx"
        [ "$status" -eq 0 ] || fail "the packaging failed: $(cat "$scratch/err")"
        grep -qxF "  player.ocx: carries its maker's signature, left as it is" "$scratch/out" ||
            fail "the output does not say the player file is left as it is: $(cat "$scratch/out")"
        unzip -q "$tree/$zip_name" player.ocx -d "$scratch/unpacked"
        cmp -s "$scratch/unpacked/player.ocx" "$scratch/player.ocx" || fail "the signed player file was changed"
        ;;
    typed-password)
        # Typed on a terminal, under bash -x: typing waits for the prompt,
        # as echo is off only from then on.
        command=$(printf '%q ' env BUILD_DIR="$tree" bash -x "$source/scripts/package.sh" \
            -DGAMEHOST_PROGRAM_NAME="$program" -DGAMEHOST_GAME_FOLDER="$game" -DGAMEHOST_PLAYER_SOURCE="$player")
        mkfifo "$scratch/keys" "$scratch/screen"
        script -q -e -c "$command" /dev/null <"$scratch/keys" >"$scratch/screen" 2>&1 &
        terminal=$!
        exec 4>"$scratch/keys" 5<"$scratch/screen"
        seen=""
        while [[ $seen != *"the password of the signing key: " ]]; do
            IFS= read -r -d ':' -t 120 chunk <&5 || {
                fail "no prompt for the password: $seen$chunk"
                break
            }
            seen+="$chunk:"
            IFS= read -r -n 1 -t 120 chunk <&5 && seen+=$chunk
        done
        printf '%s\n' "$password" >&4
        cat <&5 >"$scratch/out"
        exec 4>&- 5<&-
        status=0
        wait "$terminal" || status=$?
        [ "$status" -eq 0 ] || fail "the packaging failed: $seen$(cat "$scratch/out")"
        ! grep -qF -- "$password" - "$scratch/out" <<<"$seen" || fail "the typed password was shown or traced"
        ;;
    key-missing)
        unset GAMEHOST_SIGN_PKCS12
        package
        expect_stop "package: GAMEHOST_SIGN_PASSWORD_FILE GAMEHOST_TIMESTAMP_URLS GAMEHOST_SIGN_CA set, but no signing key"
        ;;
    tool-missing)
        PATH=$(path_without osslsigncode) package
        expect_stop "package: missing: osslsigncode (package osslsigncode)"
        ;;
    bad-version)
        package -DGAMEHOST_VERSION=2.x
        said "GAMEHOST_VERSION must be MAJOR.MINOR.PATCH or four such numbers, each 0 to 65535: '2.x'" ||
            fail "no message on the version"
        expect_stop "package: the configure step failed (CMake says why above)"
        ;;
    reproducible)
        # Unsigned, in two build folders, one without apt or dpkg.
        unsign
        trees=("$scratch/one" "$scratch/two")
        tree=${trees[0]}
        PATH=$(path_without) package
        [ "$status" -eq 0 ] || fail "the packaging failed without apt-get and dpkg: $(cat "$scratch/err")"
        tree=${trees[1]}
        package
        [ "$status" -eq 0 ] || fail "the second packaging failed: $(cat "$scratch/err")"
        unsigned=${zip_name%.zip}-unsigned
        for file in gamehost.exe gamehost.exe.debug "$unsigned.zip" "$unsigned-debug.zip"; do
            cmp -- "${trees[@]/%//$file}" || fail "$file differs between the two packagings"
        done
        said "$program is unsigned: Windows SmartScreen warns players" || fail "no warning of the unsigned release"
        [ "$(tail -n 1 "$scratch/out")" = "$tree/$unsigned.zip" ] || fail "the zip is not $unsigned.zip"
        ;;
    wrong-password)
        password=not-$password
        package
        expect_stop "package: wrong password for $GAMEHOST_SIGN_PKCS12 (GAMEHOST_SIGN_PASSWORD_FILE)"
        ;;
    expired)
        sign_as expired
        package
        expect_stop "package: the signing certificate (CN=Test Studio expired) expired on Feb  1 00:00:00 2020 GMT"
        ;;
    not-code-signing)
        sign_as server
        package
        expect_stop "package: the signing certificate (CN=Test Studio server) is not for code signing: its extended key usage lacks Code Signing"
        ;;
    not-verified)
        sign_as foreign
        package
        expect_stop "package: the signature on $program does not verify against $chain/root.pem: Error: Certificate not found"
        ;;
    no-timestamp)
        export GAMEHOST_TIMESTAMP_URLS=$silent_url
        package
        expect_stop "package: no timestamp server answered ($silent_url); no release"
        ;;
    not-an-icon)
        unsign
        echo "not an icon" >"$scratch/icon.ico"
        package -DGAMEHOST_ICON="$scratch/icon.ico"
        said "GAMEHOST_ICON is not an icon (.ico) file: '$scratch/icon.ico'" || fail "no message on the icon"
        expect_stop "package: the configure step failed (CMake says why above)"
        ;;
    no-game)
        rm "$game/game.swf"
        package
        said "GAMEHOST_GAME_FOLDER holds no game.swf" || fail "no message on the game folder"
        expect_stop "package: the configure step failed (CMake says why above)"
        ;;
    link-outside)
        ln -s "$chain/signer.key" "$game/levels/key.txt"
        package
        said "GAMEHOST_GAME_FOLDER: 'levels/key.txt' is a link leading outside the game folder" ||
            fail "no message on the link"
        expect_stop "package: the configure step failed (CMake says why above)"
        ;;
    icon-sizes)
        # Not a stop: the configure step names the sizes the icon lacks.
        convert -size 32x32 xc:red -define icon:auto-resize=16,32 "$scratch/icon.ico"
        cmake -S "$source" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-i686-w64-mingw32.cmake" \
            -DBUILD_TESTING=OFF -DGAMEHOST_ICON="$scratch/icon.ico" >"$scratch/out" 2>"$scratch/err" ||
            fail "the configure step failed: $(cat "$scratch/err")"
        said "GAMEHOST_ICON '$scratch/icon.ico' has no image of 48, 256 pixels" ||
            fail "no warning names the missing sizes: $(cat "$scratch/err")"
        ;;
    *)
        echo "no case $case_name"
        exit 2
        ;;
    esac
    ;;
esac
finish
