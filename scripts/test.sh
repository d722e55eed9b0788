#!/usr/bin/env bash
# Installs what is missing (as root), builds, and runs every test: under Wine
# the GoogleTest unit tests and the end-to-end tests of the real launcher.exe,
# then natively the pure modules' tests with sanitizers and the fuzzers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" = 0 ]; then
    bash "$root/scripts/install-deps.sh"
fi
bash "$root/scripts/build.sh" -DBUILD_TESTING=ON
source "$root/scripts/wine-session.sh"
wine "$root/build/tests/hold_desktop.exe" >/dev/null 2>&1 </dev/null &
# Serial: the end-to-end tests find their windows by title on one display.
ctest --test-dir "$root/build" --output-on-failure
# The pure modules natively, with sanitizers and fuzzers.
bash "$root/scripts/native-checks.sh"
