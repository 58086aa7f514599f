#!/usr/bin/env bash
# The Windows setup program under Wine, in a Wine prefix of its own: nsis-setup.sh SETUP.exe PREFIX.
# Installs silently, checks the programs, the Start-menu shortcut and the Add/Remove Programs entry,
# runs the installed kelvo-fwupd-cli.exe (its version, and an update on the simulated bench that
# leaves settings files in the user's folder), uninstalls silently and checks that only the user's
# folder is left.
set -euo pipefail
setup=$(realpath "$1")
prefix=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"
export WINEPREFIX=$prefix WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver
failed=0
fail() {
    echo "FAILED: $*"
    failed=1
}

rm -rf "$prefix"
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true

install_dir="$prefix/drive_c/Program Files/KELVO firmware updater"
shortcut="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/KELVO firmware updater.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelvoFwUpd'
appdata=$(find "$prefix/drive_c/users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' ! -path '*/Public/*' | head -n 1)
[ -n "$appdata" ] || { echo "no AppData/Local folder in $prefix"; exit 1; }

# The uninstaller copies itself away and returns at once; the Wine server ends once every program
# of the prefix has.
"$wine_run" "$prefix" "$setup" /S
"$wineserver" -w

# The three programs and the uninstaller, nothing more.
expected=$'kelvo-fwbuild.exe\nkelvo-fwupd-cli.exe\nkelvo-fwupd.exe\nuninstall.exe'
installed=$(cd "$install_dir" 2>/dev/null && find . -mindepth 1 -printf '%P\n' | sort)
[ "$installed" = "$expected" ] || fail "installed files: $(echo "$installed" | tr '\n' ' ')"
# The shortcut starts the window program.
if [ -f "$shortcut" ]; then
    strings -a -el "$shortcut" | grep -qi 'KELVO firmware updater\\kelvo-fwupd.exe' ||
        strings -a "$shortcut" | grep -qi 'KELVO firmware updater\\kelvo-fwupd.exe' ||
        fail "the shortcut does not start kelvo-fwupd.exe"
else
    fail "no Start-menu shortcut"
fi
# Registered under Add/Remove Programs, with a silent uninstall.
entry=$("$wine_run" "$prefix" reg query "$key" 2>/dev/null | tr -d '\r' || true)
for value in 'DisplayName    REG_SZ    KELVO firmware updater' 'DisplayVersion    REG_SZ    2.0.0' \
    'QuietUninstallString    REG_SZ    "C:\Program Files\KELVO firmware updater\uninstall.exe" /S'; do
    grep -qF "$value" <<<"$entry" || fail "uninstall entry lacks: $value"
done

# The installed console updater runs; an update leaves its journal in the user's folder.
version=$("$wine_run" "$prefix" "$install_dir/kelvo-fwupd-cli.exe" --version | tr -d '\r')
[ "$version" = "kelvo-fwupd-cli 2.0" ] || fail "installed kelvo-fwupd-cli --version: $version"
"$wine_run" "$prefix" "$install_dir/kelvo-fwupd-cli.exe" --yes --latency-ms 0 --simulate optical-sensor \
    >/dev/null 2>&1 || fail "the installed kelvo-fwupd-cli.exe did not update the simulated sensor"
settings=$(cd "$appdata/KelvoFwUpd" 2>/dev/null && ls -1 | sort)
[ -n "$settings" ] || fail "no settings files in the user's folder after an update"

"$wine_run" "$prefix" "$install_dir/uninstall.exe" /S
"$wineserver" -w

[ ! -e "$install_dir" ] || fail "left behind: $(cd "$install_dir" && find . -mindepth 1 -printf '%P ')"
[ ! -e "$shortcut" ] || fail "the shortcut is left"
"$wine_run" "$prefix" reg query "$key" >/dev/null 2>&1 && fail "the uninstall entry is left"
after=$(cd "$appdata/KelvoFwUpd" 2>/dev/null && ls -1 | sort)
[ "$after" = "$settings" ] || fail "the user's settings folder changed: '$settings' became '$after'"

[ "$failed" -eq 0 ] && echo "setup, installed programs and uninstall: as expected"
exit "$failed"
