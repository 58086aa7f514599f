# guest-trace.sh DEVICE...
# Records each simulated sensor DEVICE (the --simulate grammar), one after the other, as a real USB
# device that this kernel sees through USB/IP (kelvo-usbip-bench --attach-local) and kelvo-trace
# reaches through libusb: the recording must give points, and the capture it writes must decode
# into the very same CSV.

fail() {
    echo "FAILED: $*"
    for file in /tmp/server.log /tmp/trace.err /tmp/decode.err; do
        [ -s $file ] && { echo "--- $file"; cat $file; }
    done
    exit 1
}

# Whether a device of the family's vendor id is on the bus.
family_device_present() {
    grep -qx 1209 /sys/bus/usb/devices/*/idVendor 2>/dev/null
}

# Waits up to 60 s until family_device_present answers $1 (0: present, 1: gone).
wait_for_device() {
    waited=0
    while true; do
        family_device_present
        [ $? -eq "$1" ] && return 0
        [ $waited -ge 600 ] && return 1
        sleep 0.1
        waited=$((waited + 1))
    done
}

port=3240
for device in "$@"; do
    port=$((port + 1))
    kelvo-usbip-bench --attach-local --port $port --latency-ms 0 --simulate "$device" >/tmp/server.log 2>&1 &
    server=$!
    wait_for_device 0 || fail "$device did not show up on the bus"
    started=$(date +%s)
    kelvo-trace record --seconds 2 --csv /tmp/trace.csv --capture /tmp/trace.bin 2>/tmp/trace.err ||
        fail "kelvo-trace record from $device"
    points=$(($(wc -l </tmp/trace.csv) - 1))
    echo "$device: $points points in 2 s through the kernel ($(($(date +%s) - started)) s with the search)"
    [ $points -ge 10 ] || fail "$device gave $points points"
    head -n 3 /tmp/trace.csv
    options=$(sed -n 's/.*read it with: kelvo-trace decode \(.*\) \/tmp\/trace\.bin$/\1/p' /tmp/trace.err)
    [ -n "$options" ] || fail "kelvo-trace record did not say how to decode its capture"
    echo "decode $options"
    kelvo-trace decode $options /tmp/trace.bin >/tmp/decoded.csv 2>/tmp/decode.err || fail "kelvo-trace decode"
    cmp /tmp/decoded.csv /tmp/trace.csv || fail "the capture of $device does not decode into the recorded points"
    kill -TERM $server
    wait $server || fail "kelvo-usbip-bench serving $device"
    # The next sensor must be the only one on the bus.
    wait_for_device 1 || fail "$device stayed on the bus after its server ended"
done
