#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's prefix and quiet settings.
# WINEPREFIX defaults to build/wineprefix beside this script's checkout.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
exec wine "$@"
