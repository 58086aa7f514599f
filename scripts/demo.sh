#!/usr/bin/env bash
# Sets up, builds, and runs the main job on the simulated bench.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset release >/dev/null
# Only the two programs the demo runs, with what they link; the tests and benchmarks are not built.
cmake --build --preset release --target kelvo-fwupd-cli kelvo-fwbuild
out=build/release/FWCOLLECTION.kelvofwset
build/release/tools/kelvo-fwbuild extract-builtin -o "$out"
build/release/tools/kelvo-fwbuild info "$out"
# The whole update of a simulated optical sensor whose firmware is older than the built-in image:
# identification, the offer, the click (--yes), the flash with its progress, the return of the
# device and the restore of its calibration. The program ends by itself once the bench is quiet.
timeout 120 build/release/app/kelvo-fwupd-cli --yes --simulate optical-sensor
