#!/usr/bin/env bash
# The native checks of the pure modules: their unit tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, then each libFuzzer target for
# QRV_FUZZ_SECONDS (default 20). A finding is kept in build/native/findings
# and fails the run; turn it into a case of tests/native/fuzz/regressions_test.cpp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native="$root/build/native"
cmake -S "$root/tests/native" -B "$native" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$native" -j"$(nproc)"
ctest --test-dir "$native" --output-on-failure

seconds=${QRV_FUZZ_SECONDS:-20}
mkdir -p "$native/findings"
for target in manifest signed_manifest config report_name chunk_index zstd_frame zstd_frame_word32 frame_index; do
    work=$(mktemp -d)
    cp "$root/tests/native/corpus/${target%_word32}"/* "$work/"
    echo "fuzz_$target: $seconds s"
    if ! "$native/fuzz_$target" -max_total_time="$seconds" -artifact_prefix="$native/findings/$target-" \
        "$work" >"$native/fuzz_$target.log" 2>&1; then
        tail -n 40 "$native/fuzz_$target.log"
        echo "fuzz_$target found a fault: see $native/findings"
        rm -rf "$work"
        exit 1
    fi
    grep -E '^Done [0-9]+ runs' "$native/fuzz_$target.log" || true
    rm -rf "$work"
done
echo "native checks: sanitized unit tests and fuzzers passed"
