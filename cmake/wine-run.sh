#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's prefix and quiet settings.
# WINEPREFIX defaults to build/wineprefix beside this script's checkout. For
# the 64-bit test build (see scripts/wine-arch.sh) Wine's 64-bit loader runs it.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
source "$here/scripts/wine-arch.sh"
if [ "$QRV_ARCH" = x86_64 ]; then
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
