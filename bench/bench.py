#!/usr/bin/env python3
"""Measures quorvel's engines against pocketsphinx_continuous on the
recordings that bench/run_bench.sh prepares in --work (rec/NAME.wav, its
NAME.txt transcript and NAME.padded.wav with 2 s of silence after it;
silence.wav, 60 s; short_silence.wav, 0.5 s; dictation.wav and its
transcript dictation.txt; the dictation as dictation_x0.1.wav,
dictation_x0.03.wav and dictation_48k.wav; quiet_room.wav and fan.wav,
60 s, steady_room.wav, 30 s; the rooms of run.measure_rooms: pink10,
babble5, babble5_x0.05, white3, hum, fan_after_speech,
quiet_sentence_alone, from_launch and after_3s, .wav each, and
rec48k/NAME.padded.wav), prints the tables and exits
1 when the first --engine NAME=ROOTS (QUORVEL_MODEL_DIR, empty for the
default roots) misses a target of bench/targets.py, 0 when it meets all.
"""

import argparse
import os
import sys

import report
import run
import score

REFERENCE = "pocketsphinx_continuous"


def measure_phrases(args):
    """The phrases rows, after printing what each way heard."""
    def words(name):
        with open(os.path.join(args.work, name)) as f:
            return score.normalise(f.read())

    transcript = words("phrases.txt")
    runs = run.measure_phrases(args.quorvel, args.work, args.model)
    print()
    report.print_phrases(transcript, {way: score.finals(r.lines, " | ")
                                      for way, r in runs.ways.items()})
    with open(os.path.join(args.work, "rare.txt")) as f:
        written = f.read().split()
    return score.score_phrases(runs, transcript, written)


def recordings(work):
    """The recordings' names, their transcripts and padded lengths."""
    folder = os.path.join(work, "rec")
    names = sorted(f[:-4] for f in os.listdir(folder)
                   if f.endswith(".wav") and not f.endswith(".padded.wav"))
    transcripts, audio = {}, {}
    for name in names:
        with open(os.path.join(folder, name + ".txt")) as f:
            transcripts[name] = score.normalise(f.read())
        audio[name] = run.audio_seconds(
            os.path.join(folder, name + ".padded.wav"))
    return names, transcripts, audio


def measure_rooms_only(args):
    """The rooms rows, with the 16 kHz partial latency (every recording,
    timed by one pocketsphinx_continuous decode each) and the CPU on 60 s
    of silence and of a quiet room."""
    names, _, audio = recordings(args.work)
    with open(os.path.join(args.work, "dictation.txt")) as f:
        dictation = score.normalise(f.read())
    padded = {n: os.path.join(args.work, "rec", n + ".padded.wav")
              for n in names}
    timings = {n: score.reference_words(
        run.run_reference(padded[n], args.model)[0]) for n in names}
    heard = {}
    for name in names:
        run.log(f"{name}: quorvel, {audio[name]:.1f} s")
        heard[name] = run.run_quorvel(args.quorvel, padded[name],
                                      audio[name], "")
    latencies = score.speech_latencies(heard, timings)[0]
    values = {"latency": score.median(latencies),
              "latency_p90": score.percentile(latencies, 0.9),
              "latency_words": len(latencies),
              "cpu": score.listening_cpu(heard, audio)}
    idle = {}
    for name in ("silence", "quiet_room"):
        run.log(f"{name}: quorvel, 60 s")
        idle[name] = run.run_quorvel(
            args.quorvel, os.path.join(args.work, name + ".wav"), 60.0, "")
        values[f"{name}_cpu"] = score.idle_cpu(idle[name])
    rooms = run.measure_rooms(args.quorvel, args.engine_alone, args.work, "",
                              audio)
    values.update(score.score_rooms(rooms, values, timings, dictation))
    values["failed"] += sum(not r.clean for r in
                            list(heard.values()) + list(idle.values()))
    print()
    report.print_dictation(dictation, [
        (f"quorvel, {name}", score.finals(rooms.mixes[name].lines, " | "))
        for name in run.MIXES] + [
        (f"alone, {name}", rooms.alone[name]) for name in run.MIXES])
    missed = report.print_summary(
        [("quorvel", values)],
        ("failed", "latency", "cpu", "silence_cpu", "quiet_room_cpu",
         "room_"))
    report.print_verdict("quorvel", missed)
    return 1 if missed else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quorvel", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--engine-alone", required=True,
                        help="the program that runs an engine on its own")
    parser.add_argument("--engine", action="append", required=True,
                        help="NAME=ROOTS, ROOTS empty for quorvel's default")
    parser.add_argument("--ungated", required=True,
                        help="quorvel without its voice-activity model")
    parser.add_argument("--phrases-only", action="store_true",
                        help="only the phrases measure, with the default "
                        "engine (phrases.wav, rare.txt, listed.txt, "
                        "unrelated.txt in --work)")
    parser.add_argument("--rooms-only", action="store_true",
                        help="only the rooms measure, with the default "
                        "engine, beside its partial latency and idle CPU")
    args = parser.parse_args()
    if args.rooms_only:
        return measure_rooms_only(args)
    phrase_values = measure_phrases(args)
    if args.phrases_only:
        missed = report.print_summary([("quorvel", phrase_values)],
                                      "phrases_")
        report.print_verdict("quorvel", missed)
        return 1 if missed else 0
    names, transcripts, audio = recordings(args.work)

    with open(os.path.join(args.work, "dictation.txt")) as f:
        dictation = score.normalise(f.read())

    reference_runs = run.measure_reference(args.work, args.model, names)
    engine_runs = [run.measure_engine(args.quorvel, args.work,
                                      *spec.split("=", 1), audio,
                                      args.engine_alone)
                   for spec in args.engine]
    conditions = run.measure_conditions(args.quorvel, args.ungated,
                                        args.work, engine_runs[0].roots,
                                        audio)
    rooms = run.measure_rooms(args.quorvel, args.engine_alone, args.work,
                              engine_runs[0].roots, audio)

    values, texts, errors, timings, load = score.score_reference(
        reference_runs, transcripts, audio, dictation)
    engines = [(r, score.score_engine(r, transcripts, audio, timings,
                                      dictation))
               for r in engine_runs]
    # The conditions and the phrases measure are the default engine's, the
    # one under test.
    tested = engines[0][1][0]
    tested.update(score.score_conditions(conditions, engine_runs[0], tested,
                                         audio, timings, dictation))
    room_values = score.score_rooms(rooms, tested, timings, dictation)
    tested["failed"] += room_values.pop("failed")
    tested.update(room_values)
    tested["failed"] += phrase_values.pop("phrases_failed")
    tested.update(phrase_values)

    print()
    report.print_recordings(
        transcripts, [(r.name, t, e) for r, (_, t, e) in engines]
        + [(REFERENCE, texts, errors)])
    report.print_dictation(dictation, [
        (f"{r.name} alone", r.dictation_alone) for r in engine_runs] + [
        (f"quorvel, {r.name}", score.finals(r.dictation.lines, " | "))
        for r in engine_runs] + [
        (f"{engine_runs[0].name}, {name[len('dictation_'):]}",
         score.finals(d.lines, " | "))
        for name, d in conditions.dictations.items()])
    missed = report.print_summary(
        [(r.name, v) for r, (v, _, _) in engines] + [(REFERENCE, values)])
    for r, _ in engines:
        print(f"{r.name}: QUORVEL_MODEL_DIR={r.roots or '(default)'}; "
              + "; ".join(score.engine_lines(r)))
    print()
    print(f"Audio: {len(names)} recordings, {sum(audio.values()):.1f} s "
          f"with padding, heard by quorvel in real time and decoded by "
          f"{REFERENCE} as fast as it can (median of {run.REFERENCE_RUNS}). "
          "\"listening\" CPU is quorvel's whole process from the first "
          f"\"listening\" to \"stop\", and {REFERENCE}'s less its model "
          f"load and exit ({load:.2f} CPU s, median of "
          f"{len(reference_runs.load_cpu)} runs on 0.5 s of silence).")
    print()
    report.print_verdict(engine_runs[0].name, missed)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
