#!/usr/bin/env python3
"""Measures quorvel's engines against pocketsphinx_continuous on the same
recordings.

Called by bench/run_bench.sh, which prepares the work directory:
  <work>/rec/NAME.wav          a 16 kHz mono 16-bit recording
  <work>/rec/NAME.txt          its transcript
  <work>/rec/NAME.padded.wav   the recording followed by 2 s of silence
  <work>/silence.wav           60 s of silence
and exports QUORVEL_PRIVACY_FILE with both permissions granted. Each
--engine NAME=ROOTS runs quorvel with QUORVEL_MODEL_DIR=ROOTS (empty: its
default roots), and the first is held to the targets.
Prints the tables on stdout. With QUORVEL_BENCH_LOGS set to a directory,
every quorvel run's lines are kept there, timed from its first "listening".
Standard library only.
"""

import argparse
import json
import os
import re
import selectors
import statistics
import subprocess
import sys
import threading
import time
import wave

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
STARTUP_RUNS = 5
REFERENCE_RUNS = 3
# Far beyond anything a healthy run needs; a hung helper is killed.
HARD_TIMEOUT_SLACK = 20.0


def log(message):
    print("bench: " + message, file=sys.stderr, flush=True)


def audio_seconds(path):
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()


def proc_cpu_seconds(pid):
    """utime + stime of the process itself; None once it has gone."""
    # utime and stime are fields 14 and 15; the name in field 2 may hold
    # spaces, so count from the closing parenthesis.
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def proc_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def wait_with_rusage(process):
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage


class QuorvelRun:
    """One quorvel process: every stdout/stderr line with its arrival time."""

    def __init__(self):
        self.lines = []  # (monotonic seconds, "out" or "err", text)
        self.exec_time = None
        self.first_listening = None
        self.stop_sent = None
        self.cpu_at_listening = None
        self.cpu_at_stop = None
        self.hwm_at_stop_kib = None
        self.rusage = None
        self.returncode = None
        self.killed = False

    def events(self):
        for t, stream, text in self.lines:
            if stream != "out":
                continue
            try:
                yield t, json.loads(text)
            except ValueError:
                pass

    def finals(self):
        return [e["text"] for _, e in self.events() if e.get("type") == "final"]

    def partials(self):
        return [(t, e["text"]) for t, e in self.events()
                if e.get("type") in ("partial", "final")]

    def restart_gaps(self):
        """Seconds from each "restart after" line to the next "listening"."""
        gaps, pending = [], None
        for t, stream, text in self.lines:
            if stream == "err" and text.startswith("quorvel: restart after "):
                pending = t
            elif (stream == "out" and pending is not None
                  and '"type":"listening"' in text):
                gaps.append(t - pending)
                pending = None
        return gaps


def run_quorvel(binary, audio, stop_after, roots):
    """Plays audio in place of the microphone, with the model roots given
    (empty: quorvel's default); sends "stop" stop_after seconds after the
    first "listening" and waits for the process to end."""
    env = dict(os.environ, QUORVEL_AUDIO_INPUT=audio)
    env.pop("QUORVEL_SPHINX_LOG", None)
    env.pop("QUORVEL_MODEL_DIR", None)
    if roots:
        env["QUORVEL_MODEL_DIR"] = roots
    run = QuorvelRun()
    run.exec_time = time.monotonic()
    process = subprocess.Popen([binary], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, bufsize=0)
    selector = selectors.DefaultSelector()
    partial = {}
    for stream, name in ((process.stdout, "out"), (process.stderr, "err")):
        os.set_blocking(stream.fileno(), False)
        selector.register(stream, selectors.EVENT_READ, name)
        partial[name] = b""
    deadline = run.exec_time + stop_after + HARD_TIMEOUT_SLACK + 10.0
    stop_at = None
    open_streams = 2
    while open_streams:
        now = time.monotonic()
        if now > deadline and not run.killed:
            process.kill()
            run.killed = True
        if stop_at is not None and run.stop_sent is None and now >= stop_at:
            run.cpu_at_stop = proc_cpu_seconds(process.pid)
            run.hwm_at_stop_kib = proc_hwm_kib(process.pid)
            run.stop_sent = time.monotonic()
            try:
                process.stdin.write(b"stop\n")
                process.stdin.close()
            except BrokenPipeError:
                pass
        timeout = 0.5
        if stop_at is not None and run.stop_sent is None:
            timeout = max(0.0, min(timeout, stop_at - now))
        for key, _ in selector.select(timeout):
            chunk = os.read(key.fileobj.fileno(), 65536)
            arrived = time.monotonic()
            if not chunk:
                selector.unregister(key.fileobj)
                open_streams -= 1
                continue
            data = partial[key.data] + chunk
            *complete, partial[key.data] = data.split(b"\n")
            for raw in complete:
                text = raw.decode("utf-8", "replace")
                run.lines.append((arrived, key.data, text))
                if (key.data == "out" and run.first_listening is None
                        and '"type":"listening"' in text):
                    run.first_listening = arrived
                    run.cpu_at_listening = proc_cpu_seconds(process.pid)
                    stop_at = arrived + stop_after
    if not process.stdin.closed:
        try:
            process.stdin.close()
        except BrokenPipeError:
            pass
    run.rusage = wait_with_rusage(process)
    run.returncode = process.returncode
    keep_log(run, audio)
    if run.first_listening is None:
        log(f"quorvel never listened on {audio} (status {run.returncode}): "
            + " | ".join(text for _, _, text in run.lines[-5:]))
    elif run.killed or run.returncode != 0 or not any(
            '"type":"stopped"' in text for _, _, text in run.lines):
        log(f"quorvel did not stop cleanly on {audio} (status "
            f"{run.returncode}{', killed' if run.killed else ''})")
    return run


def keep_log(run, audio):
    directory = os.environ.get("QUORVEL_BENCH_LOGS")
    if not directory:
        return
    os.makedirs(directory, exist_ok=True)
    base = os.path.basename(audio).replace(".padded.wav", "")
    base = base.replace(".wav", "")
    number = len(os.listdir(directory)) + 1
    origin = run.first_listening or run.exec_time
    with open(os.path.join(directory, f"{number:02d}-{base}.log"), "w") as f:
        for t, stream, text in run.lines:
            if '"type":"level"' not in text:
                f.write(f"{t - origin:8.3f} {stream} {text}\n")


TIMING_LINE = re.compile(r"^(\S+) (\d+\.\d+) (\d+\.\d+) (-?\d+\.\d+)$")
FILLER = re.compile(r"^(<s>|</s>|<sil>|\[.*\]|\+\+.*\+\+)$")


def feed_in_real_time(audio, pipe):
    """Writes the samples of audio to pipe as a microphone would deliver
    them: 1024 frames at a time, each once it has played."""
    with wave.open(audio) as w:
        rate, frames = w.getframerate(), w.readframes(w.getnframes())
    step = 1024 * 2  # 16-bit mono
    start = time.monotonic()
    try:
        for index, offset in enumerate(range(0, len(frames), step)):
            delay = start + (index + 1) * 1024 / rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            pipe.write(frames[offset:offset + step])
            pipe.flush()
    except BrokenPipeError:
        pass
    finally:
        try:
            pipe.close()
        except BrokenPipeError:
            pass


def run_reference(audio, model, real_time=False):
    """pocketsphinx_continuous on a file: words with end times, CPU seconds
    and peak RSS in KiB. With real_time, the samples reach it through a
    pipe at the pace they would come from a microphone."""
    # Only a name ending in ".wav" makes it skip a wav header, so the pipe
    # carries bare samples.
    command = ["pocketsphinx_continuous",
               "-infile", "/dev/stdin" if real_time else audio,
               "-hmm", f"{model}/en-us",
               "-lm", f"{model}/en-us.lm.bin",
               "-dict", f"{model}/cmudict-en-us.dict",
               "-logfn", "/dev/null", "-time", "yes"]
    process = subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        stdin=subprocess.PIPE if real_time else subprocess.DEVNULL)
    feeder = None
    if real_time:
        feeder = threading.Thread(target=feed_in_real_time,
                                  args=(audio, process.stdin))
        feeder.start()
    output = process.stdout.read().decode("utf-8", "replace")
    usage = wait_with_rusage(process)
    if feeder:
        feeder.join()
    words = []  # (word, start, end)
    for line in output.splitlines():
        match = TIMING_LINE.match(line.strip())
        if not match:
            continue
        word = re.sub(r"\(\d+\)$", "", match.group(1))
        if FILLER.match(word):
            continue
        words.append((word, float(match.group(2)), float(match.group(3))))
    return words, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def normalise(text):
    text = text.lower().replace("<s>", " ").replace("</s>", " ")
    text = re.sub(r"\([^)]*\)\s*$", " ", text)  # a "(utterance-id)" suffix
    return re.sub(r"[^a-z0-9 ]+", " ", re.sub(r"'", "", text)).split()


def edit_distance(reference, hypothesis):
    previous = list(range(len(hypothesis) + 1))
    for i, r in enumerate(reference, 1):
        current = [i]
        for j, h in enumerate(hypothesis, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1,
                               previous[j - 1] + (r != h)))
        previous = current
    return previous[-1]


def matched_reference_indices(reference, hypothesis):
    """Indices of reference words that a longest common subsequence with the
    hypothesis matches, as early in the reference as possible (a partial
    covers the start of the utterance, so a repeated word belongs to its
    first occurrence)."""
    n, m = len(reference), len(hypothesis)
    table = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m - 1, -1, -1):
            if reference[i] == hypothesis[j]:
                table[i][j] = table[i + 1][j + 1] + 1
            else:
                table[i][j] = max(table[i + 1][j], table[i][j + 1])
    matched, i, j = set(), 0, 0
    while i < n and j < m:
        if reference[i] == hypothesis[j]:
            matched.add(i)
            i, j = i + 1, j + 1
        elif table[i + 1][j] >= table[i][j + 1]:
            i += 1
        else:
            j += 1
    return matched


def partial_latencies(run, reference_words):
    """Seconds from the end of each reference word (audio time, counted from
    the first "listening") to the first partial or final that holds it."""
    words = [w for w, _, _ in reference_words]
    first_held = {}
    earlier_finals = []
    for t, event in run.events():
        kind = event.get("type")
        if kind not in ("partial", "final"):
            continue
        text = " ".join(earlier_finals + [event["text"]])
        for index in matched_reference_indices(words, normalise(text)):
            first_held.setdefault(index, t)
        if kind == "final":
            earlier_finals.append(event["text"])
    latencies = [first_held[i] - (run.first_listening + reference_words[i][2])
                 for i in sorted(first_held)]
    return latencies, len(words) - len(first_held)


def percentile(values, fraction):
    ordered = sorted(values)
    rank = max(0, min(len(ordered) - 1,
                      int(round(fraction * len(ordered) + 0.5)) - 1))
    return ordered[rank]


def verdict(ok):
    return "pass" if ok else "MISS"


def print_table(header, rows):
    widths = [max(len(str(row[c])) for row in [header] + rows)
              for c in range(len(header))]

    def line(row):
        return "| " + " | ".join(str(v).ljust(w) for v, w in
                                 zip(row, widths)) + " |"

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))


def ms(seconds):
    return f"{1000.0 * seconds:.0f} ms"


def mib(kib):
    return f"{kib / 1024.0:.1f} MiB"


LIBRIVOX = "sense_and_sensibility"


class Results:
    """What one engine measured, summed over the recordings where it adds
    up."""

    def __init__(self, name, roots):
        self.name = name
        self.roots = roots
        self.startups = []
        self.startup_cpu = []  # CPU seconds from exec to first listening
        self.gaps = []
        self.texts = {}  # recording name -> normalised final words
        self.errors = {}  # recording name -> word errors
        self.latencies = []
        self.unheld = 0
        self.silence_cpu = None  # percent of one core
        self.silence_hwm = None  # KiB
        self.audio = 0.0  # seconds, padding included
        self.cpu = self.listen_cpu = 0.0
        self.rss = 0  # KiB
        self.engine_lines = set()  # which model it recognised with

    def wer(self, transcripts, only=None):
        names = [n for n in transcripts if n in self.errors
                 and (only is None or n.startswith(only))]
        words = sum(len(transcripts[n]) for n in names)
        return (sum(self.errors[n] for n in names) / words) if words else None


class Reference:
    """pocketsphinx_continuous on the same recordings."""

    def __init__(self):
        self.load_samples = []  # on 0.5 s of silence
        self.words = {}  # recording name -> [(word, start, end)]
        self.errors = {}
        self.cpu = self.rt_cpu = 0.0
        self.rss = 0
        self.audio = 0.0


def note_engine(run, results):
    for _, stream, text in run.lines:
        if stream == "err" and text.startswith("quorvel: recognising with "):
            results.engine_lines.add(text[len("quorvel: "):])


def measure_startup(args, results):
    log(f"{results.name}: startup, {STARTUP_RUNS} runs")
    silence = os.path.join(args.work, "silence.wav")
    for _ in range(STARTUP_RUNS):
        run = run_quorvel(args.quorvel, silence, 0.0, results.roots)
        note_engine(run, results)
        if run.first_listening is not None:
            results.startups.append(run.first_listening - run.exec_time)
        if run.cpu_at_listening is not None:
            results.startup_cpu.append(run.cpu_at_listening)
        results.gaps += run.restart_gaps()


def measure_reference(args, name, transcript, reference):
    recordings_dir = os.path.join(args.work, "rec")
    padded = os.path.join(recordings_dir, name + ".padded.wav")
    short_silence = os.path.join(args.work, "short_silence.wav")
    log(f"{name}: pocketsphinx_continuous on the file ({REFERENCE_RUNS}x), "
        "then in real time")
    reference.load_samples.append(run_reference(short_silence, args.model)[1])
    # Its short bursts vary most from run to run: the median of three.
    runs = sorted((run_reference(padded, args.model)
                   for _ in range(REFERENCE_RUNS)), key=lambda r: r[1])
    words, cpu, rss = runs[len(runs) // 2]
    _, real_time_cpu, _ = run_reference(padded, args.model, real_time=True)
    reference.words[name] = words
    reference.errors[name] = edit_distance(transcript, [w for w, _, _ in words])
    reference.cpu += cpu
    reference.rt_cpu += real_time_cpu
    reference.rss = max(reference.rss, rss)
    reference.audio += audio_seconds(padded)


def measure_recording(args, name, transcript, reference, results):
    padded = os.path.join(args.work, "rec", name + ".padded.wav")
    seconds = audio_seconds(padded)
    log(f"{name}: quorvel with {results.name}, {seconds:.1f} s")
    run = run_quorvel(args.quorvel, padded, seconds, results.roots)
    note_engine(run, results)
    results.gaps += run.restart_gaps()
    if None in (run.first_listening, run.cpu_at_listening, run.cpu_at_stop):
        log(f"{name} left out: quorvel did not listen until \"stop\"")
        return
    text = normalise(" ".join(run.finals()))
    latencies, unheld = partial_latencies(run, reference.words[name])
    results.latencies += latencies
    results.unheld += unheld
    results.texts[name] = text
    results.errors[name] = edit_distance(transcript, text)
    results.audio += seconds
    results.cpu += run.rusage.ru_utime + run.rusage.ru_stime
    results.listen_cpu += run.cpu_at_stop - run.cpu_at_listening
    results.rss = max(results.rss, run.rusage.ru_maxrss)


def measure_silence(args, results):
    log(f"{results.name}: 60 s of silence")
    silence = os.path.join(args.work, "silence.wav")
    run = run_quorvel(args.quorvel, silence, 60.0, results.roots)
    note_engine(run, results)
    results.gaps += run.restart_gaps()
    if None not in (run.first_listening, run.cpu_at_listening,
                    run.cpu_at_stop, run.hwm_at_stop_kib):
        results.silence_cpu = (100.0 * (run.cpu_at_stop - run.cpu_at_listening)
                               / (run.stop_sent - run.first_listening))
        results.silence_hwm = run.hwm_at_stop_kib


def percent(value):
    return "-" if value is None else f"{100 * value:.1f}%"


def print_recordings(transcripts, reference, engines):
    print("Per recording: word error rate of the \"final\" texts")
    print()
    rows = []
    for name, transcript in transcripts.items():
        words = max(1, len(transcript))
        row = [name, len(transcript)]
        for results in engines:
            row.append(percent(results.errors[name] / words)
                       if name in results.errors else "-")
        row.append(percent(reference.errors[name] / words))
        rows.append(row)
    print_table(["recording (+2 s silence)", "words"]
                + [r.name for r in engines] + ["pocketsphinx_continuous"],
                rows)
    print()
    for name, transcript in transcripts.items():
        print(name)
        print(f"  {'transcript':24} {' '.join(transcript)}")
        for results in engines:
            print(f"  {results.name:24} {' '.join(results.texts.get(name, []))}")
        words = [w for w, _, _ in reference.words[name]]
        print(f"  {'pocketsphinx_continuous':24} {' '.join(words)}")
    print()


# The first engine's targets: (row key, text, test of its value).
TARGETS = {
    "startup": ("<= 500 ms", lambda v: v <= 0.5),
    "gap_median": ("<= 20 ms", lambda v: v <= 0.020),
    "gap_max": ("<= 20 ms", lambda v: v <= 0.020),
    "latency": ("<= 450 ms", lambda v: v <= 0.450),
    "wer_librivox": ("<= 14%", lambda v: v <= 0.14),
    "wer_all": ("<= 14%", lambda v: v <= 0.14),
    "cpu": ("<= 0.050", lambda v: v <= 0.050),
    "rss": ("<= 70 MiB", lambda v: v <= 70 * 1024),
}


def summary_rows(results, transcripts):
    """(key, label, value, shown) for each measure of one engine."""
    rows = []

    def add(key, label, value, shown):
        rows.append((key, label, value, shown))

    add("startup", "startup, exec to first listening (median)",
        statistics.median(results.startups) if results.startups else None,
        ms(statistics.median(results.startups)) if results.startups else "-")
    # What the start costs the machine, which load on it does not change.
    add("startup_cpu", "  its CPU time (median)",
        statistics.median(results.startup_cpu) if results.startup_cpu
        else None,
        ms(statistics.median(results.startup_cpu)) if results.startup_cpu
        else "-")
    gaps = results.gaps
    add("gap_median", "restart gap, median",
        statistics.median(gaps) if gaps else None,
        f"{ms(statistics.median(gaps))} of {len(gaps)}" if gaps else "-")
    add("gap_max", "restart gap, max", max(gaps) if gaps else None,
        ms(max(gaps)) if gaps else "-")
    lat = results.latencies
    add("latency", "partial latency, median",
        statistics.median(lat) if lat else None,
        f"{ms(statistics.median(lat))} of {len(lat)} words" if lat else "-")
    add("latency_p90", "partial latency, 90th percentile",
        percentile(lat, 0.9) if lat else None,
        f"{ms(percentile(lat, 0.9))} ({results.unheld} never held)"
        if lat else "-")
    librivox = results.wer(transcripts, LIBRIVOX)
    add("wer_librivox", "WER, the five LibriVox recordings", librivox,
        percent(librivox))
    whole = results.wer(transcripts)
    add("wer_all", "WER, all recordings", whole, percent(whole))
    if results.audio > 0:
        listen = results.listen_cpu / results.audio
        whole_cpu = results.cpu / results.audio
        add("cpu", "CPU s per audio s, whole process, listening", listen,
            f"{listen:.3f}")
        add("cpu_load", "  same, with start-up and model load (wait4)",
            whole_cpu, f"{whole_cpu:.3f}")
        add("rss", "peak RSS on speech (wait4)", results.rss, mib(results.rss))
    if results.silence_cpu is not None:
        add("silence_cpu", "CPU listening to 60 s of silence",
            results.silence_cpu, f"{results.silence_cpu:.1f}% of a core")
        add("silence_rss", "peak RSS on silence (VmHWM)", results.silence_hwm,
            mib(results.silence_hwm))
    return rows


def print_summary(transcripts, reference, engines):
    per_engine = [summary_rows(r, transcripts) for r in engines]
    reference_values = {
        "wer_librivox": percent(_reference_wer(reference, transcripts,
                                               LIBRIVOX)),
        "wer_all": percent(_reference_wer(reference, transcripts)),
    }
    load_cpu = (statistics.median(reference.load_samples)
                if reference.load_samples else 0.0)
    if reference.audio > 0:
        reference_values["cpu"] = (
            f"{max(0.0, reference.cpu - len(reference.words) * load_cpu) / reference.audio:.3f}")
        reference_values["cpu_load"] = (
            f"{reference.cpu / reference.audio:.3f} "
            f"({reference.rt_cpu / reference.audio:.3f} fed in real time)")
        reference_values["rss"] = mib(reference.rss)
    rows = []
    for index, (key, label, value, shown) in enumerate(per_engine[0]):
        row = [label, shown]
        for other in per_engine[1:]:
            row.append(other[index][3])
        row.append(reference_values.get(key, "-"))
        target = TARGETS.get(key)
        row.append(target[0] if target else "-")
        row.append("-" if target is None or value is None
                   else verdict(target[1](value)))
        rows.append(row)
    print_table(["measure"] + [r.name for r in engines]
                + ["pocketsphinx_continuous", f"target ({engines[0].name})",
                   "result"], rows)
    print()
    for results in engines:
        print(f"{results.name}: QUORVEL_MODEL_DIR="
              f"{results.roots or '(default)'}; "
              + "; ".join(sorted(results.engine_lines)))
    print()
    print(f"Audio: {len(transcripts)} recordings, {reference.audio:.1f} s "
          "with padding. quorvel hears them in real time; "
          "pocketsphinx_continuous decodes each file as fast as it can "
          f"(median of {REFERENCE_RUNS} runs), so CPU is compared per audio "
          "second. quorvel's \"listening\" CPU is /proc utime+stime of the "
          "whole process (all its threads) from the first \"listening\" to "
          "\"stop\"; pocketsphinx_continuous's, beside it, leaves out its "
          f"model load and exit ({load_cpu:.2f} CPU s per run, median of "
          f"{len(reference.load_samples)} runs on 0.5 s of silence). The "
          "rows with wait4 count the whole run, start-up and model load "
          "included.")


def _reference_wer(reference, transcripts, only=None):
    names = [n for n in transcripts if only is None or n.startswith(only)]
    words = sum(len(transcripts[n]) for n in names)
    return sum(reference.errors[n] for n in names) / words if words else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quorvel", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--engine", action="append", required=True,
                        help="NAME=ROOTS, ROOTS empty for quorvel's default")
    args = parser.parse_args()
    names = sorted(f[:-4] for f in os.listdir(os.path.join(args.work, "rec"))
                   if f.endswith(".wav") and not f.endswith(".padded.wav"))
    transcripts = {}
    for name in names:
        with open(os.path.join(args.work, "rec", name + ".txt")) as f:
            transcripts[name] = normalise(f.read())
    engines = [Results(*spec.split("=", 1)) for spec in args.engine]
    reference = Reference()
    # What pocketsphinx_continuous costs without audio to speak of: three
    # samples here and one beside each recording, so that a passing burst
    # of other work does not decide it.
    short_silence = os.path.join(args.work, "short_silence.wav")
    reference.load_samples += [run_reference(short_silence, args.model)[1]
                               for _ in range(3)]
    for name in names:
        measure_reference(args, name, transcripts[name], reference)
    for results in engines:
        measure_startup(args, results)
        for name in names:
            measure_recording(args, name, transcripts[name], reference,
                              results)
        measure_silence(args, results)
    print()
    print_recordings(transcripts, reference, engines)
    print_summary(transcripts, reference, engines)


if __name__ == "__main__":
    main()
