#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for the given number of seconds (default 60), one after the
# other:
#   scripts/fuzz.sh [seconds] [harness...]
# Each harness starts from its committed seed corpus in fuzz/corpus/<harness>; what it
# finds on the way goes to build-fuzz/corpus/<harness>, a failing input to
# build-fuzz/artifacts/. A crash, a sanitizer report, a leak, an input that runs longer than
# 10 s or memory above 2 GB fails the script. Executions per harness are printed at the end.
# With ORVETTE_FUZZ_RUNS set, each harness runs that many executions instead, however long
# they take (the seconds are then ignored; give 0). Each harness's log is
# <build>/<harness>.log, or <harness>.log in ORVETTE_FUZZ_LOG_DIR if set.
# With ORVETTE_FUZZ_JOBS=N (default 1), each harness runs as N processes on one corpus,
# libFuzzer's own -jobs mode, each for the given length; their logs are fuzz-<n>.log in
# <harness>.jobs/ beside the harness's log, and the summary adds their executions up.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds="${1:-60}"
shift || true
harnesses=("$@")
if [ "${#harnesses[@]}" -eq 0 ]; then
    harnesses=(adv_data_fuzz event_script_fuzz scenario_fuzz hci_stream_fuzz hci_host_fuzz)
fi

ORVETTE_PACKAGES+=(clang libclang-rt-14-dev libfuzzer-14-dev)
ensure_packages

jobs="${ORVETTE_FUZZ_JOBS:-1}"
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
    echo "ORVETTE_FUZZ_JOBS: a number of processes (1 or more), not '$jobs'" >&2
    exit 2
fi

dir="$(realpath -m "${ORVETTE_FUZZ_BUILD_DIR:-$ORVETTE_ROOT/build-fuzz}")"
cmake -S "$ORVETTE_ROOT" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DORVETTE_SANITIZE=address \
    -DORVETTE_BUILD_FUZZ=ON -DORVETTE_BUILD_TESTS=OFF >/dev/null
for harness in "${harnesses[@]}"; do
    cmake --build "$dir" --target "$harness" -- -j"${ORVETTE_JOBS:-2}"
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
# The process-lifetime allocations (driver layers, event objects) are not leaks.
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ORVETTE_ROOT/scripts/lsan-suppressions.txt:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

mkdir -p "$dir/artifacts"
declare -A outcome executions wall
failed=0
for harness in "${harnesses[@]}"; do
    work="$dir/corpus/$harness"
    mkdir -p "$work"
    if [ -n "${ORVETTE_FUZZ_RUNS:-}" ]; then
        options=(-runs="$ORVETTE_FUZZ_RUNS")
        length="${ORVETTE_FUZZ_RUNS} executions"
    else
        options=(-max_total_time="$seconds")
        length="${seconds} s"
    fi
    options+=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$harness-")
    if [ -f "$ORVETTE_ROOT/fuzz/$harness.dict" ]; then
        options+=(-dict="$ORVETTE_ROOT/fuzz/$harness.dict")
    fi
    if [ "$harness" = "scenario_fuzz" ]; then
        options+=(-max_len=8192)
    fi
    echo "=== $harness: $length ==="
    log="${ORVETTE_FUZZ_LOG_DIR:-$dir}/$harness.log"
    mkdir -p "$(dirname "$log")"
    # Where the runs' own stats are: the one log, or the jobs' logs (their copies in the one
    # log would count twice).
    run_logs=("$log")
    run_dir="$PWD"
    if [ "$jobs" -gt 1 ]; then
        options+=(-jobs="$jobs" -workers="$jobs")
        run_dir="${log%.log}.jobs"
        rm -rf "$run_dir"
        mkdir -p "$run_dir"
        run_logs=()
        for ((job = 0; job < jobs; ++job)); do run_logs+=("$run_dir/fuzz-$job.log"); done
    fi
    if (cd "$run_dir" && "$dir/fuzz/$harness" "${options[@]}" "$work" \
        "$ORVETTE_ROOT/fuzz/corpus/$harness") >"$log" 2>&1; then
        outcome[$harness]="passed"
    else
        outcome[$harness]="FAILED"
        failed=1
        # The report of what went wrong, without the progress lines before it (in -jobs
        # mode libFuzzer copies each job's log into this one as the job ends).
        grep -v -E '^#[0-9]+' "$log" | tail -60 || true
    fi
    executions[$harness]="$(cat "${run_logs[@]}" 2>/dev/null |
        awk '/^stat::number_of_executed_units:/ { n += $2; seen = 1 } END { if (seen) print n }')"
    for run_log in "${run_logs[@]}"; do
        grep -E '^#[0-9]+ *DONE' "$run_log" 2>/dev/null | tail -1
    done || true
    wall[$harness]="$(cat "${run_logs[@]}" 2>/dev/null |
        sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' | sort -n | tail -1)"
done

echo "=== fuzzing summary ==="
for harness in "${harnesses[@]}"; do
    echo "$harness: ${outcome[$harness]}, ${executions[$harness]:-?} executions in ${wall[$harness]:-$seconds} s"
done
exit "$failed"
