#!/usr/bin/env bash
# Runs a Windows console program under Wine: wine-run.sh PREFIX PROGRAM.exe [ARGS...].
# PREFIX is the Wine prefix (made on first use, once, even when several runs start together).
# Stdout, stderr and the exit status are the program's own.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
wine=${KELVO_WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    # wineboot makes the prefix; the lock keeps parallel first runs from making it twice.
    flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$0" wineboot --init >/dev/null 2>&1' "$wine"
fi
exec "$wine" "$@"
