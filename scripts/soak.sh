#!/usr/bin/env bash
# The soak run: orvette against the simulated dongle with five phones in a crowded room and
# a round of faults every four simulated minutes, for the given number of simulated hours
# (default 2), the clock running 50 times real time (ORVETTE_SOAK_TIME_SCALE changes it).
#   scripts/soak.sh [hours]
# Checked from the trace and the console: every phone comes back, connected and discovered,
# after every disconnection; no set-up outlasts its limits; memory stays flat. The
# scenario, trace, console, resident memory samples (rss.csv) and summary stay in
# build-normal/soak-<time>/. See docs/soak.md.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

hours="${1:-2}"
minutes="$(awk -v h="$hours" 'BEGIN { m = h * 60; if (m <= 0) exit 1; print m }')" || {
    echo "usage: scripts/soak.sh [hours]   (a positive number, e.g. 0.5 or 2)" >&2
    exit 2
}

ensure_packages
configure_and_build normal orvette soak_tests
dir="$(build_dir normal)"
out="$dir/soak-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"

echo "Soak: $hours simulated hour(s) at x${ORVETTE_SOAK_TIME_SCALE:-50}; files in $out"
ORVETTE_SOAK_MINUTES="$minutes" ORVETTE_SOAK_DIR="$out" \
    "$dir/tests/soak/soak_tests" --gtest_filter='Soak.*' --gtest_brief=0
