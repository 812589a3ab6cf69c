#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs the whole test
# suite. With --sanitize address|thread, runs it in that sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh "$@"
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; fi
build="build${sanitize:+-$sanitize}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp}"
ctest --test-dir "$build" --output-on-failure -j2
