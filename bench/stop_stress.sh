#!/usr/bin/env bash
# Stop stress: launches quorvel many times (default 200) and stops each at
# a random moment after "listening" by a stop word, end of input, SIGTERM,
# SIGINT or two signals; every launch must exit 0 with "stopped" last and
# every line must parse.
#   bench/stop_stress.sh [launches]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh > /dev/null
QUORVEL_STRESS_LAUNCHES="${1:-200}" build/quorvel_tests --gtest_filter='StopStressTest.*'
