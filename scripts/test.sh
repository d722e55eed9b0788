#!/usr/bin/env bash
# Installs what is missing (as root), builds, and runs every test: under Wine
# the GoogleTest unit tests and the end-to-end tests of the real launcher.exe,
# then natively the pure modules' tests with sanitizers and the fuzzers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" = 0 ]; then
    bash "$root/scripts/install-deps.sh"
fi
source "$root/scripts/wine-arch.sh"
bash "$root/scripts/build.sh" --defaults -DBUILD_TESTING=ON
if [ "$QRV_ARCH" != i686 ]; then
    # The tests run the 64-bit build here; the 32-bit product must still build.
    QRV_ARCH=i686 QRV_BUILD_DIR="$root/build/pe32" bash "$root/scripts/build.sh" -DBUILD_TESTING=OFF --target launcher
fi
source "$root/scripts/wine-session.sh"
qrv_hold_desktop
# The unit tests two at a time (each makes its own windows, if any).
ctest --test-dir "$root/build" --output-on-failure -j2 -E '^e2e'
# The end-to-end tests mostly wait (on servers, time-outs, Wine's start), so
# their two halves run at once, each on a display and a Wine prefix of its own:
# they find their windows by title. The pure modules' native checks (sanitizers,
# fuzzers) run beside them at the lowest priority. The large releases' scenarios,
# which hash and write gigabytes, come alone after them. Outputs follow in turn.
native_log="$root/build/native-checks.log"
nice -n 19 bash "$root/scripts/native-checks.sh" >"$native_log" 2>&1 &
native=$!
transfers_log="$root/build/e2e-transfers.log"
(
    export QRV_WINEPREFIX="$root/build/wineprefix-transfers"
    source "$root/scripts/wine-session.sh"
    qrv_hold_desktop
    ctest --test-dir "$root/build" --output-on-failure -R '^e2e_transfers$'
) >"$transfers_log" 2>&1 &
transfers=$!
e2e_status=0
ctest --test-dir "$root/build" --output-on-failure -R '^e2e$' || e2e_status=$?
wait "$transfers" || e2e_status=$?
cat "$transfers_log"
ctest --test-dir "$root/build" --output-on-failure -R '^e2e_large$' || e2e_status=$?
native_status=0
wait "$native" || native_status=$?
cat "$native_log"
[ "$e2e_status" = 0 ] && [ "$native_status" = 0 ]
