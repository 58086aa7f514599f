# guest-update.sh DEVICE log|state
# Updates the simulated device DEVICE (the --simulate grammar) twice: on the simulated bench, and as
# a real USB device that this kernel sees through USB/IP (kelvo-usbip-bench --attach-local) and the
# updater reaches through libusb. Both must end with the same last log line and the same final
# device state; with "log" every log line on stdout must be the same. (An interrupted update may
# log differently: on a real bus the removal notice can come after the failed transfer.)
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
HOME=/root/kernel kelvo-fwupd-cli --yes >/tmp/kernel.log 2>/tmp/kernel.err &
updater=$!
# On the real bus the updater runs until it is closed: once the log has reached the bench's last
# line (or 5 minutes have passed), a second more for any line after it, then close it.
waited=0
until [ "$(tail -n 1 /tmp/kernel.log)" = "$last" ] || [ $waited -ge 3000 ]; do
    sleep 0.1
    waited=$((waited + 1))
done
sleep 1
kill -TERM $updater
wait $updater
echo "update through the kernel: $(($(date +%s) - started)) s (updater exit status $?)"
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
