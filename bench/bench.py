#!/usr/bin/env python3
"""Measures quorvel's engines against pocketsphinx_continuous on the same
recordings, prints the tables and exits 1 when the first engine misses a
target of bench/targets.py (0 when it meets them all).

Called by bench/run_bench.sh, which prepares the work directory:
  <work>/rec/NAME.wav          a 16 kHz mono 16-bit recording
  <work>/rec/NAME.txt          its transcript
  <work>/rec/NAME.padded.wav   the recording followed by 2 s of silence
  <work>/silence.wav           60 s of silence
  <work>/short_silence.wav     0.5 s of silence
and exports QUORVEL_PRIVACY_FILE with both permissions granted. Each
--engine NAME=ROOTS runs quorvel with QUORVEL_MODEL_DIR=ROOTS (empty: its
default roots). With QUORVEL_BENCH_LOGS set to a directory, every quorvel
run's lines are kept there. Standard library only.
"""

import argparse
import os
import sys

import report
import run
import score

REFERENCE = "pocketsphinx_continuous"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quorvel", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--engine", action="append", required=True,
                        help="NAME=ROOTS, ROOTS empty for quorvel's default")
    args = parser.parse_args()
    recordings = os.path.join(args.work, "rec")
    names = sorted(f[:-4] for f in os.listdir(recordings)
                   if f.endswith(".wav") and not f.endswith(".padded.wav"))
    transcripts, audio = {}, {}
    for name in names:
        with open(os.path.join(recordings, name + ".txt")) as f:
            transcripts[name] = score.normalise(f.read())
        audio[name] = run.audio_seconds(
            os.path.join(recordings, name + ".padded.wav"))

    reference_runs = run.measure_reference(args.work, args.model, names)
    engine_runs = [run.measure_engine(args.quorvel, args.work,
                                      *spec.split("=", 1), audio)
                   for spec in args.engine]

    values, texts, errors, timings, load = score.score_reference(
        reference_runs, transcripts, audio)
    engines = [(r, score.score_engine(r, transcripts, audio, timings))
               for r in engine_runs]

    print()
    report.print_recordings(
        transcripts, [(r.name, t, e) for r, (_, t, e) in engines]
        + [(REFERENCE, texts, errors)])
    missed = report.print_summary(
        [(r.name, v) for r, (v, _, _) in engines] + [(REFERENCE, values)])
    for r, _ in engines:
        print(f"{r.name}: QUORVEL_MODEL_DIR={r.roots or '(default)'}; "
              + "; ".join(score.engine_lines(r)))
    print()
    print(f"Audio: {len(names)} recordings, {sum(audio.values()):.1f} s "
          "with padding. quorvel hears them in real time; "
          f"{REFERENCE} decodes each file as fast as it can (median of "
          f"{run.REFERENCE_RUNS} runs), so CPU is compared per audio second. "
          "quorvel's \"listening\" CPU is /proc utime+stime of the whole "
          "process (all its threads) from the first \"listening\" to "
          f"\"stop\"; {REFERENCE}'s leaves out its model load and exit "
          f"({load:.2f} CPU s per run, median of "
          f"{len(reference_runs.load_cpu)} runs on 0.5 s of silence). The "
          "wait4 rows count whole runs fed in real time, start-up and model "
          "load included.")
    print()
    report.print_verdict(engine_runs[0].name, missed)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
