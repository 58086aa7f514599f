#!/usr/bin/env bash
# run-in-vm.sh [--arg ARG]... GUEST_SCRIPT [PROGRAM...]
# Boots Debian's kernel under QEMU (TCG, no network device) with a busybox initramfs that holds
# the given programs (in /usr/local/bin, with every library ldd names and the dynamic loader),
# the USB/IP client modules and the udev daemon, runs GUEST_SCRIPT there with the ARGs and exits
# with its status. Its output comes back over the serial console. Exits 77 (skipped) when the machine
# cannot be started here, saying why; a guest that started and then hangs is a failure.
set -euo pipefail

skip() { echo "SKIPPED: $*"; exit 77; }

guest_args=()
while [ "${1:-}" = --arg ]; do
    guest_args+=("$2")
    shift 2
done
guest_script=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
timeout_s=${KELVO_VM_TIMEOUT:-300}

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (scripts/setup.sh installs it)"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && file -L "$busybox" | grep -q 'statically linked' ||
    skip "no statically linked busybox (package busybox-static)"
command -v cpio >/dev/null || skip "cpio is not installed"
kernel_tree=$("$here/../../scripts/vm-kernel.sh") || skip "Debian's kernel package could not be fetched"
kernel=$(ls "$kernel_tree"/boot/vmlinuz-* | head -n1)
modules=$(ls -d "$kernel_tree"/lib/modules/*/kernel/drivers/usb)

root=$(mktemp -d)
trap 'rm -rf "$root" "$root.cpio" "$root.log"' EXIT
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,usr/local/bin,proc,sys,dev,run,tmp,root,lib/kelvo-modules}

# A file and, for a program, every library it needs, each at its host path.
copy_with_libraries() {
    cp -L --parents "$1" "$root"
    ldd "$1" 2>/dev/null | grep -o '/[^ ]*' | while read -r library; do
        [ -e "$root$library" ] || cp -L --parents "$library" "$root"
    done
}
cp "$busybox" "$root/bin/busybox"
for program in "$@"; do
    cp -L "$program" "$root/usr/local/bin/"
    copy_with_libraries "$program"
done
for module in common/usb-common core/usbcore usbip/usbip-core usbip/vhci-hcd; do
    cp "$modules/$module.ko" "$root/lib/kelvo-modules/"
done
# The udev daemon, so that libusb's hotplug callbacks see devices come and go.
udevd=/lib/systemd/systemd-udevd
if [ -x "$udevd" ]; then
    copy_with_libraries "$udevd"
    copy_with_libraries "$(command -v udevadm)"
    mkdir -p "$root/lib/udev/rules.d" "$root/etc/udev"
    cp /lib/udev/rules.d/50-udev-default.rules "$root/lib/udev/rules.d/"
fi
cp "$guest_script" "$root/guest.sh"
printf '%s\n' "${guest_args[@]}" >"$root/guest.args"
cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
# Kernel messages stay off the console, so they never split the guest's output lines.
dmesg -n 1
ip link set lo up
for module in usb-common usbcore usbip-core vhci-hcd; do
    insmod /lib/kelvo-modules/$module.ko || echo "insmod $module failed"
done
if [ -x /lib/systemd/systemd-udevd ]; then
    /lib/systemd/systemd-udevd --daemon
    udevadm trigger --action=add
    udevadm settle
fi
echo KELVO-VM-READY
cd /root
# One argument per line of /guest.args.
IFS='
'
set -- $(cat /guest.args)
unset IFS
HOME=/root PATH=/usr/local/bin:/bin:/sbin:/usr/bin:/usr/sbin sh /guest.sh "$@" </dev/null
echo "KELVO-VM-EXIT $?"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$root.cpio"

log="$root.log"
set +e
timeout "$timeout_s" qemu-system-x86_64 -accel tcg -m 1024 -nographic -no-reboot -nic none \
    -kernel "$kernel" -initrd "$root.cpio" -append "console=ttyS0 panic=-1" </dev/null 2>&1 |
    tr -d '\r' >"$log"
set -e
grep -q '^KELVO-VM-READY$' "$log" || {
    tail -n 20 "$log"
    skip "the kernel did not start the guest within ${timeout_s} s"
}
sed -n '/^KELVO-VM-READY$/,/^KELVO-VM-EXIT /p' "$log" | sed '1d;/^KELVO-VM-EXIT /d'
status=$(sed -n 's/^KELVO-VM-EXIT \([0-9]*\)$/\1/p' "$log")
[ -n "$status" ] || { echo "the guest did not finish within ${timeout_s} s"; exit 1; }
exit "$status"
