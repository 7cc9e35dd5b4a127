#!/usr/bin/env bash
# Throughput and idle cost of orvane-host on the simulated counter; too long
# for the test suite, run by hand:
#   bash tests/host/measure_host.sh [build-dir] [idle-seconds]
# 1. The counter answers at once: readings per second written to the file.
# 2. The counter answers once a second: processor time of the whole process
#    (host, driver and in-process simulator) over idle-seconds, sampled from
#    /proc/<pid>/stat after the connection is up.
set -eu
build=${1:-build/default}
idle=${2:-60}
host="$build/host/orvane-host"
module="$build/driver/U6200A.ovd"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A test elsewhere on the machine may hold the loopback interface's mark.
export ORVANE_MARK_DIR="$work/marks"

echo "== throughput (gate time 0, 20 s)"
"$host" --module "$module" --simulate --sim-gate-ms 0 --seconds 20 --quiet \
  --settings-folder "$work/cfg" -o "$work/fast.txt" >"$work/fast.log" 2>&1
lines=$(grep -vc '^#' "$work/fast.txt")
summary=$(grep 'written to' "$work/fast.log")
echo "$summary"
echo "readings in file: $lines"

echo "== idle cost (one reading per second, $idle s)"
"$host" --module "$module" --simulate --sim-gate-ms 1000 --seconds $((idle + 10)) --quiet \
  --settings-folder "$work/cfg" -o "$work/slow.txt" >"$work/slow.log" 2>&1 &
pid=$!
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
sleep 5
t0=$(date +%s.%N)
c0=$(ticks)
sleep "$idle"
c1=$(ticks)
t1=$(date +%s.%N)
kill -INT "$pid"
wait "$pid" || true
awk -v c0="$c0" -v c1="$c1" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {
  cpu = (c1 - c0) / hz; wall = t1 - t0;
  printf "processor time %.2f s over %.1f s: %.3f%% of one core\n", cpu, wall, 100 * cpu / wall }'
echo "readings in file: $(grep -vc '^#' "$work/slow.txt")"
