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
