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
    # fuzz_OpticalStream reads its seeds from tests/fuzz-corpus/optical-stream, and so on.
    for target in ./build/fuzz/fuzz/fuzz_*; do
        seeds=tests/fuzz-corpus/$(basename "$target" | sed 's/^fuzz_//; s/\([a-z]\)\([A-Z]\)/\1-\2/g' | tr 'A-Z' 'a-z')
        corpus=$(mktemp -d)
        "$target" -max_total_time=5 -print_final_stats=1 "$corpus" "$seeds" || status=1
        rm -rf "$corpus"
    done
else
    status=1
fi
exit $status
