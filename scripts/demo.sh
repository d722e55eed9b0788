#!/usr/bin/env bash
# Builds launcher.exe, publishes a sample release, serves it with nginx on
# 127.0.0.1 and runs the launcher under Wine twice in a fresh game folder
# (build/demo/game), printing what happened. With QRV_USE_DISPLAY=1 the splash
# appears on your own X display; otherwise it is drawn on a private Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" = 0 ]; then
    bash "$root/scripts/install-deps.sh"
fi
source "$root/scripts/wine-arch.sh"
bash "$root/scripts/build.sh" -DBUILD_TESTING=ON  # the sample game is the stub game
source "$root/scripts/wine-session.sh"

/usr/bin/python3 "$root/scripts/demo.py"
