#!/usr/bin/env bash
# Builds launcher.exe, publishes a sample release, serves it with nginx on
# 127.0.0.1 and runs the launcher under Wine twice in a fresh game folder
# (build/demo/game), printing what happened; then a signed release for a
# launcher built with a fresh key, and a tampered manifest that it refuses.
# With QRV_USE_DISPLAY=1 the splash appears on your own X display; otherwise it
# is drawn on a private Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" = 0 ]; then
    bash "$root/scripts/install-deps.sh"
fi
source "$root/scripts/wine-arch.sh"
echo "demo: build/launcher.exe is built without manifest keys on purpose, for the unsigned road;" \
     "CMake warns about it below. The signed road's launcher (build/demo-signed) has a key."
bash "$root/scripts/build.sh" --defaults -DBUILD_TESTING=ON  # the sample game is the stub game
# A studio's launcher: built with the public half of a key made for the demo.
key="$root/build/demo/keys/studio"
if [ ! -f "$key.pub.pem" ]; then
    /usr/bin/python3 "$root/tools/publish_release.py" keygen "$key"
fi
QRV_BUILD_DIR="$root/build/demo-signed" bash "$root/scripts/build.sh" -DBUILD_TESTING=OFF \
    -DQRV_MANIFEST_KEYS="$key.pub.pem" --target launcher
source "$root/scripts/wine-session.sh"

/usr/bin/python3 "$root/scripts/demo.py"
