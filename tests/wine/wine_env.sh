# Sourced by the scripts that run the Windows build under Wine.
#   wine_env_init DIR        private prefix in DIR (created once, reused once ready)
#   wine_map_com N DEVICE    maps COMN to a device (a pty), restarts wineserver
#   wine_unmap_com N         removes the mapping
#   wine_desktop_init        Xvfb plus Wine's virtual desktop, for GUI tests
# Wine reads the port mapping when wineserver starts; a dosdevices symlink
# would be rewritten, so the mapping goes into the registry.

wine_env_init() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win64
    # A prefix whose first wineboot did not finish (killed, timed out) has a
    # system.reg but no kernel32.dll: only the marker, written once wineboot
    # and its wineserver are done, makes a prefix ready; any other is rebuilt.
    [ -f "$WINEPREFIX/.kelvora-ready" ] && return 0
    wineserver -k 2>/dev/null
    rm -rf "${WINEPREFIX:?}"
    mkdir -p "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.kelvora-ready" ||
        { echo "wine_env_init: wineboot did not finish in $WINEPREFIX" >&2; return 1; }
}

wine_map_com() {
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
    wineserver -k 2>/dev/null
    wineserver -w
}

wine_unmap_com() {
    wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$1" /f >/dev/null 2>&1
    rm -f "$WINEPREFIX/dosdevices/com$1"
    wineserver -k 2>/dev/null
    wineserver -w
}

wine_desktop_init() {
    if [ -z "${DISPLAY:-}" ]; then
        local n=$((90 + RANDOM % 100))
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        export KELVORA_XVFB_PID=$!
        export DISPLAY=":$n"
        sleep 1
    fi
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
}
