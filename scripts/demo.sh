#!/usr/bin/env bash
# Shows quorvel at work on a machine without a microphone: sets everything
# up, grants both permissions in a throw-away privacy store, plays a real
# recording in place of the microphone, prints the events as they come
# (without the "level" records; --levels keeps them) and stops the helper.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

recording="${QUORVEL_DEMO_RECORDING:-/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav}"
seconds=$(soxi -D "$recording" | cut -d. -f1)
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
export QUORVEL_PRIVACY_FILE="$store/privacy"
build/quorvel-privacy grant all
echo "== playing $recording ($seconds s) in place of the microphone"

filter=(grep --line-buffered -v '"type":"level"')
[ "${1:-}" = "--levels" ] && filter=(cat)
# Wait for the recording to end and the last segment to settle, then stop.
(sleep $((seconds + 3)); echo stop) |
  QUORVEL_AUDIO_INPUT="$recording" build/quorvel | "${filter[@]}"
echo "== quorvel exited with status ${PIPESTATUS[1]}"
