#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; each prints its figures next to a
# baseline measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" = 0 ]; then
    bash "$root/scripts/install-deps.sh" --bench
fi
source "$root/scripts/wine-arch.sh"
bash "$root/scripts/build.sh" --defaults
source "$root/scripts/wine-session.sh"
"$root/cmake/wine-run.sh" "$root/build/bench/retention_bench.exe"
"$root/cmake/wine-run.sh" "$root/build/bench/compose_bench.exe"
"$root/cmake/wine-run.sh" "$root/build/bench/present_bench.exe"
/usr/bin/python3 "$root/bench/update_bench.py"
/usr/bin/python3 "$root/bench/install_bench.py"
/usr/bin/python3 "$root/bench/real_game_bench.py"
/usr/bin/python3 "$root/bench/compressed_bench.py"
/usr/bin/python3 "$root/bench/publish_bench.py"
/usr/bin/python3 "$root/bench/game_start_bench.py"
/usr/bin/python3 "$root/bench/mirror_bench.py"
/usr/bin/python3 "$root/bench/patch_bench.py"
/usr/bin/python3 "$root/bench/splash_bench.py"
/usr/bin/python3 "$root/bench/zstd_bench.py"
