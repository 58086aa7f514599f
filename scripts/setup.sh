#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Does nothing when they are all present. Run as root, or as a user with sudo.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    zlib1g-dev libcurl4-openssl-dev libusb-1.0-0-dev qt6-base-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-dev
    xvfb xauth fonts-dejavu-core nsis imagemagick
    qemu-system-x86 busybox-static cpio udev lintian help2man
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 googletest
    python3-jsonschema
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
