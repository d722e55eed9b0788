#!/usr/bin/env bash
# Configures and builds launcher.exe (build/launcher.exe) and the tests, then
# prints what launcher.exe was built with (server address, manifest keys, code
# signing). Extra arguments go to CMake, e.g.
# -DQRV_DEFAULT_BASE_URL=http://updates.example.com/quorvane/ (a --target NAME
# among them builds only that target); CMake keeps them in the build folder
# for later builds; --defaults puts back the project's own settings (the demo
# and the tests build so). QRV_BUILD_DIR names another build folder: a release build
# belongs in one of its own, since the demo and the tests build into build/
# with their own settings. QRV_ARCH=x86_64 makes the 64-bit test build instead
# of the 32-bit product (scripts/wine-arch.sh says when the tests need it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QRV_BUILD_DIR:-$root/build}
toolchain="$root/cmake/mingw-${QRV_ARCH:-i686}.cmake"
configure=()
targets=()
while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then
        targets+=(--target "$2")
        shift 2
    elif [ "$1" = --defaults ]; then
        # The project's own settings, whatever the folder was configured with before.
        configure+=(-DQRV_DEFAULT_BASE_URL=http://127.0.0.1:8080/quorvane/ -DQRV_DEFAULT_MIRRORS= -DQRV_MANIFEST_KEYS=
                    -DQRV_SIGN_CERT= -DQRV_SIGN_KEY= -DQRV_SIGN_TIMESTAMP_URL=)
        shift
    else
        configure+=("$1")
        shift
    fi
done
# A folder configured for the other architecture starts over.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${configure[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
/usr/bin/python3 "$root/scripts/build_summary.py" "$build"
