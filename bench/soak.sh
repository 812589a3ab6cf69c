#!/usr/bin/env bash
# Soak: quorvel listens for a long time (default 1800 s) to a recording
# looped with silence between its plays, then is stopped. Prints peak RSS,
# open file descriptors and threads at the start and the end, the number
# of segments, restarts and error records.
#   bench/soak.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-1800}"
scripts/setup.sh > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${pid:-}" ] && kill "$pid" 2> /dev/null || true' EXIT
recording=/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav
# One play: the recording, then 6 s of quiet; enough plays for the run.
sox "$recording" "$work/play.wav" pad 0 6
plays=$(( seconds / 13 + 1 ))
sox $(for _ in $(seq "$plays"); do echo "$work/play.wav"; done) "$work/long.wav"

printf 'speech=authorized\nmicrophone=authorized\n' > "$work/privacy"
mkfifo "$work/in"
QUORVEL_PRIVACY_FILE="$work/privacy" QUORVEL_AUDIO_INPUT="$work/long.wav" \
  build/quorvel < "$work/in" > "$work/out" 2> "$work/err" &
pid=$!
exec 3> "$work/in"  # keep standard input open until we stop

sample() {
  local rss hwm fds threads
  rss=$(awk '/^VmRSS/ {print $2}' /proc/$pid/status)
  hwm=$(awk '/^VmHWM/ {print $2}' /proc/$pid/status)
  fds=$(ls /proc/$pid/fd | wc -l)
  threads=$(awk '/^Threads/ {print $2}' /proc/$pid/status)
  echo "$1 rss_kib=$rss peak_rss_kib=$hwm fds=$fds threads=$threads"
}

sleep 15
start=$(sample "start (15 s)")
sleep $(( seconds > 30 ? seconds - 15 : 15 ))
end=$(sample "end ($seconds s)")
echo stop >&3
wait "$pid"; status=$?
exec 3>&-

echo "$start"
echo "$end"
echo "exit status: $status"
echo "segments (listening): $(grep -c '"type":"listening"' "$work/out")"
echo "finals: $(grep -c '"type":"final"' "$work/out")"
echo "restarts: $(grep -c 'restart after' "$work/err")"
echo "error records: $(grep -c '"type":"error"' "$work/out" || true)"
echo "last line: $(tail -1 "$work/out")"
