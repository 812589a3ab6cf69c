#!/usr/bin/env bash
# Measures quorvel with each of its engines (the default transducer, and
# PocketSphinx) against PocketSphinx's own pocketsphinx_continuous on the
# same recordings and prints one table: startup, restart gap, partial
# latency, CPU and memory on silence and on speech, word error rate, also
# on a minute of continuous dictation, beside each engine decoding that
# recording on its own (build/quorvel_engine_alone), and the rare words of
# real recordings heard without a phrase file, with them listed among
# unrelated phrases, with the unrelated phrases alone and with near-miss
# names. The transducer is
# also heard on that dictation from quieter and 48 kHz microphones, in
# rooms where nobody speaks, and without its voice-activity model, and in
# noisy rooms (pink noise, babble, white noise, hum, a fan switching on),
# after launch, and from a 48 kHz microphone. It is held to the targets in
# bench/targets.py: the exit status is 1 when it misses any (they are
# listed last), 0 when it meets them all. Takes about thirty-five minutes;
# run it on a calm machine (see `uptime`).
# QUORVEL_BENCH_LOGS=<dir> keeps quorvel's events of every run.
#   bench/run_bench.sh                  everything
#   bench/run_bench.sh --phrases-only   the phrases measure alone (2 min)
#   bench/run_bench.sh --rooms-only     the rooms measure alone (11 min)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2

model=/usr/share/pocketsphinx/model/en-us
librivox=/usr/share/pocketsphinx/test/data/librivox
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QUORVEL_PRIVACY_FILE="$work/privacy"
build/quorvel-privacy grant all > /dev/null
mkdir "$work/rec"

# sox dithers the silence it makes in 16 bits (the pauses of the dictation
# below) by a new draw each run, and a change of one step in the pauses
# moves the transducer's dictation by up to two points: every run draws
# the same.
export SOX_OPTS=-R

# Both programs want 16 kHz mono 16-bit; every recording gets 2 s of
# silence after it so that quorvel's last segment can settle before "stop".
add() {  # add NAME SOURCE TRANSCRIPT
  sox "$2" -r 16000 -c 1 -b 16 "$work/rec/$1.wav"
  sox "$work/rec/$1.wav" "$work/rec/$1.padded.wav" pad 0 2
  printf '%s\n' "$3" > "$work/rec/$1.txt"
}

# The transcription file holds lines "<s> words </s> (file-id)".
while read -r line; do
  id=${line##*(}
  id=${id%)}
  text=${line#<s> }
  text=${text%% </s>*}
  add "$id" "$librivox/$id.wav" "$text"
done < "$librivox/transcription"

# Four of flite's voices, all 16 kHz (its default voice is 8 kHz, which the
# wide-band model hardly recognises).
voices=(kal16 slt rms awb)
sentences=(
  "turn left at the next corner and then stop"
  "open the file menu and save the document"
  "please call my brother tomorrow morning at nine"
  "the weather will be cold and windy this weekend"
)
for i in "${!sentences[@]}"; do
  flite -voice "${voices[$i]}" -t "${sentences[$i]}" -o "$work/flite.wav"
  add "flite-${voices[$i]}" "$work/flite.wav" "${sentences[$i]}"
done

# Continuous dictation: the nine recordings end to end with the pauses
# people leave between sentences, then one sentence longer than the 12 s
# segment limit (two LibriVox sentences with no pause), then 2 s of
# silence; its transcript beside it.
pauses=(0.4 0.9 0.6 0.8 0.5 0.7 0.9 0.45 0.85)
parts=()
names=("$work"/rec/*.padded.wav)
for i in "${!names[@]}"; do
  name=${names[$i]%.padded.wav}
  sox -n -r 16000 -c 1 -b 16 "$work/pause$i.wav" trim 0 "${pauses[$i]}"
  parts+=("$name.wav" "$work/pause$i.wav")
  cat "$name.txt" >> "$work/dictation.txt"
done
for id in 0870 0920; do
  parts+=("$work/rec/sense_and_sensibility_01_austen_64kb-$id.wav")
  cat "$work/rec/sense_and_sensibility_01_austen_64kb-$id.txt" >> "$work/dictation.txt"
done
sox "${parts[@]}" "$work/dictation.wav" pad 0 2

# The dictation as quieter microphones and a 48 kHz stereo one deliver it,
# in float samples.
for scale in 0.1 0.03; do
  sox "$work/dictation.wav" -e floating-point -b 32 \
    "$work/dictation_x$scale.wav" vol "$scale"
done
sox "$work/dictation.wav" -e floating-point -b 32 -r 48000 -c 2 \
  "$work/dictation_48k.wav"

# Rooms in which nobody speaks, each at its RMS level: a quiet room (pink
# noise at -60 dBFS), a fan (brown noise at -40 dBFS), a louder steady
# room (pink noise at -48 dBFS).
noise() {  # noise NAME KIND DBFS SECONDS
  sox -n -r 16000 -c 1 -e floating-point -b 32 "$work/raw.wav" \
    synth "$4" "$2"
  rms=$(sox "$work/raw.wav" -n stats 2>&1 | awk '/RMS lev dB/ {print $4}')
  sox "$work/raw.wav" "$work/$1.wav" gain "$(python3 -c "print($3 - $rms)")"
}
noise quiet_room pinknoise -60 60
noise fan brownnoise -40 60
noise steady_room pinknoise -48 30

# Rooms: the dictation in pink noise at 10 dB SNR, in babble at 5 dB (and
# that mix at x0.05, a distant microphone) and in white noise at 3 dB, each
# SNR against the dictation's RMS over its whole length. The babble is six
# streams of the voices of pocketsphinx-testdata that the dictation does
# not use (the five card names, goforward, numbers, something), each
# stream all eight end to end from a different one on, looped.
level() { sox "$1" -n stats 2>&1 | awk '/RMS lev dB/ {print $4}'; }
speech=$(level "$work/dictation.wav")
seconds=$(soxi -D "$work/dictation.wav")
mix() {  # mix NAME NOISE: the dictation over the noise, as it is
  sox -m -v 1 "$work/dictation.wav" -v 1 "$2" -e floating-point -b 32 \
    "$work/$1.wav"
}
noise pink_noise pinknoise "$(python3 -c "print($speech - 10)")" "$seconds"
mix pink10 "$work/pink_noise.wav"
noise white_noise whitenoise "$(python3 -c "print($speech - 3)")" "$seconds"
mix white3 "$work/white_noise.wav"
data=/usr/share/pocketsphinx/test/data
voices=()
for id in 001 002 003 004 005; do voices+=("$data/cards/$id.wav"); done
for name in goforward numbers something; do
  sox -t raw -r 16000 -e signed -b 16 -c 1 "$data/$name.raw" "$work/$name.wav"
  voices+=("$work/$name.wav")
done
streams=()
for k in 0 1 2 3 4 5; do
  sox "${voices[@]:$k}" "${voices[@]:0:$k}" "$work/stream$k.wav" repeat 9
  sox "$work/stream$k.wav" "$work/talker$k.wav" trim 0 "$seconds"
  streams+=(-v 0.3 "$work/talker$k.wav")
done
sox -m "${streams[@]}" -e floating-point -b 32 "$work/raw.wav"
sox "$work/raw.wav" "$work/babble_noise.wav" \
  gain "$(python3 -c "print($speech - 5 - $(level "$work/raw.wav"))")"
mix babble5 "$work/babble_noise.wav"
sox "$work/babble5.wav" "$work/babble5_x0.05.wav" vol 0.05
# 30 s of mains hum (50 Hz, -45 dBFS) and rumble (30 Hz, -40 dBFS).
sox -n -r 16000 -c 2 -e floating-point -b 32 "$work/raw.wav" \
  synth 30 sine 50 sine 30
sox "$work/raw.wav" -c 1 "$work/hum.wav" remix 1v0.0079,2v0.014
# A fan (pink noise at -50 dBFS) switching on after a quiet sentence
# (x0.03), and the same sentence followed by nothing, to count the words
# the fan adds.
quiet=$work/rec/sense_and_sensibility_01_austen_64kb-0880.wav
sox "$quiet" -e floating-point -b 32 "$work/quiet_sentence.wav" vol 0.03
noise fan_on pinknoise -50 20
sox "$work/quiet_sentence.wav" "$work/fan_on.wav" "$work/fan_after_speech.wav"
sox "$work/quiet_sentence.wav" "$work/quiet_sentence_alone.wav" pad 0 20
# A sentence from the first moment of listening, and after 3 s.
first=$work/rec/sense_and_sensibility_01_austen_64kb-0870.padded.wav
cp "$first" "$work/from_launch.wav"
sox "$first" "$work/after_3s.wav" pad 3 0
# Each recording from a 48 kHz stereo microphone.
mkdir "$work/rec48k"
for padded in "$work"/rec/*.padded.wav; do
  sox "$padded" -e floating-point -b 32 -r 48000 -c 2 \
    "$work/rec48k/$(basename "$padded")"
done

# quorvel without its voice-activity model, which decodes all audio: the
# same program beside the project's models but that one (it finds both
# from where it is).
mkdir -p "$work/ungated/models" "$work/ungated/lib"
cp build/quorvel "$work/ungated/quorvel"
ln -s "$PWD/models/en-us" "$work/ungated/models/en-us"
ln -s "$PWD/build/lib/quorvel" "$work/ungated/lib/quorvel"

# Rare words in real voices: the five LibriVox sentences (a family name,
# old-fashioned adjectives) and the five recordings of card names (whose
# suits the model mishears) end to end, 0.8 s apart, then 2 s of silence.
# rare.txt holds the words whose recall is measured; listed.txt names them
# among 22 phrases a voice-control parent might list, which are all of
# unrelated.txt.
cards=/usr/share/pocketsphinx/test/data/cards
sox -n -r 16000 -c 1 -b 16 "$work/gap.wav" trim 0 0.8
parts=()
for id in 0870 0880 0890 0920 0930; do
  parts+=("$work/rec/sense_and_sensibility_01_austen_64kb-$id.wav" "$work/gap.wav")
  cat "$work/rec/sense_and_sensibility_01_austen_64kb-$id.txt" >> "$work/phrases.txt"
done
for id in 001 002 003 004 005; do
  sox "$cards/$id.wav" -r 16000 -c 1 -b 16 "$work/card$id.wav"
  parts+=("$work/card$id.wav" "$work/gap.wav")
  grep "($id)" "$cards/cards.transcription" | sed 's/<s>//; s/<\/s>.*//' >> "$work/phrases.txt"
done
sox "${parts[@]}" "$work/phrases.wav" pad 0 2
# As a parent would list them: the name capitalised, and recall counts
# each only where it comes out spelt so.
printf '%s\n' Dashwood amiable prudently clubs spades > "$work/rare.txt"
printf '%s\n' "open terminal" "minimize window" "git commit" "pull request" \
  kubernetes postgres "docker compose" "visual studio" slack "jira ticket" \
  "margaret thatcher" zanzibar screenshot "new tab" spreadsheet \
  "meeting notes" calendar spotify "python script" "linux kernel" bluetooth \
  wikipedia > "$work/unrelated.txt"
cat "$work/rare.txt" "$work/unrelated.txt" > "$work/listed.txt"
# Names near in sound to words the recordings say, none of them said: a
# list that must not take those words for them.
printf '%s\n' Mary Kevin Ken Queenie Clive Hart Powers Amabel Prudence \
  Spader Clovis Lester > "$work/nearmiss.txt"

sox -n -r 16000 -c 1 -b 16 "$work/silence.wav" trim 0 60
sox -n -r 16000 -c 1 -b 16 "$work/short_silence.wav" trim 0 0.5

echo "load before: $(uptime)"
status=0
python3 -B bench/bench.py --quorvel build/quorvel --work "$work" \
  --engine-alone build/quorvel_engine_alone --ungated "$work/ungated/quorvel" \
  --model "$model" --engine transducer= \
  --engine PocketSphinx=/usr/share/pocketsphinx/model "$@" || status=$?
echo "load after:  $(uptime)"
exit "$status"
