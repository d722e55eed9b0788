#!/usr/bin/env bash
# Configures and builds launcher.exe (build/launcher.exe) and the tests.
# Extra arguments go to CMake, e.g. -DQRV_DEFAULT_BASE_URL=http://updates.example.com/quorvane/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" "$@" >/dev/null
cmake --build "$root/build" -j"$(nproc)"
