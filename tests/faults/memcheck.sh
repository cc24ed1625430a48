#!/usr/bin/env bash
# One whole command-line download (64 KiB image) under valgrind memcheck,
# against the box emulator running natively beside it: no uninitialised byte
# may reach a system call (a write() of such bytes would put them on the
# line), no block may be definitely or indirectly lost, and the download must
# complete with the image arriving intact.
#
#   tests/faults/memcheck.sh BUILD_DIR
#
# Exits 77 (skipped) with the reason when valgrind is missing or BUILD_DIR is
# a sanitizer build (valgrind cannot run those).
set -uo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
cli=$build/bin/kelvora-upgrader
emulator=$build/bin/stb-emulator

skip() {
    echo "memcheck: skipped: $1"
    exit 77
}
command -v valgrind >/dev/null 2>&1 || skip "valgrind is not installed"
sanitize=$(sed -n 's/^KELVORA_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
[ -z "$sanitize" ] || skip "$build is built with sanitizers ($sanitize)"
for f in "$cli" "$emulator"; do
    [ -x "$f" ] || { echo "memcheck: missing $f" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvora-memcheck.XXXXXX")
emulator_pid=
cleanup() {
    if [ -n "$emulator_pid" ] && kill -0 "$emulator_pid" 2>/dev/null; then
        kill -TERM "$emulator_pid" 2>/dev/null
        wait "$emulator_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

head -c 65536 /dev/urandom >"$work/image.ssu"
# valgrind starts slowly: a long autoboot window lets the box be caught
# however late the first space comes.
"$emulator" --autoboot-ms 120000 --save "$work/saved.bin" >"$work/emulator.out" 2>/dev/null &
emulator_pid=$!
for _ in $(seq 100); do
    [ -s "$work/emulator.out" ] && break
    sleep 0.05
done
port=$(head -n 1 "$work/emulator.out")

timeout 240 valgrind --error-exitcode=99 --leak-check=full --track-origins=yes \
    --errors-for-leak-kinds=definite,indirect --log-file="$work/valgrind.log" \
    "$cli" --yes --quiet --port "$port" "$work/image.ssu" >"$work/out" 2>&1
rc=$?
for _ in $(seq 100); do
    kill -0 "$emulator_pid" 2>/dev/null || break
    sleep 0.05
done
kill -TERM "$emulator_pid" 2>/dev/null
wait "$emulator_pid" 2>/dev/null
emulator_pid=

failed=0
fail() {
    echo "FAIL: $1"
    failed=1
}
[ "$rc" -eq 0 ] || fail "exit status $rc under valgrind, want 0 (99: valgrind found errors)"
grep -q "^Download Complted !!!" "$work/out" || fail "no completion message"
cmp -s "$work/image.ssu" "$work/saved.bin" || fail "the box received other bytes than the image"
if grep -q "uninitialised byte(s)" "$work/valgrind.log"; then
    fail "uninitialised bytes reach a system call"
fi
for kind in definitely indirectly; do
    lost=$(sed -n "s/.*$kind lost: \([0-9,]*\) bytes.*/\1/p" "$work/valgrind.log" | tr -d ,)
    if [ -n "$lost" ] && [ "$lost" != 0 ]; then
        fail "$lost bytes $kind lost"
    fi
done
grep -q "ERROR SUMMARY: 0 errors" "$work/valgrind.log" || fail "valgrind reports errors"
# The leak summary must be there at all: a run cut short proves nothing.
grep -Eq "All heap blocks were freed|LEAK SUMMARY" "$work/valgrind.log" || fail "valgrind gave no leak summary"

grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks" \
    "$work/valgrind.log" | sed 's/^==[0-9]*== */memcheck: /'
if [ "$failed" -ne 0 ]; then
    sed 's/^/  | /' "$work/out"
    sed 's/^/  | /' "$work/valgrind.log" | tail -n 60
    echo "memcheck: failed"
    exit 1
fi
echo "memcheck: passed"
