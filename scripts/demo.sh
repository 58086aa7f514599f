#!/usr/bin/env bash
# Sets up, builds, and runs the main job on the simulated bench.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
out=build/release/FWCOLLECTION.kelvofwset
build/release/tools/kelvo-fwbuild extract-builtin -o "$out"
build/release/tools/kelvo-fwbuild info "$out"
# The updater on the simulated bench; closed by SIGINT after two seconds.
status=0
timeout --signal=INT 2 build/release/app/kelvo-fwupd-cli || status=$?
# timeout reports 124 when it had to send the signal, which is the expected way to end here.
[ "$status" -eq 0 ] || [ "$status" -eq 124 ]
