#!/usr/bin/env bash
# Builds Orvette and runs it against the simulated dongle with two monitored phones at
# logging level 2. Extra arguments are passed on (for example -s, -v4, or -csim:FILE to
# load a scenario; a later -c replaces the port). Type 's' and Enter for statistics,
# 'q' and Enter to quit.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages
configure_and_build normal orvette >&2
exec "$(build_dir normal)/orvette" -csim -ua0a489971097bba1b343eddd8f50f6ac \
    -ufeedfeadfeadfeadfeadfeadfeadfead -v2 "$@"
