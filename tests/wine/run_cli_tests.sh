#!/usr/bin/env bash
# The Windows build of kelvora-upgrader under Wine, with COM1 and COM12
# mapped to the Linux box emulator's pseudo-terminal: a completed download
# through COM12, a port the system knows only as \\.\COM12 (the image the
# box saved must be the file plus 0xFF fill), a refused block, Ctrl-C during
# a transfer, a port that does not exist, a power command that fails at
# set-up and one that switches the box around a download, a box powered by
# DTR (modem lines from the test library preloaded into Wine), and --version.
#
#   tests/wine/run_cli_tests.sh WIN_BUILD_DIR LINUX_BUILD_DIR
#
# With COM2 to COM5 mapped to four more emulators, --list-ports (with COM23
# on the first emulator's line too, COM30 on a directory, which cannot be
# opened) and a batch: one process flashing all four at once, one of them
# refusing a block. Then a station on the same four ports, driven by lines
# through a pipe as a line controller would: slots started at different
# moments (one twice), one box refusing a block, a start on a running slot
# refused, quit waiting for the slot still running; exit 1, the boxes that
# completed hold the image, one record per run with its slot, run and station.
# The same station serves its page on 127.0.0.1: one slot is started through
# its API and seen ending there, the page and the metrics are read.
#
# Prints one summary line; exits non-zero when a case fails.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 WIN_BUILD_DIR LINUX_BUILD_DIR" >&2
    exit 2
fi
win_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
exe=$win_build/bin/kelvora-upgrader.exe
emulator=$linux_build/bin/stb-emulator
version=$(sed -n 's/^project(KelvoraUpgrader VERSION \([0-9.]*\).*/\1/p' \
    "$(dirname "${BASH_SOURCE[0]}")/../../CMakeLists.txt")
for f in "$exe" "$emulator"; do
    if [ ! -x "$f" ]; then
        echo "run_cli_tests: missing $f" >&2
        exit 2
    fi
done

# shellcheck source=tests/wine/wine_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine_env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvora-wine-cli.XXXXXX")
log=$work/wine.log
emulator_pid=
batch_pids=()
station_pid=
web=
cleanup() {
    for pid in "$station_pid" "$emulator_pid" "${batch_pids[@]}"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    wineserver -k >>"$log" 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# COM1 is mapped once, to a link that each emulator points at its own
# pseudo-terminal: Wine follows it when the port is opened.
link=$work/ttyKelvora
wine_env_init "$win_build/wine-prefix" >>"$log" 2>&1
mkdir -p "$work/no-port"
wine_map_com 1 "$link" >>"$log" 2>&1
wine_map_com 12 "$link" >>"$log" 2>&1
wine_map_com 23 "$link" >>"$log" 2>&1
wine_map_com 30 "$work/no-port" >>"$log" 2>&1
for n in 2 3 4 5; do
    wine_map_com "$n" "$work/ttyBatch$n" >>"$log" 2>&1
done
# A server started here, not by the first wine call, keeps its output in the
# log instead of a test's captured output.
wineserver -p >>"$log" 2>&1

passed=0
failed=0
fail() {
    echo "FAIL: $1" >&2
    [ -f "$work/out" ] && sed 's/^/  | /' "$work/out" >&2
    failed=$((failed + 1))
}
pass() {
    echo "ok: $1"
    passed=$((passed + 1))
}

# Starts the emulator with the given options; sets emulator_pid.
start_emulator() {
    : >"$work/emulator.out"
    "$emulator" --link "$link" "$@" >"$work/emulator.out" 2>/dev/null &
    emulator_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/emulator.out" ] && [ -L "$link" ] && return 0
        sleep 0.05
    done
    return 1
}

# Gives an emulator 5 s to end its session by itself, then stops it;
# ended_itself says which it was.
emulator_stop() {
    ended_itself=no
    for _ in $(seq 100); do
        if ! kill -0 "$1" 2>/dev/null; then
            ended_itself=yes
            break
        fi
        sleep 0.05
    done
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

# Ends the case's emulator and sets summary to its summary line. A box that
# has to be stopped counts a transfer under way as cancelled, so the cases
# that expect the box's own end check ended_itself too.
emulator_finish() {
    emulator_stop "$emulator_pid"
    emulator_pid=
    summary=$(tail -n 1 "$work/emulator.out")
}

run_exe() {
    timeout 90 wine "$exe" "$@" </dev/null >"$work/raw" 2>&1
    local rc=$?
    tr -d '\r' <"$work/raw" >"$work/out"
    return "$rc"
}

# A whole download: exit 0, the completion message, the box has the image.
head -c 5000 /dev/urandom >"$work/image.ssu"
{ cat "$work/image.ssu"; head -c $((5120 - 5000)) /dev/zero | tr '\0' '\377'; } >"$work/expected.bin"
if start_emulator --save "$work/saved.bin"; then
    run_exe --yes --port COM12 'Z:'"${work//\//\\}"'\image.ssu'
    rc=$?
    emulator_finish
    if [ "$rc" -ne 0 ]; then
        fail "completion: exit status $rc, want 0"
    elif ! grep -qx "Download Complted !!!" "$work/out"; then
        fail "completion: no completion message"
    elif ! cmp -s "$work/saved.bin" "$work/expected.bin"; then
        fail "completion: the box received other bytes than the image"
    elif [[ "$summary" != *"verdict=completed"* ]]; then
        fail "completion: emulator says: $summary"
    else
        pass "completion"
    fi
else
    fail "completion: the emulator did not start"
fi

# A refused block: exit 1, "Error 31 !!!", the cancel frame reached the box.
if start_emulator --nak-block 2; then
    run_exe --yes --port COM1 'Z:'"${work//\//\\}"'\image.ssu'
    rc=$?
    emulator_finish
    if [ "$rc" -ne 1 ]; then
        fail "refused block: exit status $rc, want 1"
    elif ! grep -qx "Error 31 !!!" "$work/out"; then
        fail "refused block: no Error 31 message"
    elif [[ "$summary" != *"verdict=cancelled"* ]] || [ "$ended_itself" != yes ]; then
        fail "refused block: no cancel frame; emulator says: $summary"
    else
        pass "refused block"
    fi
else
    fail "refused block: the emulator did not start"
fi

# Ctrl-C during a paced transfer: the console control handler asks the run
# to stop, the cancel frame reaches the box, exit 130. Wine turns the SIGINT
# into a CTRL_C_EVENT for the console program.
head -c 262144 /dev/urandom >"$work/large.ssu"
if start_emulator --baud 115200; then
    # Signalled directly, not through timeout(1): the wait below is bounded.
    wine "$exe" --yes --port COM1 'Z:'"${work//\//\\}"'\large.ssu' </dev/null >"$work/raw" 2>&1 &
    wine_pid=$!
    for _ in $(seq 200); do
        grep -q "^1024 / 262144" "$work/raw" && break
        sleep 0.05
    done
    sleep 0.5
    kill -INT "$wine_pid" 2>/dev/null
    for _ in $(seq 200); do
        kill -0 "$wine_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "$wine_pid" 2>/dev/null
    wait "$wine_pid"
    rc=$?
    tr -d '\r' <"$work/raw" >"$work/out"
    emulator_finish
    if ! grep -q "^1024 / 262144" "$work/out"; then
        fail "Ctrl-C: the transfer never began (exit status $rc)"
    elif [ "$rc" -ne 130 ]; then
        fail "Ctrl-C: exit status $rc, want 130"
    elif [[ "$summary" != *"verdict=cancelled"* ]] || [ "$ended_itself" != yes ]; then
        fail "Ctrl-C: no cancel frame; emulator says: $summary"
    else
        pass "Ctrl-C during the transfer"
    fi
else
    fail "Ctrl-C: the emulator did not start"
fi

# A port that does not exist: exit 2 with the port named on stderr.
run_exe --yes --port COM9 'Z:'"${work//\//\\}"'\image.ssu'
rc=$?
if [ "$rc" -eq 2 ] && grep -q "cannot open port COM9" "$work/out"; then
    pass "missing port"
else
    fail "missing port: exit status $rc, want 2 and the port named"
fi

# Power through a program, run without a shell (CreateProcess, a job):
# one that fails at set-up's first "off" stops the set-up (exit 2, the
# command and its status named, nothing sent); one that works switches the
# box off and on around a download that completes.
if start_emulator --autoboot-ms 60000; then
    run_exe --yes --port COM1 --power-command "cmd /c exit 3" 'Z:'"${work//\//\\}"'\image.ssu'
    rc=$?
    if [ "$rc" -eq 2 ] && grep -q "power command 'cmd /c exit 3' failed: exit status 3" "$work/out"; then
        pass "failing power command"
    else
        fail "failing power command: exit status $rc, want 2 and the command named"
    fi
    run_exe --port COM1 --power-command "cmd /c exit 0" --off-time 1 --gone-after 1 \
        'Z:'"${work//\//\\}"'\image.ssu'
    rc=$?
    emulator_finish
    if [ "$rc" -eq 0 ] && grep -qx "Download Complted !!!" "$work/out" && ! grep -q "Press Enter" "$work/out"; then
        pass "power command"
    else
        fail "power command: exit status $rc, want 0, the completion and no prompt to answer"
    fi
else
    fail "power command: the emulator did not start"
fi

# Power by DTR (EscapeCommFunction, GetCommModemStatus) with the test
# library preloaded into Wine, which gives the pseudo-terminal modem lines:
# the box, powered by the line, completes, and is off at the end.
lines=$work/lines
modem_lib=$linux_build/lib/libkelvora_modem_lines.so
mkdir -p "$lines"
if [ ! -f "$modem_lib" ]; then
    fail "power line: $modem_lib is missing"
elif KELVORA_MODEM_LINES=$lines start_emulator --power-line dtr; then
    KELVORA_MODEM_LINES=$lines LD_PRELOAD=$modem_lib run_exe --port COM1 --power dtr --off-time 1 --gone-after 1 \
        'Z:'"${work//\//\\}"'\image.ssu'
    rc=$?
    state=$(python3 "$(dirname "${BASH_SOURCE[0]}")/../support/modem_lines.py" "$lines" "$(readlink "$link")" get)
    emulator_finish
    if [ "$rc" -eq 0 ] && grep -qx "Download Complted !!!" "$work/out" && [[ "$state" == *"dtr=0"* ]]; then
        pass "power line"
    else
        fail "power line: exit status $rc, want 0, the completion and DTR dropped ($state)"
    fi
else
    fail "power line: the emulator did not start"
fi

run_exe --version
rc=$?
if [ "$rc" -eq 0 ] && [ "$(cat "$work/out")" = "kelvora-upgrader $version" ]; then
    pass "version"
else
    fail "version: exit status $rc"
fi

# Starts an emulator on COMn's link with the given options; its pid joins
# batch_pids, its output goes to batchN.out.
batch_emulator() {
    local n=$1
    shift
    : >"$work/batch$n.out"
    "$emulator" --link "$work/ttyBatch$n" "$@" >"$work/batch$n.out" 2>/dev/null &
    batch_pids+=($!)
    for _ in $(seq 100); do
        [ -s "$work/batch$n.out" ] && [ -L "$work/ttyBatch$n" ] && return 0
        sleep 0.05
    done
    return 1
}

# A batch on four ports: each box on its own, one refusing block 2; exit 1,
# the summary, the three others hold the image, one record per box.
for n in 2 3 4; do
    batch_emulator "$n" --save "$work/batch$n.bin"
done
batch_emulator 5 --nak-block 2

# --list-ports while COM1 to COM5, COM12 and COM23 have a box on their line:
# those seven in number order, not COM30; whatever else the machine has, in
# number order too.
if start_emulator --sessions 0; then
    run_exe --list-ports
    rc=$?
    kill -TERM "$emulator_pid" 2>/dev/null
    wait "$emulator_pid" 2>/dev/null
    emulator_pid=
    ours=$(grep -xE 'COM(1|2|3|4|5|12|23|30)' "$work/out" | tr '\n' ' ')
    if [ "$rc" -ne 0 ]; then
        fail "list of ports: exit status $rc, want 0"
    elif [ "$ours" != "COM1 COM2 COM3 COM4 COM5 COM12 COM23 " ]; then
        fail "list of ports: $ours"
    elif ! sort -c -t M -k 2,2n "$work/out" 2>/dev/null; then
        fail "list of ports: not in number order"
    else
        pass "list of ports"
    fi
else
    fail "list of ports: the emulator did not start"
fi
winwork='Z:'"${work//\//\\}"
run_exe --yes --record "$winwork\\records.jsonl" --port COM2 --port COM3 --port COM4 --port COM5 "$winwork\\image.ssu"
rc=$?
for pid in "${batch_pids[@]}"; do
    emulator_stop "$pid"
done
batch_pids=()
records=$(python3 -c 'import json, sys
print(" ".join(sorted(r["end"] + "@" + r["port"] for r in map(json.loads, open(sys.argv[1])))))' \
    "$work/records.jsonl" 2>&1)
if [ "$rc" -ne 1 ]; then
    fail "batch: exit status $rc, want 1"
elif ! grep -qx "3 completed, 1 failed" "$work/out"; then
    fail "batch: no summary line"
elif ! cmp -s "$work/batch2.bin" "$work/expected.bin" || ! cmp -s "$work/batch3.bin" "$work/expected.bin" ||
     ! cmp -s "$work/batch4.bin" "$work/expected.bin"; then
    fail "batch: a box received other bytes than the image"
elif ! grep -q "verdict=cancelled" "$work/batch5.out"; then
    fail "batch: the refusing box got no cancel frame"
elif [ "$records" != "completed@COM2 completed@COM3 completed@COM4 error-31@COM5" ]; then
    fail "batch: records say: $records"
else
    pass "batch of four ports"
fi

# The station on the same ports, its stdin a pipe this script writes lines
# to over time and keeps open: quit alone must end it. Slot 1 (COM2) flashes
# two boxes in a row, slot 3 (COM4) has its block 2 refused, slot 2 (COM3)
# is held running by its box's late verdict while a second start for it is
# refused and quit is given. Slot 4 (COM5) is started through the web API,
# as a browser on this machine would (no Origin), and followed there.
station_say() {
    echo "$1" >&"$to_station"
}
# Waits (a hang guard) until the station has printed COUNT lines (1 when not
# given) matching the pattern; awaited names the pattern for the failure.
station_saw() {
    awaited=$1
    local alive
    for _ in $(seq 600); do
        kill -0 "$station_pid" 2>/dev/null
        alive=$?
        [ "$(tr -d '\r' <"$work/raw" | grep -cE "$1")" -ge "${2:-1}" ] && return 0
        [ "$alive" -eq 0 ] || return 1
        sleep 0.1
    done
    return 1
}
# Sends METHOD PATH to the station's web server (Host names it, no Origin, as
# a browser on this machine sends); prints the status, the body goes to
# web.out. A hang guard bounds each request.
web_ask() {
    curl -sS --max-time 10 -X "$1" -o "$work/web.out" -w '%{http_code}' "$web$2" 2>>"$log"
}
# Takes the URL from the station's "web:" line.
web_found() {
    web=$(tr -d '\r' <"$work/raw" | sed -n 's|^web: \(http://127\.0\.0\.1:[0-9]*\)/$|\1|p')
    [ -n "$web" ]
}
# Waits (a hang guard) until GET /api/station shows slot N ended with END.
web_saw_end() {
    awaited="slot $1 to end $2 in GET /api/station"
    for _ in $(seq 600); do
        [ "$(web_ask GET /api/station)" = 200 ] && python3 -c 'import json, sys
slot = json.load(open(sys.argv[1]))["slots"][int(sys.argv[2]) - 1]
sys.exit(not (slot["state"] == "ended" and slot["end"] == sys.argv[3]))' "$work/web.out" "$1" "$2" && return 0
        kill -0 "$station_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
batch_emulator 2 --autoboot-ms 120000 --sessions 2 --save "$work/station2.bin" &&
    batch_emulator 3 --autoboot-ms 120000 --verdict-delay 8000 --save "$work/station3.bin" &&
    batch_emulator 4 --autoboot-ms 120000 --nak-block 2 &&
    batch_emulator 5 --autoboot-ms 120000 --save "$work/station5.bin"
started=$?
: >"$work/raw"
coproc STATION {
    exec timeout 120 wine "$exe" --station --record "$winwork\\station.jsonl" --station-name bench-w \
        --web 127.0.0.1:0 --port COM2 --port COM3 --port COM4 --port COM5 "$winwork\\image.ssu" >"$work/raw" 2>&1
}
station_pid=$STATION_PID
# A copy of the pipe's end of our own: bash closes the coprocess's when it ends.
exec {to_station}>&"${STATION[1]}"
awaited="the emulators to start"
[ "$started" -eq 0 ] &&
    station_saw '^web: ' && web_found &&
    station_say "start 3" && station_saw '^COM4: Error 31 !!! at block 2$' &&
    station_say "start 1" && station_saw '^COM2: completed in ' &&
    station_say "start 1" &&
    awaited="202 from POST /api/slots/4/start" && [ "$(web_ask POST /api/slots/4/start)" = 202 ] &&
    station_saw '^COM2: completed in ' 2 && station_saw '^COM5: completed in ' &&
    web_saw_end 4 completed &&
    awaited="the page from GET /" && [ "$(web_ask GET /)" = 200 ] &&
    grep -q '<title>Kelvora station</title>' "$work/web.out" && grep -q 'Start all ready' "$work/web.out" &&
    awaited="kelvora_up 1 from GET /metrics" && [ "$(web_ask GET /metrics)" = 200 ] &&
    grep -qx 'kelvora_up 1' "$work/web.out" &&
    station_say "start 2" && station_saw '^COM3: 5120 / 5120$' &&
    station_say "start 2" && station_saw '^slot 2 is running; not started again$' &&
    station_say "quit" && station_saw '^quitting: 1 still running'
steps=$?
# Ended by quit, not by the end of its stdin: the pipe is closed only after.
if [ "$steps" -eq 0 ]; then
    for _ in $(seq 600); do
        kill -0 "$station_pid" 2>/dev/null || break
        sleep 0.1
    done
fi
kill -TERM "$station_pid" 2>/dev/null
wait "$station_pid"
rc=$?
exec {to_station}>&-
station_pid=
tr -d '\r' <"$work/raw" >"$work/out"
for pid in "${batch_pids[@]}"; do
    emulator_stop "$pid"
done
batch_pids=()
records=$(python3 -c 'import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
print(sorted(r["run"] for r in records) == list(range(1, len(records) + 1)), sorted({r["station"] for r in records}),
      " ".join(sorted("%d:%s:%s" % (r["slot"], r["port"], r["end"]) for r in records)))' \
    "$work/station.jsonl" 2>&1)
if [ "$steps" -ne 0 ]; then
    fail "station: waited in vain for $awaited (exit status $rc)"
elif [ "$rc" -ne 1 ]; then
    fail "station: exit status $rc, want 1"
elif ! sed -n '/^quitting: 1 still running/,$p' "$work/out" | grep -q '^COM3: completed in '; then
    fail "station: quit did not wait for slot 2 to complete"
elif ! grep -qx "4 completed, 1 failed" "$work/out"; then
    fail "station: no summary line"
elif ! grep -qx "no unit store: the unit store is not available in the Windows build" "$work/out"; then
    fail "station: does not say that it keeps no unit store"
elif ! cmp -s "$work/station2.bin" "$work/expected.bin" || ! cmp -s "$work/station3.bin" "$work/expected.bin" ||
     ! cmp -s "$work/station5.bin" "$work/expected.bin"; then
    fail "station: a box received other bytes than the image"
elif [ "$records" != "True ['bench-w'] 1:COM2:completed 1:COM2:completed 2:COM3:completed 3:COM4:error-31 4:COM5:completed" ]; then
    fail "station: records say: $records"
else
    pass "station of four ports through stdin and its web API"
fi

# The Windows build keeps no unit store, and says so rather than differ in silence.
windows_work='Z:'"${work//\//\\}"
for args in "history --unit SN-1" "import-records $windows_work\\station.jsonl" \
            "--db units.db --port COM12 $windows_work\\image.ssu"; do
    # shellcheck disable=SC2086  # the words are the arguments
    run_exe $args
    rc=$?
    if [ "$rc" -ne 2 ] || ! grep -q "the unit store is not available in the Windows build" "$work/out"; then
        fail "$args: exit status $rc, want 2 and the store's absence: $(head -c 300 "$work/out")"
    else
        pass "$args: no unit store in the Windows build"
    fi
done

for n in 1 2 3 4 5 12 23 30; do
    wine_unmap_com "$n" >>"$log" 2>&1
done
echo "run_cli_tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
