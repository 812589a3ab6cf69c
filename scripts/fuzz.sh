#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, ASan and UBSan (in
# build-fuzz/) and runs each for a bounded time from its seed corpus. Fails
# on a crash, a sanitizer report or a broken property; the input that did it
# is kept in build-fuzz/crashes/<target>/. Inputs saved in
# tests/fuzz/regressions/<target>/ are replayed first.
#   scripts/fuzz.sh                    every target, 60 s each
#   scripts/fuzz.sh 10                 every target, 10 s each
#   FUZZ_SECONDS=10 scripts/fuzz.sh    the same
#   scripts/fuzz.sh 30 event_writer    only the named targets, 30 s each
#   scripts/fuzz.sh command_lines      only the command lines, 60 s
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds="$1"
  shift
fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "fuzz: the time per target must be a positive number of seconds" >&2
  exit 2
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(event_writer command_lines)
fi

# Packages (clang and its fuzzer runtime among them) and the normal build.
scripts/setup.sh > /dev/null

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DQUORVEL_FUZZ=ON > /dev/null
cmake --build "$build" --target quorvel_fuzz -j2

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# The first lines of what went wrong, from a libFuzzer log (which may hold
# any bytes, hence the C locale).
show_failure() {
  if LC_ALL=C grep -aq "property broken" "$1"; then
    LC_ALL=C sed -n '/property broken/,/ERROR: libFuzzer/p' "$1" | head -60 >&2
  else
    LC_ALL=C grep -a -m1 -A15 -E "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error" "$1" >&2 ||
      tail -20 "$1" >&2
  fi
}

status=0
for target in "${targets[@]}"; do
  binary="$build/tests/fuzz/${target}_fuzz"
  if [ ! -x "$binary" ]; then
    echo "fuzz: no target $target" >&2
    status=1
    continue
  fi
  work="$build/fuzz-corpus/$target"  # grows from run to run
  crashes="$build/crashes/$target"
  log="$build/fuzz-$target.log"
  mkdir -p "$work" "$crashes"

  for saved in tests/fuzz/regressions/"$target"/*; do
    [ -f "$saved" ] || continue
    if ! "$binary" "$saved" > "$log" 2>&1; then
      echo "fuzz: $target: the saved input $saved still fails:" >&2
      show_failure "$log"
      echo "fuzz: reproduce with: $binary $saved" >&2
      status=1
    fi
  done

  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
        -print_final_stats=1 -artifact_prefix="$crashes/")
  if [ -f "tests/fuzz/$target.dict" ]; then args+=(-dict="tests/fuzz/$target.dict"); fi
  echo "fuzz: $target for $seconds s"
  if "$binary" "${args[@]}" "$work" "tests/fuzz/corpus/$target" > "$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(LC_ALL=C grep -aE '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
    echo "fuzz: $target passed: $runs runs, $speed/s, $coverage"
  else
    status=1
    echo "fuzz: $target FAILED (log: $log)" >&2
    show_failure "$log"
    input=$(LC_ALL=C sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    if [ -n "$input" ]; then
      echo "fuzz: reproduce with: $binary $input" >&2
    fi
  fi
done
exit $status
