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
exit $status
