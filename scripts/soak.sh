#!/usr/bin/env bash
# The soak run: orvette against the simulated dongle with five phones in a crowded room and
# a round of faults every four simulated minutes, for the given number of simulated hours
# (default 2). The clock runs 50 times real time for runs of up to two hours and 20 times
# for longer ones, which the simulated world keeps up with on a shared two-core machine
# (ORVETTE_SOAK_TIME_SCALE sets it; docs/soak.md says why).
#   scripts/soak.sh [hours]
# Checked from the trace and the console: every phone comes back, connected and discovered,
# after every disconnection; no set-up outlasts its limits; memory stays flat. Progress
# shows every few seconds on a terminal, once a simulated hour elsewhere. The scenario,
# trace, console, resident memory samples (rss.csv) and summary stay in
# build-normal/soak-<time>/. See docs/soak.md.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

hours="${1:-2}"
minutes="$(awk -v h="$hours" 'BEGIN { m = h * 60; if (m <= 0) exit 1; print m }')" || {
    echo "usage: scripts/soak.sh [hours]   (a positive number, e.g. 0.5 or 2)" >&2
    exit 2
}

if [ -z "${ORVETTE_SOAK_TIME_SCALE:-}" ]; then
    if awk -v h="$hours" 'BEGIN { exit !(h > 2) }'; then
        ORVETTE_SOAK_TIME_SCALE=20
    else
        ORVETTE_SOAK_TIME_SCALE=50
    fi
fi
export ORVETTE_SOAK_TIME_SCALE

ensure_packages
if [ -n "${ORVETTE_RECOVERY_SOAK_MINUTES:-}" ]; then
    configure_and_build normal orvette soak_tests btvirt_soak_tests
else
    configure_and_build normal orvette soak_tests
fi
dir="$(build_dir normal)"
out="$dir/soak-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"

real_minutes="$(awk -v m="$minutes" -v x="$ORVETTE_SOAK_TIME_SCALE" 'BEGIN { printf "%.0f", m / x }')"
echo "Soak: $hours simulated hour(s) at x$ORVETTE_SOAK_TIME_SCALE, about $real_minutes real minute(s); files in $out"
ORVETTE_SOAK_MINUTES="$minutes" ORVETTE_SOAK_DIR="$out" \
    "$dir/tests/soak/soak_tests" --gtest_filter='Soak.EveryPhone*' --gtest_brief=0

# With ORVETTE_RECOVERY_SOAK_MINUTES set, the HCI road's recovery soak follows: the program on
# BlueZ's controller emulator, its controller lost every five program minutes in turn by a
# Hardware Error, a cut socket and noise (docs/btvirt.md).
if [ -n "${ORVETTE_RECOVERY_SOAK_MINUTES:-}" ]; then
    echo "Recovery soak: $ORVETTE_RECOVERY_SOAK_MINUTES program minute(s) on the controller emulator"
    "$dir/tests/btvirt/btvirt_soak_tests" --gtest_brief=0
fi
