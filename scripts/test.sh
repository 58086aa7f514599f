#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, then the suites under
# AddressSanitizer+UndefinedBehaviorSanitizer, and the threaded suites under ThreadSanitizer; then
# the Windows build (mingw-w64) with its suites and its comparisons with the release build under Wine.
# Ends with a summary of what failed, so the last lines of a long log say it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
for preset in release asan tsan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
failures=()
for preset in release asan tsan; do
    echo "== tests: $preset"
    if ! ctest --preset "$preset"; then
        failed=build/$preset/Testing/Temporary/LastTestsFailed.log
        failures+=("tests ($preset): $( [ -f "$failed" ] && cut -d: -f2 "$failed" | tr '\n' ' ')")
    fi
done
# The Windows build after the Linux ones: its suites under Wine, and the Windows programs against the
# release build's.
echo "== windows build"
started=$SECONDS
if cmake --preset mingw >/dev/null && cmake --build --preset mingw; then
    echo "== tests: mingw (under Wine)"
    if ! ctest --preset mingw; then
        failed=build/mingw/Testing/Temporary/LastTestsFailed.log
        failures+=("tests (mingw): $( [ -f "$failed" ] && cut -d: -f2 "$failed" | tr '\n' ' ')")
    fi
else
    failures+=("mingw build")
fi
echo "windows build and tests: $((SECONDS - started)) s"
# Each fuzz target for a few seconds from its seed corpus (the corpus itself is left unchanged). A
# target's own output goes to a log that is shown only when it fails.
if cmake --preset fuzz >/dev/null && cmake --build --preset fuzz; then
    echo "== fuzz"
    # fuzz_OpticalStream reads its seeds from tests/fuzz-corpus/optical-stream, and so on.
    for target in ./build/fuzz/fuzz/fuzz_*; do
        seeds=tests/fuzz-corpus/$(basename "$target" | sed 's/^fuzz_//; s/\([a-z]\)\([A-Z]\)/\1-\2/g' | tr 'A-Z' 'a-z')
        corpus=$(mktemp -d)
        log=$(mktemp)
        if "$target" -max_total_time=5 -print_final_stats=1 "$corpus" "$seeds" >"$log" 2>&1; then
            echo "$(basename "$target"): $(grep -o 'number_of_executed_units: [0-9]*' "$log" | cut -d' ' -f2) runs, no fault"
        else
            tail -n 60 "$log"
            failures+=("fuzz: $(basename "$target")")
        fi
        rm -rf "$corpus" "$log"
    done
else
    failures+=("fuzz build")
fi
if [ ${#failures[@]} -gt 0 ]; then
    echo "== FAILED"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
echo "== all passed"
