#!/usr/bin/env bash
# Clicks through KelvoraUpgrader.exe under Wine, case by case: for each case
# it starts the application and tests/ui's driver (ui_driver.exe) in the same
# Wine session, with COM ports mapped to box emulators on pseudo-terminals.
#
#   run_ui_tests.sh BUILD_DIR LINUX_BUILD_DIR [CASE_PATTERN]
#
# BUILD_DIR holds the Windows build (bin/KelvoraUpgrader.exe, bin/ui_driver.exe),
# LINUX_BUILD_DIR the Linux build of bin/stb-emulator. Prints one line per case
# and a summary line; exits non-zero when a case fails. Saves a screenshot of
# the main dialog during a download as BUILD_DIR/ui-test/dialog.png
# (scripts/dialog-screenshot puts it into the documentation).
set -u

BUILD_DIR=${1:?usage: run_ui_tests.sh BUILD_DIR LINUX_BUILD_DIR}
LINUX_BUILD_DIR=${2:?usage: run_ui_tests.sh BUILD_DIR LINUX_BUILD_DIR}
# Only the cases whose names match this extended regular expression.
CASE_PATTERN=${3:-.}
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
LINUX_BUILD_DIR=$(cd "$LINUX_BUILD_DIR" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)

APP=$BUILD_DIR/bin/KelvoraUpgrader.exe
DRIVER=$BUILD_DIR/bin/ui_driver.exe
EMULATOR=$LINUX_BUILD_DIR/bin/stb-emulator
for f in "$APP" "$DRIVER" "$EMULATOR"; do
    if [ ! -x "$f" ]; then
        echo "run_ui_tests: missing $f" >&2
        exit 2
    fi
done

WORK=$BUILD_DIR/ui-test
rm -rf "$WORK"
mkdir -p "$WORK"

# shellcheck source=wine_env.sh
. "$HERE/wine_env.sh"
wine_env_init "$BUILD_DIR/wine-ui"
wine_desktop_init
# This Wine looks for its own fonts (fonts-wine) beside the system's, not
# where the package puts them; in the prefix's font folder it finds them.
# Without them the dialog's font is a stand-in and the caption buttons show
# letters ("r" for the close button) instead of their symbols.
if [ -d /usr/share/wine/fonts ]; then
    cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
fi

EMULATOR_PIDS=()
SHOOTER=
cleanup() {
    if [ -n "$SHOOTER" ]; then
        kill "$SHOOTER" 2>/dev/null
    fi
    stop_emulators
    wineserver -k 2>/dev/null
    if [ -n "${KELVORA_XVFB_PID:-}" ]; then
        kill "$KELVORA_XVFB_PID" 2>/dev/null
    fi
}
trap cleanup EXIT

# The Windows path of a file: Wine's Z: drive is the Linux root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# ports_map [N=DEVICE ...]: maps exactly these of COM1..COM16. Wine hands
# the machine's own serial devices the COM numbers that have no entry, and a
# COM1..COM9 entry whose device does not exist still opens; so every other
# number is mapped to a directory, which cannot be opened as a port.
# Restarting wineserver makes the mapping count, and brings the virtual
# desktop up for the next program.
ports_map() {
    local reg=$WORK/ports.reg n m device
    mkdir -p "$WORK/no-port"
    {
        printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
        for n in $(seq 1 16); do
            device=$WORK/no-port
            for m in "$@"; do
                if [ "${m%%=*}" = "$n" ]; then device=${m#*=}; fi
            done
            printf '"COM%d"="%s"\n' "$n" "$device"
        done
    } >"$reg"
    wine reg import "$(winpath "$reg")" >/dev/null 2>&1
    rm -f "$WINEPREFIX"/dosdevices/com*
    wineserver -k 2>/dev/null
    wineserver -w
    # Started here, the server writes what it has to say to its own log,
    # not into the log of whichever program would start it.
    wineserver >>"$WORK/wineserver.log" 2>&1
}

# start_emulator NAME OPTION...: starts a box emulator; its pty goes into
# EMULATOR_PTY. Not to be called in a subshell: the process ids are kept
# for stop_emulators. KELVORA_UI_EMULATOR_VERBOSE=1 logs each box's session
# into WORK/NAME.err.
start_emulator() {
    local name=$1
    shift
    "$EMULATOR" ${KELVORA_UI_EMULATOR_VERBOSE:+-v} "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
    EMULATOR_PIDS+=($!)
    EMULATOR_PTY=
    for _ in $(seq 1 100); do
        EMULATOR_PTY=$(head -n 1 "$WORK/$name.out" 2>/dev/null)
        if [ -n "$EMULATOR_PTY" ]; then break; fi
        sleep 0.05
    done
    if [ -z "$EMULATOR_PTY" ]; then
        echo "run_ui_tests: emulator $name did not start" >&2
        exit 2
    fi
}

# Stops the emulators started so far (each by its own process id).
stop_emulators() {
    local pid
    for pid in "${EMULATOR_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    EMULATOR_PIDS=()
}

PASSED=0
FAILED=0
report() { # report NAME SECONDS ERROR...
    local name=$1 seconds=$2
    shift 2
    if [ $# -eq 0 ]; then
        PASSED=$((PASSED + 1))
        printf 'PASS %-10s (%s s)\n' "$name" "$seconds"
    else
        FAILED=$((FAILED + 1))
        printf 'FAIL %-10s (%s s): %s\n' "$name" "$seconds" "$*"
    fi
}

elapsed() { echo "$(( ($(date +%s%N) - $1) / 100000000 ))" | sed 's/.$/.&/;s/^\./0./'; }

# run_case LABEL CASE ARGS...: the application (RUN_APP, else APP) and the
# driver for one case. The driver ends the application in every case; it
# must end with status 0, and every reader thread it started must have ended
# before it did (the diagnostics tell). The application reports its system
# menu into the file KELVORA_UI_TEST_REPORT names.
run_case() {
    local name=$1 start app_pid driver_rc app_rc error= readers_started readers_ended
    shift
    if ! [[ $name =~ $CASE_PATTERN ]]; then return; fi
    start=$(date +%s%N)
    export KELVORA_UI_TEST_REPORT
    KELVORA_UI_TEST_REPORT=$(winpath "$WORK/$name.report")
    wine "${RUN_APP:-$APP}" >"$WORK/$name.app.log" 2>&1 &
    app_pid=$!
    timeout 150 wine "$DRIVER" "$@" >"$WORK/$name.driver.log" 2>&1
    driver_rc=$?
    for _ in $(seq 1 100); do
        if ! kill -0 "$app_pid" 2>/dev/null; then break; fi
        sleep 0.1
    done
    if kill -0 "$app_pid" 2>/dev/null; then
        kill "$app_pid" 2>/dev/null
        error="the application was still running after the driver"
    fi
    wait "$app_pid" 2>/dev/null
    app_rc=$?
    if [ "$driver_rc" -ne 0 ]; then
        error=$(grep -m 1 '^FAIL' "$WORK/$name.driver.log" || echo "driver ended with status $driver_rc")
    elif [ -z "$error" ] && [ "$app_rc" -ne 0 ]; then
        error="the application ended with status $app_rc"
    fi
    readers_started=$(grep -c '^Start SerialThread()' "$WORK/$name.app.log")
    readers_ended=$(grep -c '^Exit Thrd\[' "$WORK/$name.app.log")
    if [ -z "$error" ] && [ "$readers_started" -ne "$readers_ended" ]; then
        error="the application ended with $((readers_started - readers_ended)) reader thread(s) still running"
    fi
    if [ -n "$error" ]; then report "$name" "$(elapsed "$start")" "$error"; else report "$name" "$(elapsed "$start")"; fi
}

# Images: "KVUP" begins a good one (the emulator refuses any other); the
# sizes are not multiples of 1024, so the last block is padded.
{ printf 'KVUP'; head -c 42080 /dev/urandom; } >"$WORK/good.ssu"    # 42 blocks
{ printf 'XXXX'; head -c 3000 /dev/urandom; } >"$WORK/bad.ssu"      # 3 blocks
{ printf 'KVUP'; head -c 400000 /dev/urandom; } >"$WORK/big.ssu"    # 391 blocks
GOOD_LENGTH=43008

# The version resource needs no running application.
start=$(date +%s%N)
if timeout 60 wine "$DRIVER" version "$(winpath "$APP")" >"$WORK/version.driver.log" 2>&1; then
    report version "$(elapsed "$start")"
else
    report version "$(elapsed "$start")" "$(grep -m 1 '^FAIL' "$WORK/version.driver.log" || cat "$WORK/version.driver.log")"
fi

# No port at all; the boxes' caption is the executable's name, also for a
# renamed copy.
ports_map
run_case no-port no-port
cp "$APP" "$WORK/Upgrade.exe"
RUN_APP=$WORK/Upgrade.exe run_case renamed no-port Upgrade

# The port list: COM2 and COM12 mapped, nothing else, so the first free port
# is not COM1, and a port above COM9 (known only as \\.\COM12 to the system)
# is listed by its plain name after COM2. Open and Close on COM2; the keyboard.
start_emulator list-box --sessions 0
LIST_BOX=$EMULATOR_PTY
start_emulator list-silent-box --sessions 0 --no-menu
ports_map "2=$LIST_BOX" "12=$EMULATOR_PTY"
run_case ports ports COM2 COM12
run_case buttons buttons
run_case keys-enter keys enter "$(winpath "$APP")"
run_case keys-esc keys esc "$(winpath "$APP")"
run_case keys-tab keys tab-enter "$(winpath "$APP")"
stop_emulators

# Each download case has a box of its own on COM1 (the download on COM12,
# which the diagnostics name as it is shown), so that one case's end
# cannot leave the next a box in the middle of a session. The boxes run at
# the line's real speed so that a transfer can be watched; "KVUP" begins an
# image that the --expect-prefix box takes.

# The screenshot: the driver writes the dialog's geometry into the request
# file during the transfer and waits until it is gone.
if [[ download =~ $CASE_PATTERN ]]; then
    SHOT_REQUEST=$WORK/shot.request
    (
        while :; do
            if [ -s "$SHOT_REQUEST" ]; then
                import -window root -crop "$(cat "$SHOT_REQUEST")" +repage "$WORK/dialog.png" 2>"$WORK/import.err"
                rm -f "$SHOT_REQUEST"
            fi
            sleep 0.05
        done
    ) &
    SHOOTER=$!
    start_emulator box-download --baud 115200 --sessions 0 --expect-prefix 4B565550 --save "$WORK/received.bin"
    ports_map "12=$EMULATOR_PTY"
    failed_before=$FAILED
    run_case download download "$(winpath "$WORK/good.ssu")" "$GOOD_LENGTH" "$(winpath "$SHOT_REQUEST")"
    stop_emulators
    if grep -Eq '^Serial open .* COM12\.' "$WORK/download.app.log"; then
        report open-line 0.0
    else
        report open-line 0.0 "no \"Serial open ... COM12.\" line: $(grep -m 1 '^Serial open' "$WORK/download.app.log")"
    fi
    kill "$SHOOTER" 2>/dev/null
    wait "$SHOOTER" 2>/dev/null
    # What the box received: the image, then the padding of its last block.
    if [ ! -f "$WORK/received.bin" ]; then
        report received 0.0 "the box saved no image"
    elif [ "$(stat -c %s "$WORK/received.bin")" -ne "$GOOD_LENGTH" ] ||
        ! cmp -s -n "$(stat -c %s "$WORK/good.ssu")" "$WORK/good.ssu" "$WORK/received.bin"; then
        report received 0.0 "the box received $(stat -c %s "$WORK/received.bin") bytes that differ from the image"
    else
        report received 0.0
    fi
    if [ ! -s "$WORK/dialog.png" ]; then
        report screenshot 0.0 "no screenshot taken during the download"
    elif [ "$FAILED" -ne "$failed_before" ]; then
        rm -f "$WORK/dialog.png"
    fi
fi

if [[ refuse =~ $CASE_PATTERN ]]; then
    start_emulator box-refuse --baud 115200 --sessions 0 --expect-prefix 4B565550
    ports_map "1=$EMULATOR_PTY"
    run_case refuse refuse "$(winpath "$WORK/bad.ssu")"
    stop_emulators
fi

if [[ timeout =~ $CASE_PATTERN ]]; then
    start_emulator box-silent --sessions 0 --no-menu
    ports_map "1=$EMULATOR_PTY"
    run_case timeout timeout 0 "$(winpath "$WORK/good.ssu")"
    stop_emulators
fi

if [[ close =~ $CASE_PATTERN ]]; then
    start_emulator box-close -v --baud 115200 --sessions 0
    ports_map "1=$EMULATOR_PTY"
    run_case close close "$(winpath "$WORK/big.ssu")"
    stop_emulators
    # Closing during the transfer ends it with the cancel frame (which the
    # box's log tells from a transfer merely cut off).
    if grep -q 'transfer cancelled by the sender' "$WORK/box-close.err"; then
        report box-told 0.0
    else
        report box-told 0.0 "the box was not sent the cancel frame: $(tail -n 1 "$WORK/box-close.out")"
    fi
fi

if [[ close-chooser =~ $CASE_PATTERN || close-prompt =~ $CASE_PATTERN ]]; then
    start_emulator box-modal --sessions 0
    ports_map "1=$EMULATOR_PTY"
    run_case close-chooser close-modal chooser "$(winpath "$WORK/good.ssu")"
    run_case close-prompt close-modal prompt "$(winpath "$WORK/good.ssu")"
    stop_emulators
fi

echo "ui tests: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
