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
# The updater on the simulated bench with one optical sensor whose firmware is older than the
# built-in image: it is identified and offered an update, and the program ends by itself once the
# bench has been quiet for a second.
timeout 60 build/release/app/kelvo-fwupd-cli --simulate optical-sensor
