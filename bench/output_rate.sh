#!/usr/bin/env bash
# Output: console lines per second at log level 7, to a file and to a pipe.
#  1. console output alone (console_output_bench): lines through the one output function,
#     flushed one by one as the event handler flushes after every event;
#  2. the whole program at -v7 under an advertising storm (100,000 advertisements/s for
#     10 s from the simulated dongle, continuous scanning): every report prints two lines.
# Compared with what the serial link can bring: about 2,170 reports/s, two lines each.
#   bench/output_rate.sh BUILD_DIR
set -euo pipefail

build="$1"
orvette="$build/orvette"
console_bench="$build/bench/console_output_bench"
storm_seconds=10
ceiling_lines=$((2170 * 2))

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "Console output alone, a flush after every line:"
printf "  to a file: "
{ "$console_bench" >"$work/console.txt"; } 2>&1
printf "  to a pipe: "
{ "$console_bench" 2>&3 | cat >/dev/null; } 3>&1

cat >"$work/storm.json" <<JSON
{ "name": "output benchmark", "seed": 3,
  "faults": [ { "type": "adv_storm", "from_ms": 2000, "until_ms": $((2000 + storm_seconds * 1000)),
                "rate_per_s": 100000 } ] }
JSON
storm_lines='does not have 128-bit UUID|Scan re-start succeeded'
run_storm() {
    (sleep $((storm_seconds + 3)); echo q) |
        "$orvette" "-csim:$work/storm.json" -u00000000000000000000000000000001 -s -v7 -i160 -w160
}

echo "The program at -v7 under an advertising storm of ${storm_seconds} s (simulated dongle included):"
run_storm >"$work/storm.txt"
to_file="$(grep -cE "$storm_lines" "$work/storm.txt" || true)"
to_pipe="$(run_storm | grep -cE "$storm_lines" || true)"
awk -v f="$to_file" -v p="$to_pipe" -v s="$storm_seconds" -v c="$ceiling_lines" 'BEGIN {
    printf "  to a file: %.0f lines/s (%.0f reports/s)\n", f / s, f / s / 2
    printf "  to a pipe: %.0f lines/s (%.0f reports/s)\n", p / s, p / s / 2
    printf "  limit: the serial link brings at most about 2,170 reports/s = %d lines/s at -v7\n", c
}'
