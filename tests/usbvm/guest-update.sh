# guest-update.sh DEVICE log|state
# Updates the simulated device DEVICE (the --simulate grammar) twice: on the simulated bench, and as
# a real USB device that this kernel sees through USB/IP (kelvo-usbip-bench --attach-local) and the
# updater reaches through libusb with --once, which must end by itself with status 0. Both must end
# with the same last log line and the same final device state; with "log" every log line on stdout
# must be the same. (An interrupted update may log differently: on a real bus the removal notice can
# come after the failed transfer.)
device=$1
compare=$2

fail() {
    echo "FAILED: $*"
    for file in /tmp/bench.err /tmp/server.log /tmp/kernel.log /tmp/kernel.err /tmp/list.txt; do
        [ -s $file ] && { echo "--- $file"; cat $file; }
    done
    exit 1
}

HOME=/root/bench kelvo-fwupd-cli --yes --latency-ms 0 --simulate "$device" --sim-report /tmp/bench.json \
    >/tmp/bench.log 2>/tmp/bench.err || fail "the update on the simulated bench"
last=$(tail -n 1 /tmp/bench.log)

started=$(date +%s)
kelvo-usbip-bench --attach-local --latency-ms 0 --simulate "$device" --sim-report /tmp/kernel.json \
    >/tmp/server.log 2>&1 &
server=$!
# --once updates the devices present at start: the device must be on the bus first (up to 60 s).
waited=0
until grep -qx 1209 /sys/bus/usb/devices/*/idVendor 2>/dev/null; do
    [ $waited -ge 600 ] && fail "the device did not show up on the bus"
    sleep 0.1
    waited=$((waited + 1))
done
HOME=/root/kernel kelvo-fwupd-cli --yes --once >/tmp/kernel.log 2>/tmp/kernel.err &
updater=$!
# The updater ends by itself once the device is back updated; one still running after 4 minutes
# is stopped, and that is a failure.
(sleep 240 && touch /tmp/updater.stopped && kill -TERM $updater) &
watchdog=$!
wait $updater
status=$?
kill $watchdog 2>/dev/null
echo "update through the kernel: $(($(date +%s) - started)) s (updater exit status $status)"
[ -e /tmp/updater.stopped ] && fail "kelvo-fwupd-cli --once did not end by itself"
[ $status -eq 0 ] || fail "kelvo-fwupd-cli --once ended with status $status"
# The device, back from its bootloader, as the updater lists what it finds on the bus.
product=$(sed -n 's/.*"product_id": \([0-9]*\).*/\1/p' /tmp/bench.json | head -n 1)
HOME=/root/kernel kelvo-fwupd-cli --list >/tmp/list.txt 2>&1
cat /tmp/list.txt
grep -q "product $product " /tmp/list.txt || fail "kelvo-fwupd-cli --list does not show product $product"
kill -TERM $server
wait $server || fail "kelvo-usbip-bench"

[ "$(tail -n 1 /tmp/kernel.log)" = "$last" ] || fail "the update through the kernel did not end as on the bench"
if [ "$compare" = log ]; then
    diff -u /tmp/bench.log /tmp/kernel.log || fail "the logs differ"
else
    diff -u /tmp/bench.log /tmp/kernel.log
fi
diff -u /tmp/bench.json /tmp/kernel.json || fail "the devices' final states differ"
cat /tmp/kernel.log
echo "--- final state"
cat /tmp/kernel.json
