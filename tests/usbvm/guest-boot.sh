# The guest is usable: the USB/IP client's host controller is there and our program runs.
set -e
test -e /sys/devices/platform/vhci_hcd.0/attach
kelvo-fwupd-cli --version
