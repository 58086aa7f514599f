#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, then the suites under
# AddressSanitizer+UndefinedBehaviorSanitizer, and the threaded suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
for preset in release asan tsan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
status=0
for preset in release asan tsan; do
    echo "== tests: $preset"
    ctest --preset "$preset" || status=1
done
# Each fuzz target for a few seconds from its seed corpus (the corpus itself is left unchanged).
if cmake --preset fuzz >/dev/null && cmake --build --preset fuzz; then
    echo "== fuzz"
    corpus=$(mktemp -d)
    ./build/fuzz/fuzz/fuzz_OpticalStream -max_total_time=5 -print_final_stats=1 "$corpus" \
        tests/fuzz-corpus/optical-stream || status=1
    camera_corpus=$(mktemp -d)
    ./build/fuzz/fuzz/fuzz_CameraStream -max_total_time=5 -print_final_stats=1 "$camera_corpus" \
        tests/fuzz-corpus/camera-stream || status=1
    rm -rf "$corpus" "$camera_corpus"
else
    status=1
fi
exit $status
