#!/usr/bin/env bash
# The Wine server of the tests' prefix, kept running for the whole test run: server.sh PREFIX start|stop.
# Without it every test program starts Wine's own services and the server shuts them down whenever
# no program is left, so each program waits about 2 s for them and starts while the last ones stop.
set -euo pipefail
prefix=$(realpath -m "$1")
export WINEPREFIX=$prefix WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver
here=$(cd "$(dirname "$0")" && pwd)
case $2 in
start)
    # A server left from an earlier run goes first: only one server can run for a prefix.
    "$wineserver" -k >/dev/null 2>&1 || true
    "$wineserver" -w
    mkdir -p "$prefix"
    # The server outlives this script: it must not hold the test runner's output open.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    # Makes the prefix when it is new and starts the services once.
    "$here/../../scripts/wine-run.sh" "$prefix" cmd /c exit >/dev/null 2>&1
    ;;
stop)
    "$wineserver" -k >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: server.sh PREFIX start|stop" >&2
    exit 2
    ;;
esac
