#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs the whole test
# suite. With --unit, only the fast in-process tests (ctest label "unit");
# with --sanitize address|thread, the suite in that sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
labels=()
if [ "${1:-}" = "--unit" ]; then
  labels=(-L unit)
  shift
fi
scripts/setup.sh "$@"
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="$2"; fi
build="build${sanitize:+-$sanitize}"
# Leaks, races and undefined behaviour fail the run; see tests/tsan.supp
# for the few third-party internals ThreadSanitizer cannot see into.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Death tests fork while a fake's command reader runs, and the child starts
# threads of its own: ThreadSanitizer allows that only with die_after_fork=0.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$PWD/tests/tsan.supp}"
ctest --test-dir "$build" --output-on-failure -j2 "${labels[@]}"
