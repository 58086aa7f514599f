#!/usr/bin/env bash
# Fetches Debian's current kernel package once into a cache folder, unpacks it there and prints
# the unpacked folder (boot/vmlinuz-*, lib/modules/*/kernel/drivers/usb). Later calls only print the folder.
# The cache folder is $KELVO_VM_CACHE, else $XDG_CACHE_HOME/kelvo-vm, else ~/.cache/kelvo-vm.
set -euo pipefail

cache="${KELVO_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvo-vm}"
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n1)
if [ -z "$package" ]; then
    echo "vm-kernel: apt-cache names no kernel package behind linux-image-amd64 (run apt-get update)" >&2
    exit 1
fi
unpacked="$cache/$package"
if ! compgen -G "$unpacked/boot/vmlinuz-*" >/dev/null; then
    mkdir -p "$cache"
    scratch=$(mktemp -d "$cache/fetch.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    # The download runs as the calling user; apt's sandbox user may not write the scratch folder.
    (cd "$scratch" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$package" >&2)
    dpkg-deb -x "$scratch"/"$package"_*.deb "$scratch/tree"
    # Keep the kernel and its USB modules only; the rest of the module tree is never loaded.
    find "$scratch/tree/lib/modules" -mindepth 2 -maxdepth 2 ! -name kernel -exec rm -rf {} +
    find "$scratch/tree/lib/modules"/*/kernel -mindepth 1 -maxdepth 1 ! -name drivers -exec rm -rf {} +
    find "$scratch/tree/lib/modules"/*/kernel/drivers -mindepth 1 -maxdepth 1 ! -name usb -exec rm -rf {} +
    rm -rf "$scratch/tree/usr"
    rm -rf "$unpacked"
    mv "$scratch/tree" "$unpacked"
fi
echo "$unpacked"
