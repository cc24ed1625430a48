#!/usr/bin/env bash
# The fault matrix's rows that apply to the Windows build, run with its
# kelvora-upgrader.exe under Wine: COM1 is mapped to a link that each box
# emulator points at its own pseudo-terminal, COM9 is left unmapped for the
# missing port. The rows (NAK, silence, no menu, hang-up during the transfer,
# image missing, port missing, empty image) are those of
# tests/faults/fault_matrix.py marked for Windows.
#
#   tests/wine/run_fault_tests.sh WIN_BUILD_DIR LINUX_BUILD_DIR [--only WORD ...]
#
# Prints one line per row and a summary line; exits non-zero when a row
# fails, 77 when Wine is not installed.
set -uo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 WIN_BUILD_DIR LINUX_BUILD_DIR [--only WORD ...]" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
win_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
shift 2
exe=$win_build/bin/kelvora-upgrader.exe
emulator=$linux_build/bin/stb-emulator
if ! command -v wine >/dev/null 2>&1; then
    echo "run_fault_tests: skipped: wine is not installed"
    exit 77
fi
for f in "$exe" "$emulator"; do
    if [ ! -e "$f" ]; then
        echo "run_fault_tests: missing $f" >&2
        exit 2
    fi
done

# shellcheck source=tests/wine/wine_env.sh
source "$here/wine_env.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvora-wine-faults.XXXXXX")
log=$work/wine.log
cleanup() {
    wineserver -k >>"$log" 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

# A prefix of its own: the other Wine suites remap COM1 and restart their
# wineserver, which must not hit these rows.
link=$work/ttyKelvora
wine_env_init "$win_build/wine-prefix-faults" >>"$log" 2>&1
wine_unmap_com 9 >>"$log" 2>&1
wine_map_com 1 "$link" >>"$log" 2>&1
# A server started here, not by the first wine call, keeps its output in the
# log instead of a row's captured output.
wineserver -p >>"$log" 2>&1
# The first program after a server start also starts Wine's own services,
# which inherit its streams and take seconds: let that happen here.
wine cmd /c exit >>"$log" 2>&1

python3 "$here/../faults/fault_matrix.py" --wine "$exe" --emulator "$emulator" --com-link "$link" "$@"
rc=$?
wine_unmap_com 1 >>"$log" 2>&1
exit "$rc"
