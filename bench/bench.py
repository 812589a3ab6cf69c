#!/usr/bin/env python3
"""Measures quorvel against pocketsphinx_continuous on the same recordings.

Called by bench/run_bench.sh, which prepares the work directory:
  <work>/rec/NAME.wav          a 16 kHz mono 16-bit recording
  <work>/rec/NAME.txt          its transcript
  <work>/rec/NAME.padded.wav   the recording followed by 2 s of silence
  <work>/silence.wav           60 s of silence
and exports QUORVEL_PRIVACY_FILE with both permissions granted.
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


def run_quorvel(binary, audio, stop_after):
    """Plays audio in place of the microphone; sends "stop" stop_after
    seconds after the first "listening" and waits for the process to end."""
    env = dict(os.environ, QUORVEL_AUDIO_INPUT=audio)
    env.pop("QUORVEL_SPHINX_LOG", None)
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


class Results:
    """Everything measured, summed over the recordings where it adds up."""

    def __init__(self):
        self.startups = []
        self.gaps = []
        self.load_samples = []  # pocketsphinx_continuous on 0.5 s of silence
        self.recordings = []  # one dict per recording, for the detail table
        self.latencies = []
        self.unheld = 0
        self.silence_cpu = None  # percent of one core
        self.silence_hwm = None  # KiB
        self.audio = 0.0  # seconds, padding included
        self.q_cpu = self.q_listen_cpu = self.r_cpu = self.rt_cpu = 0.0
        self.q_rss = self.r_rss = 0  # KiB
        self.ref_words = self.q_err = self.r_err = 0


def measure_startup(args, results):
    log(f"startup: {STARTUP_RUNS} runs")
    silence = os.path.join(args.work, "silence.wav")
    for _ in range(STARTUP_RUNS):
        run = run_quorvel(args.quorvel, silence, stop_after=0.0)
        if run.first_listening is not None:
            results.startups.append(run.first_listening - run.exec_time)
        results.gaps += run.restart_gaps()


def measure_recording(args, name, results):
    recordings_dir = os.path.join(args.work, "rec")
    padded = os.path.join(recordings_dir, name + ".padded.wav")
    short_silence = os.path.join(args.work, "short_silence.wav")
    with open(os.path.join(recordings_dir, name + ".txt")) as f:
        transcript = normalise(f.read())
    seconds = audio_seconds(padded)
    log(f"{name}: pocketsphinx_continuous on the file ({REFERENCE_RUNS}x), "
        f"then in real time, then quorvel, {seconds:.1f} s")
    results.load_samples.append(run_reference(short_silence, args.model)[1])
    # Its short bursts vary most from run to run: the median of three.
    runs = sorted((run_reference(padded, args.model)
                   for _ in range(REFERENCE_RUNS)), key=lambda r: r[1])
    reference_words, reference_cpu, reference_rss = runs[len(runs) // 2]
    _, real_time_cpu, _ = run_reference(padded, args.model, real_time=True)
    run = run_quorvel(args.quorvel, padded, stop_after=seconds)
    results.gaps += run.restart_gaps()
    if None in (run.first_listening, run.cpu_at_listening, run.cpu_at_stop):
        log(f"{name} left out: quorvel did not listen until \"stop\"")
        return

    quorvel_text = normalise(" ".join(run.finals()))
    reference_text = [w for w, _, _ in reference_words]
    latencies, unheld = partial_latencies(run, reference_words)
    results.latencies += latencies
    results.unheld += unheld
    quorvel_errors = edit_distance(transcript, quorvel_text)
    reference_errors = edit_distance(transcript, reference_text)
    quorvel_cpu = run.rusage.ru_utime + run.rusage.ru_stime
    results.audio += seconds
    results.q_cpu += quorvel_cpu
    results.q_listen_cpu += run.cpu_at_stop - run.cpu_at_listening
    results.r_cpu += reference_cpu
    results.rt_cpu += real_time_cpu
    results.q_rss = max(results.q_rss, run.rusage.ru_maxrss)
    results.r_rss = max(results.r_rss, reference_rss)
    results.ref_words += len(transcript)
    results.q_err += quorvel_errors
    results.r_err += reference_errors
    results.recordings.append({
        "name": name, "seconds": seconds, "transcript": transcript,
        "quorvel": quorvel_text, "reference": reference_text,
        "q_err": quorvel_errors, "r_err": reference_errors,
        "q_cpu": quorvel_cpu, "r_cpu": reference_cpu,
        "latencies": latencies})


def measure_silence(args, results):
    log("60 s of silence")
    silence = os.path.join(args.work, "silence.wav")
    run = run_quorvel(args.quorvel, silence, stop_after=60.0)
    results.gaps += run.restart_gaps()
    if None not in (run.first_listening, run.cpu_at_listening,
                    run.cpu_at_stop, run.hwm_at_stop_kib):
        results.silence_cpu = (100.0 * (run.cpu_at_stop - run.cpu_at_listening)
                               / (run.stop_sent - run.first_listening))
        results.silence_hwm = run.hwm_at_stop_kib


def print_recordings(results):
    print("Per recording (WER = word errors / transcript words; latency = "
          "median partial latency)")
    print()
    rows = []
    for r in results.recordings:
        words = max(1, len(r["transcript"]))
        rows.append([r["name"], f"{r['seconds']:.1f} s", len(r["transcript"]),
                     f"{100.0 * r['q_err'] / words:.0f}%",
                     f"{100.0 * r['r_err'] / words:.0f}%",
                     f"{r['q_cpu']:.2f} s", f"{r['r_cpu']:.2f} s",
                     ms(statistics.median(r["latencies"]))
                     if r["latencies"] else "-"])
    print_table(["recording (+2 s silence)", "audio", "words", "WER quorvel",
                 "WER reference", "CPU quorvel", "CPU reference",
                 "latency"], rows)
    print()
    for r in results.recordings:
        print(r["name"])
        print(f"  transcript: {' '.join(r['transcript'])}")
        print(f"  quorvel:    {' '.join(r['quorvel'])}")
        print(f"  reference:  {' '.join(r['reference'])}")
    print()


def ratio(verdict_ok, value, reference):
    text = verdict(verdict_ok) if verdict_ok is not None else ""
    if reference:
        text += f" ({value / reference:.2f}x)"
    return text.strip()


def print_summary(results):
    rows = []
    if results.startups:
        value = statistics.median(results.startups)
        rows.append(["startup, exec to first listening (median of "
                     f"{len(results.startups)})", ms(value), "-", "<= 600 ms",
                     verdict(value <= 0.6)])
    gaps = results.gaps
    if gaps:
        rows.append([f"restart gap, median of {len(gaps)}",
                     ms(statistics.median(gaps)), "-", "<= 20 ms",
                     verdict(statistics.median(gaps) <= 0.020)])
        rows.append([f"restart gap, max of {len(gaps)}", ms(max(gaps)), "-",
                     "<= 20 ms", verdict(max(gaps) <= 0.020)])
    else:
        rows.append(["restart gap", "no restart seen", "-", "<= 20 ms", "-"])
    if results.latencies:
        median = statistics.median(results.latencies)
        rows.append([f"partial latency, median of {len(results.latencies)} "
                     "words", ms(median), "-", "<= 150 ms",
                     verdict(median <= 0.150)])
        rows.append([f"partial latency, 90th percentile "
                     f"({results.unheld} words never held)",
                     ms(percentile(results.latencies, 0.9)), "-", "-", "-"])
    if results.silence_cpu is not None:
        rows.append(["CPU listening to 60 s of silence",
                     f"{results.silence_cpu:.1f}%", "-", "<= 3% of a core",
                     verdict(results.silence_cpu <= 3.0)])
        rows.append(["peak RSS (VmHWM) on silence", mib(results.silence_hwm),
                     "-", "-", "-"])
    load_cpu = (statistics.median(results.load_samples)
                if results.load_samples else 0.0)
    if results.audio > 0:
        q_rate = results.q_cpu / results.audio
        r_rate = results.r_cpu / results.audio
        rt_rate = results.rt_cpu / results.audio
        q_listen = results.q_listen_cpu / results.audio
        r_decode = max(0.0, results.r_cpu - len(results.recordings) *
                       load_cpu) / results.audio
        rows.append(["speech: CPU s per audio s, whole process",
                     f"{q_rate:.3f}", f"{r_rate:.3f}", "<= 1.1x reference",
                     ratio(q_rate <= 1.1 * r_rate, q_rate, r_rate)])
        rows.append(["  same, reference fed in real time through a pipe",
                     f"{q_rate:.3f}", f"{rt_rate:.3f}", "-",
                     ratio(None, q_rate, rt_rate)])
        rows.append(["  same, model load excluded (reference on the file)",
                     f"{q_listen:.3f}", f"{r_decode:.3f}", "-",
                     ratio(None, q_listen, r_decode)])
        rows.append(["speech: peak RSS", mib(results.q_rss),
                     mib(results.r_rss), "<= 1.1x reference",
                     ratio(results.q_rss <= 1.1 * results.r_rss,
                           results.q_rss, results.r_rss)])
        q_wer = results.q_err / results.ref_words
        r_wer = results.r_err / results.ref_words
        rows.append([f"WER over {results.ref_words} transcript words",
                     f"{100 * q_wer:.1f}%", f"{100 * r_wer:.1f}%",
                     "<= 1.05x reference",
                     ratio(q_wer <= 1.05 * r_wer, q_wer, r_wer)])
    print_table(["measure", "quorvel", "pocketsphinx_continuous", "target",
                 "result"], rows)
    print()
    print(f"Audio: {len(results.recordings)} recordings, "
          f"{results.audio:.1f} s with padding. quorvel hears them in real "
          "time; pocketsphinx_continuous decodes each file as fast as it can "
          f"(median of {REFERENCE_RUNS} runs), so CPU is compared per audio "
          "second, not per wall second; the row below it feeds "
          "pocketsphinx_continuous the same samples through a pipe at the "
          "pace of a microphone instead. Its model load and exit cost "
          f"{load_cpu:.2f} CPU s per run (median of "
          f"{len(results.load_samples)} runs on 0.5 s of silence). quorvel's "
          "whole-process CPU and RSS come from wait4 (its reaped children "
          "included); its CPU with model load excluded is /proc utime+stime "
          "from the first \"listening\" to \"stop\".")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quorvel", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--model", required=True)
    args = parser.parse_args()
    names = sorted(f[:-4] for f in os.listdir(os.path.join(args.work, "rec"))
                   if f.endswith(".wav") and not f.endswith(".padded.wav"))
    results = Results()
    measure_startup(args, results)
    # What pocketsphinx_continuous costs without audio to speak of: three
    # samples here and one beside each recording, so that a passing burst
    # of other work does not decide it.
    short_silence = os.path.join(args.work, "short_silence.wav")
    results.load_samples += [run_reference(short_silence, args.model)[1]
                             for _ in range(3)]
    for name in names:
        measure_recording(args, name, results)
    measure_silence(args, results)
    print()
    print_recordings(results)
    print_summary(results)


if __name__ == "__main__":
    main()
