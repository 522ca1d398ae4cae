#!/usr/bin/env bash
# The Wine test bench: one private prefix per build folder, one headless X
# server and one persistent wineserver for a whole test run, so that a test
# program starts in well under a second. ~/.wine is never touched.
#
#   wine-bench.sh start BENCH          make the prefix if needed, start X and wine
#   wine-bench.sh stop BENCH           stop both, and every other process of the bench;
#                                      fails, naming them, if any is left
#   wine-bench.sh run BENCH PROG ARGS  run a Windows program on the bench (starts it if needed)
#   wine-bench.sh shell BENCH CMD ...  run a shell command with the bench's environment
#   wine-bench.sh processes BENCH      list the bench's processes (pid and command)
#   wine-bench.sh display BENCH        start the bench's X server alone if needed; print its display
#
# With BENCH_CHECKS_DESKTOP=1 (CTest sets it for the tests that hold the
# desktop), run checks that the program left the bench's virtual desktop up:
# if it ended it, run starts the bench anew and fails, saying so. The test
# programs themselves check the desktop's display modes (tests/bench).
#
# BENCH is the bench folder inside the build folder; CMake writes BENCH/config.sh
# naming the stand-in control and the keeper program. BENCH_DESKTOP sets the
# size of the virtual desktop and of the X screen under it, which bounds the mode list
# (default 1280x1024). BENCH_DISPLAY names an X display to show the virtual
# desktop on instead of a private Xvfb (the prefix stays private).
set -euo pipefail

usage() {
    echo "usage: $0 start|stop|run|shell BENCH [...]" >&2
    exit 2
}
[ $# -ge 2 ] || usage
command=$1
mkdir -p "$2"
bench=$(cd "$2" && pwd)
shift 2
here=$(dirname "$(readlink -f "$0")")

export WINEPREFIX="$bench/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="$bench/home"
mkdir -p "$HOME"

config=$bench/config.sh
# shellcheck source=/dev/null # written by CMake into the build folder
[ -f "$config" ] && . "$config"

# BENCH_ARCH (from config.sh) is win32 for a 32-bit build, win64 for a 64-bit one.
export WINEARCH=${BENCH_ARCH:-win32}
if [ "$WINEARCH" = win64 ]; then
    # Debian's wine command prefers the 32-bit loader whenever it is installed,
    # even where the kernel cannot run it.
    loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
    export WINELOADER=$loader
else
    loader=wine
fi

# How Wine is started on this bench: directly, or through the i386 route where
# the kernel runs no 32-bit code (decided when the bench starts; BENCH/emulator
# names the emulator then).
set_route() {
    route=()
    if [ -s "$bench/emulator" ]; then
        route=("$here/i386-route.sh" emulate "$(cat "$bench/emulator")")
    fi
    wine=("${route[@]}" "$loader")
}
choose_route() {
    if [ "$WINEARCH" = win32 ] && ! "$here/i386-route.sh" native; then
        "$here/i386-route.sh" emulator >"$bench/emulator"
    else
        : >"$bench/emulator"
    fi
    set_route
}
set_route

xvfb_alive() { [ -f "$bench/xvfb.pid" ] && kill -0 "$(cat "$bench/xvfb.pid")" 2>/dev/null; }

start_x() {
    if [ -n "${BENCH_DISPLAY:-}" ]; then
        echo "$BENCH_DISPLAY" >"$bench/display"
        return
    fi
    if xvfb_alive && [ -f "$bench/display" ]; then
        return
    fi
    # Xvfb chooses a free display number itself and writes it once it serves
    # it. Choosing one here by looking for a free socket let two benches
    # starting at once both take the one server; the other's own Xvfb then
    # ended, and when the first bench stopped, its X server went from under
    # the second one's desktop.
    local number=$bench/display-number _
    rm -f "$number"
    Xvfb -displayfd 3 -screen 0 "${BENCH_DESKTOP:-1280x1024}x24" -nolisten tcp </dev/null >/dev/null 2>&1 3>"$number" &
    echo $! >"$bench/xvfb.pid"
    for _ in $(seq 300); do
        if [ -s "$number" ]; then
            echo ":$(cat "$number")" >"$bench/display"
            rm -f "$number"
            return
        fi
        xvfb_alive || break
        sleep 0.1
    done
    echo "wine-bench: could not start Xvfb" >&2
    exit 1
}

make_prefix() {
    [ -f "$WINEPREFIX/.bench-ready" ] && return
    rm -rf "$WINEPREFIX"
    "${wine[@]}" wineboot -i </dev/null >/dev/null 2>&1
    # One virtual desktop for every process: a full mode list and real mode changes.
    "${wine[@]}" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
    "${wine[@]}" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "${BENCH_DESKTOP:-1280x1024}" /f </dev/null >/dev/null 2>&1
    # Wine draws the caption buttons with its Marlett font (package fonts-wine),
    # which this Wine finds only in the prefix's own font folder.
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    # Crash tests must not wait on winedbg's dialog.
    "${wine[@]}" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
    echo "${BENCH_DESKTOP:-1280x1024}" >"$WINEPREFIX/.bench-desktop"
    # The desktop settings apply only to a desktop made after them.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    touch "$WINEPREFIX/.bench-ready"
}

register_standin() {
    [ -n "${STANDIN_DLL:-}" ] && [ -f "$STANDIN_DLL" ] || return 0
    local key='HKCR\CLSID\{D27CDB6E-AE6D-11CF-96B8-444553540000}'
    local path
    path=$("${wine[@]}" winepath -w "$STANDIN_DLL" 2>/dev/null)
    "${wine[@]}" reg add "$key" /ve /d "Stand-in player control (tests only)" /f </dev/null >/dev/null 2>&1
    "${wine[@]}" reg add "$key\\InprocServer32" /ve /d "$path" /f </dev/null >/dev/null 2>&1
    "${wine[@]}" reg add "$key\\InprocServer32" /v ThreadingModel /d Apartment /f </dev/null >/dev/null 2>&1
}

keeper_alive() { [ -f "$bench/keeper.pid" ] && kill -0 "$(cat "$bench/keeper.pid")" 2>/dev/null; }

# Up as start leaves it: its X server, its keeper and the desktop the keeper holds.
bench_up() {
    { [ -n "${BENCH_DISPLAY:-}" ] || xvfb_alive; } && keeper_alive && [ -n "$(desktop_pid)" ]
}

start() {
    choose_route
    if bench_up; then
        return
    fi
    # Up in part (the desktop or its X server ended under the keeper): a new
    # desktop would no longer be held up by the keeper, so all goes.
    if [ -f "$bench/keeper.pid" ]; then
        stop
    fi
    start_x
    export DISPLAY
    DISPLAY=$(cat "$bench/display")
    make_prefix
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # The first Wine process starts Wine's services; started here, they do not
    # inherit a test runner's pipes. The keeper also holds the desktop up.
    setsid "${wine[@]}" "${BENCH_KEEPER:-explorer}" </dev/null >/dev/null 2>&1 &
    echo $! >"$bench/keeper.pid"
    register_standin
    # Web pages go to a stub that only notes the address. Wine's own Internet
    # Explorer would stay running and hold a test runner's pipes.
    "${wine[@]}" reg delete 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\IEXPLORE.EXE' /f \
        </dev/null >/dev/null 2>&1 || true
    "${wine[@]}" reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$here/bench-browser.sh" /f \
        </dev/null >/dev/null 2>&1
    # The keeper's desktop, up before the first program.
    local _
    for _ in $(seq 600); do
        [ -z "$(desktop_pid)" ] || return 0
        sleep 0.1
    done
    echo "wine-bench: no virtual desktop came up" >&2
    return 1
}

# The bench's processes: every process started with this bench's prefix in
# its environment (Xvfb, the wineserver, Wine's processes and the emulators
# under them), never another bench's; this script and its callers left out.
bench_processes() {
    local files callers=" " pid=$BASHPID
    files=(/proc/*/environ)
    while [ "${pid:-0}" -gt 1 ]; do
        callers+="$pid "
        pid=$(awk '/^PPid:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || break
    done
    grep -lzxF -- "WINEPREFIX=$WINEPREFIX" "${files[@]}" 2>/dev/null | while IFS=/ read -r _ _ pid _; do
        if [[ $pid =~ ^[0-9]+$ && $callers != *" $pid "* ]]; then
            echo "$pid"
        fi
    done
}

list_processes() {
    local pid command
    for pid in $(bench_processes); do
        # One that ended meanwhile is gone.
        command=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null) || continue
        echo "$pid $command"
    done
}

# Asks the bench's processes to end, then makes them; waits until they are gone.
end_processes() {
    local signal pids _
    for signal in TERM KILL; do
        for _ in $(seq 50); do
            mapfile -t pids < <(bench_processes)
            [ ${#pids[@]} -gt 0 ] || return 0
            [ "$_" -gt 1 ] || kill -s "$signal" "${pids[@]}" 2>/dev/null || true
            sleep 0.1
        done
    done
}

# The desktop's size as the bench made it.
desktop_size() {
    cat "$WINEPREFIX/.bench-desktop" 2>/dev/null || echo "${BENCH_DESKTOP:-1280x1024}"
}

# Wine's explorer process holds the virtual desktop. Looked for among the
# desktops of every prefix first: this runs around every test.
desktop_pid() {
    local desktops file
    mapfile -t desktops < <(grep -lsa 'explorer\.exe./desktop' /proc/[0-9]*/cmdline)
    [ ${#desktops[@]} -gt 0 ] || return 0
    file=$(grep -lszxF "WINEPREFIX=$WINEPREFIX" "${desktops[@]/%cmdline/environ}" | head -n 1)
    file=${file#/proc/}
    echo "${file%/environ}"
}

stop() {
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
    fi
    if xvfb_alive; then
        kill "$(cat "$bench/xvfb.pid")" 2>/dev/null || true
    fi
    end_processes
    rm -f "$bench/keeper.pid" "$bench/xvfb.pid" "$bench/display"
    local left
    left=$(list_processes)
    if [ -n "$left" ]; then
        echo "wine-bench: processes of $bench still running after stop:" >&2
        echo "$left" >&2
        return 1
    fi
}

# Runs this script's COMMAND while holding the bench lock. flock -o keeps the
# lock out of the programs started meanwhile (Xvfb, the wineserver), which
# outlive the command.
locked() {
    flock -o "$bench/lock" "$0" "$1-unlocked" "$bench"
}

case "$command" in
start) locked start ;;
stop) locked stop ;;
start-unlocked) start ;;
stop-unlocked) stop ;;
processes) list_processes ;;
display)
    flock -o "$bench/lock" "$0" display-unlocked "$bench"
    ;;
display-unlocked)
    start_x
    cat "$bench/display"
    ;;
restart-unlocked)
    stop
    start
    ;;
run)
    [ $# -ge 1 ] || usage
    locked start
    set_route
    DISPLAY=$(cat "$bench/display")
    BENCH_DESKTOP=$(desktop_size)
    export DISPLAY BENCH_DESKTOP
    [ "${BENCH_CHECKS_DESKTOP:-0}" = 1 ] || exec "${wine[@]}" "$@"
    desktop=$(desktop_pid)
    status=0
    "${wine[@]}" "$@" || status=$?
    # Unless the bench was stopped meanwhile (an interrupted run), the same
    # desktop is still up: a new one, which a program gets when it finds none,
    # is not held up by the keeper and comes and goes with each program.
    if [ -f "$bench/keeper.pid" ] && [ "$(desktop_pid)" != "$desktop" ]; then
        echo "wine-bench: the program ended the bench's virtual desktop; the bench is started anew" >&2
        locked restart
        [ $status -ne 0 ] || status=1
    fi
    exit $status
    ;;
shell)
    locked start
    set_route
    DISPLAY=$(cat "$bench/display")
    export DISPLAY
    exec "${route[@]}" "$@"
    ;;
*) usage ;;
esac
