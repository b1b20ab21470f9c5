#!/usr/bin/env bash
# Folds what the fuzzers found (build-fuzz/corpus/<harness>, from scripts/fuzz.sh) into the
# committed seed corpora, minimised: each harness merges its seeds and its findings into a
# fresh folder (libFuzzer's -merge=1 keeps the smallest inputs that reach every feature),
# and the seed folder's content is replaced by that merge's result.
#   scripts/fuzz-merge.sh [harness...]
# Uses the harnesses as scripts/fuzz.sh built them; run that first.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

harnesses=("$@")
if [ "${#harnesses[@]}" -eq 0 ]; then
    harnesses=(adv_data_fuzz event_script_fuzz scenario_fuzz hci_stream_fuzz hci_host_fuzz)
fi
dir="${ORVETTE_FUZZ_BUILD_DIR:-$ORVETTE_ROOT/build-fuzz}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ORVETTE_ROOT/scripts/lsan-suppressions.txt:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

for harness in "${harnesses[@]}"; do
    seeds="$ORVETTE_ROOT/fuzz/corpus/$harness"
    found="$dir/corpus/$harness"
    merged="$(mktemp -d)"
    options=(-merge=1 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 -close_fd_mask=1)
    if [ "$harness" = "scenario_fuzz" ]; then
        options+=(-max_len=8192)
    fi
    run=("$dir/fuzz/$harness")
    if [ "$harness" = "hci_host_fuzz" ] && command -v taskset >/dev/null; then
        run=(taskset -c "$(($(nproc) - 1))" "${run[@]}")
    fi
    mkdir -p "$found"
    before="$(find "$seeds" -type f | wc -l)"
    if ! "${run[@]}" "${options[@]}" "$merged" "$seeds" "$found" >"$dir/$harness.merge.log" 2>&1; then
        echo "$harness: the merge failed, seeds left as they were; see $dir/$harness.merge.log"
        rm -rf "$merged"
        exit 1
    fi
    find "$seeds" -type f -delete
    cp "$merged"/* "$seeds"/
    rm -rf "$merged"
    echo "$harness: $before seeds before, $(find "$seeds" -type f | wc -l) after," \
        "$(du -sk --apparent-size "$seeds" | cut -f1) KB"
done
