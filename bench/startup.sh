#!/usr/bin/env bash
# Measures the start-up of the console updater against kelvo-fwbuild, as a median of RUNS runs:
#   - the whole of `kelvo-fwupd-cli --version` and of `kelvo-fwbuild --help`;
#   - the time until the first log line of a simulated run reaches the pipe;
#   - the peak resident memory of a whole simulated update (/usr/bin/time -v).
# Usage: bench/startup.sh [BUILD_DIR] (default build/release; build it first). RUNS=N changes the
# number of runs (default 25).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${RUNS:-25}
cli=$build/app/kelvo-fwupd-cli
fwbuild=$build/tools/kelvo-fwbuild
for program in "$cli" "$fwbuild"; do
    [ -x "$program" ] || { echo "startup.sh: $program is missing; build it first" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "startup.sh: /usr/bin/time (GNU time) is needed" >&2; exit 2; }

# The simulated runs keep their journal and parameters in a folder of their own.
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
export XDG_DATA_HOME=$data

# timing MODE RUNS PROGRAM ARGS...: the median in milliseconds of RUNS runs, timed from just
# before the start of PROGRAM until its end (MODE whole) or its first line on stdout (MODE first).
timing() {
    perl -MTime::HiRes=time -e '
        my ($mode, $runs, @command) = @ARGV;
        my @times;
        for (1 .. $runs) {
            my $start = time;
            open(my $out, "-|", @command) or die "cannot start $command[0]: $!\n";
            if ($mode eq "first") {
                defined(<$out>) or die "$command[0] wrote no line\n";
                push @times, (time - $start) * 1000;
                1 while <$out>;
                close $out;
            } else {
                1 while <$out>;
                close $out;
                push @times, (time - $start) * 1000;
            }
            $? == 0 or die "$command[0] ended with status " . ($? >> 8) . "\n";
        }
        @times = sort { $a <=> $b } @times;
        printf "%.1f\n", $times[int(@times / 2)];
    ' "$@" 2>/dev/null
}

# The median of RUNS peak resident set sizes of a whole simulated update, in MB.
peak_rss() {
    local sizes=()
    for _ in $(seq "$runs"); do
        sizes+=("$(/usr/bin/time -f %M "$cli" --yes --latency-ms 0 --simulate optical-sensor 2>&1 >/dev/null |
            tail -n 1)")
    done
    printf '%s\n' "${sizes[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.1f\n", v[int(NR / 2) + 1] / 1024 }'
}

fwbuild_help=$(timing whole "$runs" "$fwbuild" --help)
cli_version=$(timing whole "$runs" "$cli" --version)
first_line=$(timing first "$runs" "$cli" --simulate optical-sensor --latency-ms 0)
rss=$(peak_rss)
echo "median of $runs runs ($build)"
echo "kelvo-fwbuild --help:                    $fwbuild_help ms"
echo "kelvo-fwupd-cli --version:               $cli_version ms"
echo "first log line of a simulated run:       $first_line ms"
echo "peak RSS of a whole simulated update:    $rss MB"
