#!/usr/bin/env bash
# Runs the Windows test executables that need no COM port under Wine.
#   tests/wine/run_plain_tests.sh BUILD_DIR
# Prints one summary line; exits non-zero when a test failed or did not run.
set -uo pipefail
build=$(cd "$1" && pwd) || exit 2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_env.sh"
wine_env_init "$build/wine-plain/prefix"
trap 'wineserver -k >/dev/null 2>&1' EXIT

passed=0
failed=0
for name in rx_ring_tests; do
    exe="$build/bin/$name.exe"
    log="$build/wine-plain/$name.log"
    if [ ! -f "$exe" ]; then
        echo "$name: not built" >&2
        failed=$((failed + 1))
        continue
    fi
    wine "$exe" >"$log" 2>&1
    rc=$?
    ok=$(grep -c '^\[       OK \]' "$log")
    bad=$(grep -c '^\[  FAILED  \] [A-Za-z]*\.' "$log")
    passed=$((passed + ok))
    failed=$((failed + bad))
    if [ "$rc" -ne 0 ] || [ "$ok" -eq 0 ]; then
        [ "$bad" -eq 0 ] && failed=$((failed + 1))
        tail -n 30 "$log" >&2
    fi
done
echo "wine plain: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
