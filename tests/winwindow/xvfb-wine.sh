#!/usr/bin/env bash
# Runs a Windows program under Wine on a private Xvfb display: xvfb-wine.sh PREFIX PROGRAM.exe [ARGS...].
# The display number is Xvfb's own choice (-displayfd), so parallel runs and stale lock files do
# not collide. At the end the prefix's Wine server and the display are stopped; the exit status is
# the program's.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
numbers=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numbers" >/dev/null 2>&1 &
xvfb=$!
cleanup() {
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
    rm -f "$numbers"
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -s "$numbers" ] && break
    sleep 0.1
done
[ -s "$numbers" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n 1 "$numbers")"
status=0
"$here/../../scripts/wine-run.sh" "$prefix" "$@" || status=$?
exit "$status"
