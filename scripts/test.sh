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
"$root/cmake/wine-run.sh" "$root/build/tests/hold_desktop.exe" >/dev/null 2>&1 </dev/null &
# The desktop must be up before CTest starts a program: one that started it
# would hand it CTest's pipe, and the held desktop would keep that pipe open.
for _ in $(seq 1 300); do
    grep -qsa 'explore[r].exe' /proc/[0-9]*/cmdline && break
    sleep 0.1
done
# The unit tests two at a time (each makes its own windows, if any).
ctest --test-dir "$root/build" --output-on-failure -j2 -E '^e2e'
# The end-to-end tests alone on the display: they find their windows by title.
# They leave the processors mostly idle (waits on servers, time-outs, Wine), so
# the pure modules' native checks (sanitizers, fuzzers) run beside them at the
# lowest priority, and their output follows at the end.
native_log="$root/build/native-checks.log"
nice -n 19 bash "$root/scripts/native-checks.sh" >"$native_log" 2>&1 &
native=$!
e2e_status=0
ctest --test-dir "$root/build" --output-on-failure -R '^e2e$' || e2e_status=$?
ctest --test-dir "$root/build" --output-on-failure -R '^e2e_large$' || e2e_status=$?
native_status=0
wait "$native" || native_status=$?
cat "$native_log"
[ "$e2e_status" = 0 ] && [ "$native_status" = 0 ]
