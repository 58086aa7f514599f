#!/usr/bin/env bash
# The Windows programs under Wine against the Linux ones, in the same run:
#   compare.sh LINUX_BUILD WINDOWS_BUILD WINEPREFIX CASE [ARGS...]
# CASE is one of
#   update SIMULATE...  kelvo-fwupd-cli --yes --latency-ms 0 on the simulated devices: the same
#                       log line for line, the same --sim-report and the same settings files
#   journal FAULTS      an update broken off by FAULTS on one system and finished on the other,
#                       both ways: each reads the other's journal and saved parameters
#   fwbuild             kelvo-fwbuild: build, collection and extract-builtin give the same bytes,
#                       and info reads either system's files the same way
# Exits 77 (skipped) when the Linux build has not been made. Needs the Wine prefix to itself for the
# user's application-data folder (the tests take a lock on it).
set -euo pipefail
linux=$1 windows=$2 prefix=$3 case=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"
for program in "$linux/app/kelvo-fwupd-cli" "$linux/tools/kelvo-fwbuild"; do
    [ -x "$program" ] || { echo "skipped: no Linux build at $linux ($program)"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# The Windows programs' local application-data folder, and the updater's folder in it.
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true
appdata=$(find "$prefix/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' ! -path '*/Public/*' | head -n 1)
[ -n "$appdata" ] || { echo "no AppData/Local folder in $prefix"; exit 1; }
win_folder="$appdata/KelvoFwUpd"

# Text the Windows programs write goes through the C runtime's text mode: \r\n line ends.
unix_text() { tr -d '\r' <"$1"; }

same() { # LABEL FILE_LINUX FILE_WINDOWS: the same text, line for line
    if ! diff -u --label "linux: $1" --label "windows: $1" <(unix_text "$2") <(unix_text "$3"); then
        failed=1
    fi
}

same_bytes() { # LABEL FILE_LINUX FILE_WINDOWS
    if ! cmp "$2" "$3"; then
        echo "differ: $1"
        failed=1
    fi
}

linux_cli() { # DATA_FOLDER ARGS...: the Linux updater with its own user folder
    local data=$1
    shift
    XDG_DATA_HOME="$data" "$linux/app/kelvo-fwupd-cli" "$@"
}

windows_cli() { # ARGS...: the Windows updater, with a fresh user folder in the prefix
    "$wine_run" "$prefix" "$windows/app/kelvo-fwupd-cli.exe" "$@"
}

# The settings files of both systems: the same names, sections, keys and values.
same_settings() { # LINUX_FOLDER WINDOWS_FOLDER
    local names_linux names_windows
    names_linux=$(cd "$1" && ls -1 -- *.ini 2>/dev/null || true)
    names_windows=$(cd "$2" && ls -1 -- *.ini 2>/dev/null || true)
    if [ "$names_linux" != "$names_windows" ]; then
        echo "settings files differ: linux [$names_linux] windows [$names_windows]"
        failed=1
        return
    fi
    for name in $names_linux; do
        same "settings $name" "$1/$name" "$2/$name"
    done
}

# No server on this port: the download finds nothing, at once, on both systems.
no_server=(--firmware-server http://127.0.0.1:1/downloads/fw/)

case $case in
update)
    simulate=()
    for kind in "$@"; do simulate+=(--simulate "$kind"); done
    rm -rf "$win_folder"
    mkdir -p "$work/linux"
    status_linux=0 status_windows=0
    linux_cli "$work/linux" --yes --latency-ms 0 "${no_server[@]}" --sim-report "$work/linux.json" "${simulate[@]}" \
        >"$work/linux.log" 2>"$work/linux.err" || status_linux=$?
    windows_cli --yes --latency-ms 0 "${no_server[@]}" --sim-report "$work/windows.json" "${simulate[@]}" \
        >"$work/windows.log" 2>"$work/windows.err" || status_windows=$?
    if [ "$status_linux" != "$status_windows" ]; then
        echo "exit status: linux $status_linux, windows $status_windows"
        cat "$work/windows.err"
        failed=1
    fi
    same "log" "$work/linux.log" "$work/windows.log"
    same "sim report" "$work/linux.json" "$work/windows.json"
    same_settings "$work/linux/KelvoFwUpd" "$win_folder"
    ;;
journal)
    faults=$1
    device="optical-sensor,serial=32-9-8-7-6-5-4-3"
    # Linux alone, both halves: the reference.
    mkdir -p "$work/reference" "$work/linux"
    linux_cli "$work/reference" --yes --latency-ms 0 "${no_server[@]}" --simulate "$device,$faults" >/dev/null 2>&1 || true
    linux_cli "$work/reference" --yes --latency-ms 0 "${no_server[@]}" --sim-report "$work/reference.json" \
        --simulate "$device" >"$work/reference.log" 2>/dev/null || true
    # Broken off on Linux, finished on Windows.
    rm -rf "$win_folder"
    linux_cli "$work/linux" --yes --latency-ms 0 "${no_server[@]}" --simulate "$device,$faults" >/dev/null 2>&1 || true
    mkdir -p "$win_folder"
    cp "$work/linux/KelvoFwUpd/"*.ini "$win_folder/"
    windows_cli --yes --latency-ms 0 "${no_server[@]}" --sim-report "$work/windows.json" --simulate "$device" \
        >"$work/windows.log" 2>/dev/null || true
    same "finished on windows: log" "$work/reference.log" "$work/windows.log"
    same "finished on windows: sim report" "$work/reference.json" "$work/windows.json"
    same_settings "$work/reference/KelvoFwUpd" "$win_folder"
    # Broken off on Windows, finished on Linux.
    rm -rf "$win_folder" "$work/linux"
    mkdir -p "$work/linux/KelvoFwUpd"
    windows_cli --yes --latency-ms 0 "${no_server[@]}" --simulate "$device,$faults" >/dev/null 2>&1 || true
    cp "$win_folder/"*.ini "$work/linux/KelvoFwUpd/"
    linux_cli "$work/linux" --yes --latency-ms 0 "${no_server[@]}" --sim-report "$work/linux.json" --simulate "$device" \
        >"$work/linux.log" 2>/dev/null || true
    same "finished on linux: log" "$work/reference.log" "$work/linux.log"
    same "finished on linux: sim report" "$work/reference.json" "$work/linux.json"
    same_settings "$work/reference/KelvoFwUpd" "$work/linux/KelvoFwUpd"
    ;;
fwbuild)
    linux_tool="$linux/tools/kelvo-fwbuild"
    windows_tool() { "$wine_run" "$prefix" "$windows/tools/kelvo-fwbuild.exe" "$@"; }
    # Inputs in the work folder, named relative to it, so that both systems read the same names.
    cd "$work"
    "$linux_tool" extract-builtin -o builtin-linux.kelvofwset
    windows_tool extract-builtin -o builtin-windows.kelvofwset
    same_bytes "built-in collection" builtin-linux.kelvofwset builtin-windows.kelvofwset
    # A memory image, key and table made from fixed bytes.
    head -c 65536 /dev/zero | tr '\0' '\125' >memory.bin
    head -c 32 /dev/zero | tr '\0' '\7' >key.bin
    printf '%s' 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef | head -c 64 >table.bin
    build=(build --memory memory.bin --key key.bin --table table.bin --pid 32 --hw 2 --fw 11 --cpu MSP430F147
           --description "test image" --synchro 0011223344556677)
    "$linux_tool" "${build[@]}" -o linux.kelvousbfw
    windows_tool "${build[@]}" -o windows.kelvousbfw
    # The creation date (8 bytes, 340 from the end) and the CRC-32 over it (4 bytes, 43 from the
    # end) are the only bytes allowed to differ: the two builds may run in different seconds.
    size=$(stat -c %s linux.kelvousbfw)
    outside=$(cmp -l linux.kelvousbfw windows.kelvousbfw |
        awk -v size="$size" '{ at = $1 - 1 } !((at >= size - 340 && at < size - 332) || (at >= size - 43 && at < size - 39)) { print at }' || true)
    if [ "$size" != "$(stat -c %s windows.kelvousbfw)" ] || [ -n "$outside" ]; then
        echo "differ: images beyond their creation date, at $outside"
        cmp -l linux.kelvousbfw windows.kelvousbfw | head
        failed=1
    fi
    # Each system reads both images the same way; only the creation dates may differ.
    for image in linux windows; do
        "$linux_tool" info --json $image.kelvousbfw | sed 's/, "created": "[^"]*"//' >info-linux.json
        windows_tool info --json $image.kelvousbfw | tr -d '\r' | sed 's/, "created": "[^"]*"//' >info-windows.json
        same "info of the $image image" info-linux.json info-windows.json
        grep -q '"valid": true' info-windows.json || { echo "the $image image is not valid"; failed=1; }
    done
    # Collections of one and the same image files are the same bytes.
    "$linux_tool" collection -o set-linux.kelvofwset linux.kelvousbfw windows.kelvousbfw
    windows_tool collection -o set-windows.kelvofwset linux.kelvousbfw windows.kelvousbfw
    same_bytes "collection" set-linux.kelvofwset set-windows.kelvofwset
    "$linux_tool" info set-windows.kelvofwset >set-info-linux.txt
    windows_tool info set-linux.kelvofwset >set-info-windows.txt
    same "info of the collections" set-info-linux.txt set-info-windows.txt
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
exit $failed
