# guest-trace.sh DEVICE...
# Records each simulated sensor DEVICE (the --simulate grammar), one after the other, as a real USB
# device that this kernel sees through USB/IP (kelvo-usbip-bench --attach-local) and kelvo-trace
# reaches through libusb: the recording must give points, and the capture it writes must decode
# into the very same CSV. Then an optical sensor is pulled out during a recording: the recording
# must fail and keep the points it had.

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

kelvo-usbip-bench --attach-local --port $((port + 1)) --latency-ms 0 --simulate optical-sensor \
    >/tmp/server.log 2>&1 &
server=$!
wait_for_device 0 || fail "the optical sensor did not show up on the bus"
kelvo-trace record --seconds 8 --csv /tmp/trace.csv 2>/tmp/trace.err &
record=$!
# Recording by then: finding and opening the sensor takes a second or two here.
sleep 5
kill -TERM $server
wait $server
wait $record
status=$?
points=$(($(wc -l </tmp/trace.csv) - 1))
echo "pulled out during the recording: status $status, $points points kept"
cat /tmp/trace.err
[ $status -eq 1 ] || fail "a recording whose sensor was pulled out ended with status $status"
grep -q "did not answer at the end" /tmp/trace.err || fail "the recording did not say the sensor went away"
[ $points -ge 10 ] || fail "the recording kept $points points"
