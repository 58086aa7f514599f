#!/usr/bin/env bash
# Runs a Windows console program under Wine: wine-run.sh PREFIX PROGRAM.exe [ARGS...].
# PREFIX is the Wine prefix (made on first use, once, even when several runs start together).
# Stdout, stderr and the exit status are the program's own.
# With KELVO_WINE_STACKS_AFTER=N, a program still running after N seconds has the stacks of its
# threads written to stderr by Wine's debugger, once, and goes on running: a test that hangs says
# where before its time limit ends it.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
wine=${KELVO_WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    # wineboot makes the prefix; the lock keeps parallel first runs from making it twice. The lock is
    # not handed down to the Wine services wineboot starts, which may outlive it.
    flock --close "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$0" wineboot --init >/dev/null 2>&1' "$wine"
fi
[ -n "${KELVO_WINE_STACKS_AFTER:-}" ] || exec "$wine" "$@"

# The program's threads, from the debugger's backtrace of every process in the prefix. The debugger
# reads no names from a program built without debug information: each frame in the program gets the
# name of the nearest function symbol below it.
print_stacks() {
    local name symbols
    name=$(basename "$1")
    symbols=$(mktemp)
    x86_64-w64-mingw32-nm -C -n --defined-only "$1" 2>/dev/null | awk '$2 == "t" || $2 == "T"' >"$symbols" || true
    echo "wine-run: $name still running after $KELVO_WINE_STACKS_AFTER s; the stacks of its threads:" >&2
    timeout 60 "$wine" winedbg --command "bt all" 2>&1 |
        awk -v name="$name" '/^Backtracing for thread/ { keep = index($0, name) > 0 } keep' |
        awk -v symbols="$symbols" '
            BEGIN { while ((getline line < symbols) > 0) { n++; at[n] = substr(line, 1, 16); fn[n] = substr(line, 20) } }
            # Addresses are compared as hexadecimal text of one width.
            match($0, /0x[0-9a-f]+ in [^ ]+ \(\+0x/) {
                address = substr($0, RSTART + 2, index(substr($0, RSTART), " ") - 3)
                while (length(address) < 16) address = "0" address
                low = 1; high = n; found = 0
                while (low <= high) {
                    middle = int((low + high) / 2)
                    if (at[middle] <= address) { found = middle; low = middle + 1 } else high = middle - 1
                }
                if (found) { print $0 " " fn[found]; next }
            }
            { print }' >&2 || true
    rm -f "$symbols"
}
"$wine" "$@" <&0 &
program=$!
trap 'kill "$program" 2>/dev/null' TERM INT
(
    for ((waited = 0; waited < KELVO_WINE_STACKS_AFTER; ++waited)); do
        sleep 1
        kill -0 "$program" 2>/dev/null || exit 0
    done
    print_stacks "$1"
) &
watchdog=$!
status=0
wait "$program" || status=$?
kill "$watchdog" 2>/dev/null || true
wait "$watchdog" 2>/dev/null || true
exit "$status"
