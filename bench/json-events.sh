#!/usr/bin/env bash
# Measures what --json costs a whole simulated update at --latency-ms 0, as a median of RUNS runs
# with and without it, for an optical sensor (one USB flash) and a wireless controller with eight
# targets (eight radio flashes of 8-byte blocks, the most progress reports a run gives):
#   - until the update's last line ("SUCCESS! Firmware updated." for the sensor, the eighth
#     "Firmware updated successfully!" for the targets) reaches the pipe;
#   - the whole run, which ends after the bench has been quiet for 1 s.
# Usage: bench/json-events.sh [BUILD_DIR] (default build/release; build it first). RUNS=N changes
# the number of runs (default 11).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${RUNS:-11}
cli=$build/app/kelvo-fwupd-cli
[ -x "$cli" ] || { echo "json-events.sh: $cli is missing; build it first" >&2; exit 2; }

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# timing RUNS PATTERN COUNT PROGRAM ARGS...: two medians in milliseconds of RUNS runs, each in a
# fresh user folder: until the COUNTth line matching PATTERN reaches the pipe, and until the end.
timing() {
    perl -MTime::HiRes=time -e '
        my ($runs, $data, $pattern, $count, @command) = @ARGV;
        my (@until, @whole);
        for my $run (1 .. $runs) {
            $ENV{XDG_DATA_HOME} = "$data/$run-" . rand();
            mkdir $ENV{XDG_DATA_HOME};
            my $start = time;
            my $seen = 0;
            my $at;
            open(my $out, "-|", @command) or die "cannot start $command[0]: $!\n";
            while (<$out>) {
                $at = time if !defined $at && /$pattern/ && ++$seen == $count;
            }
            close $out;
            push @whole, (time - $start) * 1000;
            defined $at or die "$command[0]: no line matched $pattern $count times\n";
            push @until, ($at - $start) * 1000;
        }
        my $median = sub { my @t = sort { $a <=> $b } @_; $t[int(@t / 2)] };
        printf "%.0f ms until the update ended, %.0f ms the whole run\n", $median->(@until), $median->(@whole);
    ' "$runs" "$data" "$@" 2>/dev/null
}

targets=wireless-controller
for i in 1 2 3 4 5 6 7 8; do targets+=",t$i=12:3:11"; done
common=(--yes --latency-ms 0 --firmware-server http://127.0.0.1:1/downloads/fw/)
echo "median of $runs runs, --latency-ms 0"
for bench in "optical-sensor|SUCCESS! Firmware updated.|1" "$targets|Firmware updated successfully!|8"; do
    IFS='|' read -r device pattern count <<<"$bench"
    echo "${device%%,*}:"
    printf '  log lines: '
    timing "$pattern" "$count" "$cli" "${common[@]}" --simulate "$device"
    printf '  --json:    '
    timing "$pattern" "$count" "$cli" "${common[@]}" --json --simulate "$device"
done
