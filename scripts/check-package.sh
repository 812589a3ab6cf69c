#!/usr/bin/env bash
# Builds the Debian package, installs it with apt-get and checks quorvel
# as installed, run from its installed paths in a bare environment: every
# file is in place, the man pages lint clean, --check answers and a
# recording played in place of the microphone comes out as a "final" with
# its words, heard by the packaged transducer around the speech that the
# packaged voice-activity model marks. Every record is checked against the
# installed schema. The package is removed again at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
fail() {
  echo "check-package: $*" >&2
  exit 1
}
scripts/setup.sh

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
deb="$source/build/quorvel_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd build && cpack -G DEB > /dev/null)
[ -f "$deb" ] || fail "cpack made no $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if dpkg-query -W -f='${Status}' quorvel 2>/dev/null | grep -q "install ok installed"; then
  fail "a quorvel package is installed already; not replacing it"
fi
work=$(mktemp -d)
cleanup() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -o DPkg::Lock::Timeout=300 \
    quorvel > /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -o DPkg::Lock::Timeout=300 "$deb"

for file in /usr/bin/quorvel /usr/bin/quorvel-privacy \
  /usr/share/man/man1/quorvel.1 /usr/share/man/man1/quorvel-privacy.1 \
  /usr/share/quorvel/schema/quorvel-event.schema.json \
  /usr/share/doc/quorvel/LICENSE /usr/share/doc/quorvel/NOTICE \
  /usr/lib/python3/dist-packages/quorvel/__init__.py /usr/lib/python3/dist-packages/quorvel/py.typed \
  /usr/lib/quorvel/libsherpa-onnx-c-api.so /usr/lib/quorvel/libonnxruntime.so \
  /usr/share/quorvel/models/en-us/encoder.int8.onnx \
  /usr/share/quorvel/models/en-us/tokens.txt \
  /usr/share/quorvel/models/en-us/bpe.vocab \
  /usr/share/quorvel/models/vad/silero_vad.onnx; do
  [ -f "$file" ] && dpkg -S "$file" 2>/dev/null | grep -q "^quorvel: " ||
    fail "$file is not installed by the package"
done
scripts/lint-man.sh /usr/share/man/man1/quorvel.1 /usr/share/man/man1/quorvel-privacy.1 ||
  fail "the installed man pages do not lint clean"
if grep -q -F "$source" /usr/bin/quorvel /usr/bin/quorvel-privacy; then
  fail "the installed programs name the build tree $source"
fi

# The installed programs alone: no build tree, no variables of this shell.
cd "$work"
bare=(env -i PATH=/usr/bin:/bin HOME="$work" LANGUAGE=en_US LANG=C.UTF-8
  QUORVEL_PRIVACY_FILE="$work/privacy")
"${bare[@]}" quorvel-privacy grant all
"${bare[@]}" quorvel --check > check.jsonl || fail "quorvel --check exited with $?"
grep -q '"ok":true' check.jsonl || fail "quorvel --check: $(cat check.jsonl)"

# "and mister john dashwood had then leisure to consider ...", 7 s.
recording=/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav
words="john dashwood"
# The finals' texts so far, joined: a pause in the speech may end a
# segment early, so the words may come in the second one.
finals() {
  /usr/bin/python3 -c 'import json, sys
records = [json.loads(line) for line in open(sys.argv[1]) if line.endswith("\n")]
print(" ".join(r["text"] for r in records if r["type"] == "final"))' events.jsonl
}
mkfifo commands
"${bare[@]}" QUORVEL_AUDIO_INPUT="$recording" timeout 60 quorvel \
  < commands > events.jsonl 2> diagnostics &
helper=$!
trap '' PIPE  # a helper gone early must not end this script unexplained
exec 3> commands
deadline=$((SECONDS + 30))
# grep keys on no order of keys, and costs the helper little CPU.
while [ $SECONDS -lt $deadline ] && kill -0 "$helper" 2> /dev/null; do
  grep '"type":"final"' events.jsonl | grep -q -F "$words" && break
  sleep 0.1
done
echo stop >&3 || true
exec 3>&-
status=0
wait "$helper" || status=$?
case "$(finals)" in
  *"$words"*) ;;
  *) fail "no final with \"$words\" (exit $status):$(echo; grep -v '"level"' events.jsonl; cat diagnostics)" ;;
esac
[ "$status" -eq 0 ] || fail "quorvel exited with $status after stop"
# The English default is the transducer shipped in the package, run by the
# packaged runtime, not PocketSphinx.
grep -q -F "recognising with the sherpa-onnx model in /usr/share/quorvel/models/en-us" \
  diagnostics || fail "the packaged transducer was not used:$(echo; cat diagnostics)"
# ... and decodes only around speech, with the packaged voice-activity model.
! grep -q -F "voice activity is not detected" diagnostics ||
  fail "the packaged voice-activity model was not used:$(echo; cat diagnostics)"
[ "$(tail -n 1 events.jsonl)" = '{"type":"stopped"}' ] || fail "the last record is not stopped"
/usr/bin/python3 "$source/tests/support/validate_events.py" \
  /usr/share/quorvel/schema/quorvel-event.schema.json check.jsonl events.jsonl
echo "check-package: finals: $(finals)"
echo "check-package: $(basename "$deb") installs, answers --check and recognises \"$words\""
