#!/usr/bin/env bash
# deb-lintian.sh BUILD_DIR: makes the .deb with cpack and has lintian check it; any error or warning
# fails. Skipped (exit 77) where lintian is not installed.
set -euo pipefail
build=$1
command -v lintian >/dev/null || { echo "lintian is not installed"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" ||
    { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
lintian --fail-on error,warning "$deb"
