#!/usr/bin/env bash
# Runs the Windows serial suite under Wine with COM1 mapped to a pseudo-terminal
# whose far end is tests/wine/pty_peer.py.
#
#   tests/wine/run_serial_tests.sh BUILD_DIR
#
# BUILD_DIR is a Windows build (bin/serial_win32_tests.exe). The Wine prefix,
# the peers' control folders and the logs live under BUILD_DIR/wine-serial.
# Prints one summary line; exits non-zero when a test failed or did not run.
# The hang-up case closes its line for good, so it runs on a line of its own.
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
here=$(cd "$(dirname "$0")" && pwd)
exe="$build/bin/serial_win32_tests.exe"
work="$build/wine-serial"
if [ ! -f "$exe" ]; then
    echo "serial_win32: no $exe (build the windows preset first)" >&2
    exit 2
fi

# shellcheck source=wine_env.sh
source "$here/wine_env.sh"
mkdir -p "$work"
wine_env_init "$work/prefix"

peer_pid=""
stop_peer() {
    if [ -n "$peer_pid" ]; then
        touch "$peer_dir/stop"
        printf '0 quit\n' > "$peer_dir/cmd" 2>/dev/null
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$peer_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$peer_pid" 2>/dev/null
        wait "$peer_pid" 2>/dev/null
        peer_pid=""
    fi
}
finish() {
    stop_peer
    wineserver -k >/dev/null 2>&1
}
trap finish EXIT

passed=0
failed=0
skipped=0
broken=""

# run_part NAME GTEST_FILTER: a fresh line and peer, then the filtered tests.
run_part() {
    local name=$1 filter=$2
    peer_dir="$work/$name"
    rm -rf "$peer_dir"
    mkdir -p "$peer_dir"
    python3 "$here/pty_peer.py" "$peer_dir" >"$work/$name.peer.log" 2>&1 &
    peer_pid=$!
    for _ in $(seq 50); do
        [ -s "$peer_dir/pty" ] && break
        sleep 0.1
    done
    if [ ! -s "$peer_dir/pty" ]; then
        broken="$broken $name(no pty)"
        stop_peer
        return
    fi
    # Only COM1 may answer: a stale COM9 would turn the missing-port case.
    rm -f "$WINEPREFIX/dosdevices/com9"
    wine_map_com 1 "$(cat "$peer_dir/pty")" >/dev/null 2>&1

    local xml="$work/$name.xml"
    rm -f "$xml"
    KELVORA_PEER_DIR="Z:$peer_dir" timeout 600 wine "$exe" --gtest_filter="$filter" \
        --gtest_output="xml:Z:$xml" >"$work/$name.log" 2>"$work/$name.wine.log"
    local rc=$?
    stop_peer

    if [ ! -s "$xml" ]; then
        broken="$broken $name(exit $rc, no report)"
        return
    fi
    # Counts from the report's root element.
    local root tests failures errors skips
    root=$(grep -m1 '<testsuites' "$xml")
    tests=$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"$root")
    failures=$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"$root")
    errors=$(sed -n 's/.* errors="\([0-9]*\)".*/\1/p' <<<"$root")
    skips=$(grep -c '<skipped' "$xml")
    if [ -z "$tests" ] || [ "$tests" -eq 0 ]; then
        broken="$broken $name(no tests ran)"
        return
    fi
    failed=$((failed + failures + errors))
    skipped=$((skipped + skips))
    passed=$((passed + tests - failures - errors - skips))
    if [ "$rc" -ne 0 ] && [ $((failures + errors)) -eq 0 ]; then
        broken="$broken $name(exit $rc)"
    fi
    if [ $((failures + errors)) -ne 0 ] || [ "$rc" -ne 0 ]; then
        echo "--- $name: $work/$name.log" >&2
        grep -E '^\[  FAILED  \]|Failure|error:' "$work/$name.log" >&2
    fi
}

run_part line '*-*HangUp*'
run_part hangup '*HangUp*'

if [ -n "$broken" ]; then
    echo "serial_win32: $passed passed, $((failed + 1)) failed, $skipped skipped (broken:$broken; logs in $work)"
    exit 1
fi
echo "serial_win32: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
