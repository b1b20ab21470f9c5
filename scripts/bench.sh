#!/usr/bin/env bash
# Builds the benchmark programs (Release, in build-bench/) and runs them all, printing each
# figure next to the limit it is compared with:
#   advertising pipeline  bench/adv_pipeline_bench.cpp (Google Benchmark, in-process)
#   HCI backend           bench/hci_bench.cpp (Google Benchmark: the H4 parser, and a report
#                         from the transport to the program's handler)
#   discovery             bench/discovery_bench.cpp (orvette against the simulated dongle)
#   idle cost             bench/idle_cost.sh (orvette, default world, 60 s in real time)
#   console output        bench/output_rate.sh (to a file and to a pipe, at -v7)
# Extra arguments go to the advertising pipeline program (for example
# --benchmark_filter=one_at_a_time). Takes about four minutes.
#
# With ORVETTE_BENCH_BASELINE set to a git revision (for example main), that revision's
# programs are built too (in build-bench-baseline/) and the advertising pipeline one report
# at a time and the console output are run for both, alternately, in the same run, so that
# the two sets of figures share the machine's state.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ORVETTE_PACKAGES+=(libbenchmark-dev)
ensure_packages

dir="${ORVETTE_BENCH_DIR:-$ORVETTE_ROOT/build-bench}"
cmake -S "$ORVETTE_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVETTE_SANITIZE= \
    -DORVETTE_BUILD_TESTS=OFF -DORVETTE_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --target orvette adv_pipeline_bench hci_bench discovery_bench \
    console_output_bench hci_flood_memory \
    -- -j"${ORVETTE_JOBS:-2}" >/dev/null

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo
echo "=== advertising pipeline ==="
"$dir/bench/adv_pipeline_bench" "$@"
echo
echo "=== HCI backend ==="
"$dir/bench/hci_bench"
echo
echo "=== discovery ==="
"$dir/bench/discovery_bench"
echo
echo "=== idle cost ==="
status=0
"$ORVETTE_ROOT/bench/idle_cost.sh" "$dir/orvette" 60 || status=1
echo
echo "=== console output ==="
"$ORVETTE_ROOT/bench/output_rate.sh" "$dir"

if [ -n "${ORVETTE_BENCH_BASELINE:-}" ]; then
    baseline="${dir}-baseline"
    revision="$(git -C "$ORVETTE_ROOT" rev-parse "$ORVETTE_BENCH_BASELINE^{commit}")"
    # The same revision as last time keeps its sources, so that its build is only checked.
    if [ "$(cat "$baseline/src.revision" 2>/dev/null)" != "$revision" ]; then
        rm -rf "$baseline/src"
        mkdir -p "$baseline/src"
        git -C "$ORVETTE_ROOT" archive "$revision" | tar -x -C "$baseline/src"
        echo "$revision" >"$baseline/src.revision"
    fi
    cmake -S "$baseline/src" -B "$baseline/build" -DCMAKE_BUILD_TYPE=Release -DORVETTE_SANITIZE= \
        -DORVETTE_BUILD_TESTS=OFF -DORVETTE_BUILD_BENCH=ON >/dev/null
    cmake --build "$baseline/build" --target orvette adv_pipeline_bench console_output_bench \
        -- -j"${ORVETTE_JOBS:-2}" >/dev/null
    echo
    echo "=== side by side: $ORVETTE_BENCH_BASELINE ($(git -C "$ORVETTE_ROOT" rev-parse --short "$ORVETTE_BENCH_BASELINE")) and this tree, alternately ==="
    echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"
    for round in 1 2; do
        for side in baseline this; do
            if [ "$side" = baseline ]; then build="$baseline/build"; else build="$dir"; fi
            echo "--- round $round, $side: advertising pipeline, one report at a time"
            "$build/bench/adv_pipeline_bench" --benchmark_filter=one_at_a_time 2>/dev/null |
                sed -n '/^Advertising pipeline/,$p'
        done
    done
    for side in baseline this; do
        if [ "$side" = baseline ]; then build="$baseline/build"; else build="$dir"; fi
        echo "--- $side: console output"
        "$ORVETTE_ROOT/bench/output_rate.sh" "$build"
    done
fi
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
exit "$status"
