#!/usr/bin/env bash
# deb-install.sh BUILD_DIR: makes the .deb with cpack, unpacks it into a scratch root with dpkg -x
# and runs the console updater from there; it must answer --version as the build's own does. Each
# program comes with its manual page, and the package with its changelog and copyright.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" ||
    { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/contents"
programs=(kelvo-fwupd-cli kelvo-fwbuild kelvo-trace)
if grep -q '^KELVO_BUILD_QT:BOOL=ON$' "$build/CMakeCache.txt"; then
    programs+=(kelvo-fwupd)
fi
expected=(/usr/lib/udev/rules.d/60-kelvo-fwupd.rules
          /usr/share/doc/kelvo-fwupd/changelog.gz /usr/share/doc/kelvo-fwupd/copyright)
for program in "${programs[@]}"; do
    expected+=("/usr/bin/$program")
    # The manual pages are made only where help2man was found.
    grep -q '^KELVO_HELP2MAN:FILEPATH=.*-NOTFOUND$' "$build/CMakeCache.txt" ||
        expected+=("/usr/share/man/man1/$program.1.gz")
done
if grep -q '^KELVO_BUILD_QT:BOOL=ON$' "$build/CMakeCache.txt"; then
    expected+=(/usr/share/applications/kelvo-fwupd.desktop
               /usr/share/icons/hicolor/scalable/apps/kelvo-fwupd.svg)
fi
for file in "${expected[@]}"; do
    grep -qx "$file" "$scratch/contents" || { echo "missing from $(basename "$deb"): $file"; exit 1; }
done

dpkg -x "$deb" "$scratch/root"
installed=$("$scratch/root/usr/bin/kelvo-fwupd-cli" --version)
built=$("$build/app/kelvo-fwupd-cli" --version)
echo "$installed"
[ "$installed" = "$built" ] || { echo "the build says: $built"; exit 1; }
