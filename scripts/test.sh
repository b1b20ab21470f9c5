#!/usr/bin/env bash
# Builds Orvette and its tests and runs the whole suite with CTest.
#   scripts/test.sh [normal|asan|tsan] [extra ctest arguments...]
# normal: plain build; asan: AddressSanitizer + UndefinedBehaviorSanitizer; tsan:
# ThreadSanitizer. Each variant has its own build folder, build-<variant>.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

variant="${1:-normal}"
shift || true

ensure_packages
configure_and_build "$variant"
dir="$(build_dir "$variant")"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
# Records, event objects and driver layers live until the process ends by design; the
# suppressions name exactly those so that any other leak still fails its test.
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ORVETTE_ROOT/scripts/lsan-suppressions.txt:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1:halt_on_error=0}"

prefix=""
if [ "$variant" = "tsan" ]; then
    prefix="$(tsan_prefix "$dir/tests/unit_tests")"
    if [ -n "$prefix" ]; then
        echo "Running the ThreadSanitizer suite under: $prefix"
    fi
fi

cd "$dir"
# The prefix is inherited by every test process ctest starts.
$prefix ctest --output-on-failure -j"${ORVETTE_JOBS:-2}" "$@"
