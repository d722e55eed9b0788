#!/usr/bin/env bash
# Builds launcher.exe and runs it under Wine in a demo game folder (build/demo),
# then prints the run log. With QRV_USE_DISPLAY=1 the splash appears on your
# own X display; otherwise it is drawn on a private Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" = 0 ]; then
    bash "$root/scripts/install-deps.sh"
fi
bash "$root/scripts/build.sh"
source "$root/scripts/wine-session.sh"

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
cp "$root/build/launcher.exe" "$demo/"
printf 'EXECUTAVEL  client.exe\n' > "$demo/launcher.cfg"

echo "demo: running build/demo/launcher.exe under Wine"
set +e
(cd "$demo" && wine launcher.exe)
code=$?
set -e
echo "demo: launcher.exe exited with code $code"
echo "demo: build/demo/launcher.log:"
cat "$demo/launcher.log"
