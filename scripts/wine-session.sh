# Sourced by the scripts that run Windows programs: exports the Wine settings,
# creates the build's Wine prefix once, starts an X display (Xvfb unless
# QRV_USE_DISPLAY=1 keeps the caller's) and a persistent wineserver, and stops
# both when the calling script exits.
# Expects $root (the checkout) to be set.

source "$root/scripts/wine-arch.sh"

# QRV_WINEPREFIX gives a session a prefix of its own (test.sh runs two at once).
export WINEPREFIX="${QRV_WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

qrv_xvfb_pid=""

qrv_stop_session() {
    wineserver -k 2>/dev/null || true
    if [ -n "$qrv_xvfb_pid" ]; then
        kill "$qrv_xvfb_pid" 2>/dev/null || true
        wait "$qrv_xvfb_pid" 2>/dev/null || true
    fi
}
trap qrv_stop_session EXIT

if [ "${QRV_USE_DISPLAY:-0}" != 1 ] || [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 91 160); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
            Xvfb ":$n" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
            qrv_xvfb_pid=$!
            export DISPLAY=":$n"
            break
        fi
    done
    for _ in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break
        sleep 0.1
    done
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-session: creating the Wine prefix in $WINEPREFIX (once, about 10 s)"
    "$root/cmake/wine-run.sh" wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
# Wine links Desktop, Documents and the like to the real home folder; the
# installer's tests write shortcuts and games there, so they become folders of
# the prefix itself.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then
        rm "$link"
        mkdir -p "$link"
    fi
done
wineserver -p 2>/dev/null || true  # one may already serve this prefix
# Starts Wine's services and desktop now, detached from any pipe: a program
# started later would otherwise hand them its output pipe, and whoever reads
# that pipe (CTest) would wait for them to end.
"$root/cmake/wine-run.sh" reg query 'HKCU\Software' >/dev/null 2>&1 </dev/null || true

# Keeps Wine's desktop up for a test run (tests/stub_game/hold_desktop.cpp) and
# waits until this prefix's desktop is there: a program that started it would
# hand it its output pipe, and whoever reads that pipe (CTest) would wait for
# the desktop to end.
qrv_hold_desktop() {
    "$root/cmake/wine-run.sh" "$root/build/tests/hold_desktop.exe" >/dev/null 2>&1 </dev/null &
    local desktop
    for _ in $(seq 1 300); do
        for desktop in $(grep -lsa 'explore[r].exe' /proc/[0-9]*/cmdline); do
            grep -qsaxzF "WINEPREFIX=$WINEPREFIX" "${desktop%/cmdline}/environ" && return 0
        done
        sleep 0.1
    done
}
