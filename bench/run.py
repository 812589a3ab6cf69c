"""Launches quorvel and pocketsphinx_continuous on the recordings and keeps
what they did, raw: every line with its arrival time, CPU and memory
readings, word timings. bench/score.py makes numbers of it."""

import os
import re
import selectors
import subprocess
import sys
import threading
import time
import types
import wave

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
STARTUP_RUNS = 5
REFERENCE_RUNS = 3
# Far beyond anything a healthy run needs; a hung helper is killed.
HARD_TIMEOUT_SLACK = 30.0


def log(message):
    print("bench: " + message, file=sys.stderr, flush=True)


def audio_seconds(path):
    """The length of a recording of any format sox reads."""
    return float(subprocess.check_output(["soxi", "-D", path], text=True))


def proc_cpu_seconds(pid):
    """utime + stime of the process, all threads; None once it has gone."""
    # Fields 14 and 15; the name in field 2 may hold spaces, so count from
    # the closing parenthesis.
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def proc_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return int(re.search(r"^VmHWM:\s+(\d+)", f.read(), re.M)[1])
    except (OSError, TypeError):
        return None


def reap(process):
    """Waits for the process: (CPU seconds, peak RSS in KiB) from wait4."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def close(pipe):
    try:
        pipe.close()
    except BrokenPipeError:
        pass


def run_quorvel(binary, audio, stop_after, roots, args=()):
    """Plays audio in place of the microphone, with the model roots given
    (empty: quorvel's default) and args; sends "stop" stop_after seconds
    after the first "listening" and waits for the process to end."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("QUORVEL_SPHINX_LOG", "QUORVEL_MODEL_DIR")}
    env["QUORVEL_AUDIO_INPUT"] = audio
    if roots:
        env["QUORVEL_MODEL_DIR"] = roots
    run = types.SimpleNamespace(
        lines=[], exec_time=time.monotonic(), first_listening=None,
        stop_sent=None, cpu_at_listening=None, cpu_at_stop=None,
        hwm_at_stop_kib=None, killed=False)
    process = subprocess.Popen([binary, *args], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env, bufsize=0)
    selector = selectors.DefaultSelector()
    pending = {"out": b"", "err": b""}
    for stream, name in ((process.stdout, "out"), (process.stderr, "err")):
        os.set_blocking(stream.fileno(), False)
        selector.register(stream, selectors.EVENT_READ, name)
    deadline = run.exec_time + stop_after + HARD_TIMEOUT_SLACK
    stop_at = None
    while selector.get_map():
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
            except BrokenPipeError:
                pass
            close(process.stdin)
        waiting = stop_at is not None and run.stop_sent is None
        for key, _ in selector.select(
                max(0.0, min(0.5, stop_at - now)) if waiting else 0.5):
            chunk = os.read(key.fileobj.fileno(), 65536)
            arrived = time.monotonic()
            if not chunk:
                selector.unregister(key.fileobj)
                continue
            *complete, pending[key.data] = (pending[key.data] + chunk).split(
                b"\n")
            for raw in complete:
                text = raw.decode("utf-8", "replace")
                run.lines.append((arrived, key.data, text))
                if key.data == "out" and run.first_listening is None and \
                        '"type":"listening"' in text:
                    run.first_listening = arrived
                    run.cpu_at_listening = proc_cpu_seconds(process.pid)
                    stop_at = arrived + stop_after
    close(process.stdin)
    run.cpu, run.maxrss_kib = reap(process)
    keep_log(run, audio)
    # Clean: listened, wrote "stopped" and exited 0 on its own.
    run.clean = run.first_listening is not None and not run.killed and \
        process.returncode == 0 and any(
            '"type":"stopped"' in text for _, _, text in run.lines)
    if not run.clean:
        log(f"quorvel failed on {audio} (status {process.returncode}"
            f"{', killed' if run.killed else ''}): "
            + " | ".join(text for _, _, text in run.lines[-5:]))
    return run


def keep_log(run, audio):
    """With QUORVEL_BENCH_LOGS set to a directory, keeps the run's lines
    there (level records left out), timed from its first "listening"."""
    directory = os.environ.get("QUORVEL_BENCH_LOGS")
    if not directory:
        return
    os.makedirs(directory, exist_ok=True)
    base = os.path.basename(audio).split(".")[0]
    number = len(os.listdir(directory)) + 1
    origin = run.first_listening or run.exec_time
    with open(os.path.join(directory, f"{number:02d}-{base}.log"), "w") as f:
        for t, stream, text in run.lines:
            if '"type":"level"' not in text:
                f.write(f"{t - origin:8.3f} {stream} {text}\n")


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
    close(pipe)


def run_reference(audio, model, real_time=False):
    """pocketsphinx_continuous -time yes on a file: (its output, CPU seconds,
    peak RSS in KiB). With real_time, the samples reach it through a pipe
    at the pace they would come from a microphone."""
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
    cpu, rss = reap(process)
    if feeder:
        feeder.join()
    return output, cpu, rss


def measure_reference(work, model, names):
    """pocketsphinx_continuous on every recording: decoded as fast as it
    can (the median by CPU, since its short bursts vary most) and fed in
    real time; beside each, its cost on 0.5 s of silence (model load and
    exit), so that a passing burst of other work does not decide that."""
    short_silence = os.path.join(work, "short_silence.wav")
    runs = types.SimpleNamespace(load_cpu=[], recordings={})
    log("continuous dictation: pocketsphinx_continuous on the file")
    runs.dictation = run_reference(os.path.join(work, "dictation.wav"),
                                   model)[0]
    for name in names:
        padded = os.path.join(work, "rec", name + ".padded.wav")
        log(f"{name}: pocketsphinx_continuous on the file "
            f"({REFERENCE_RUNS}x), then in real time")
        runs.load_cpu.append(run_reference(short_silence, model)[1])
        decodes = [run_reference(padded, model) for _ in range(REFERENCE_RUNS)]
        output, cpu, rss = sorted(decodes, key=lambda d: d[1])[
            len(decodes) // 2]
        runs.recordings[name] = types.SimpleNamespace(
            output=output, file_cpu=cpu, maxrss_kib=rss,
            real_time_cpu=run_reference(padded, model, real_time=True)[1])
    return runs


def run_engine_alone(tool, audio, roots):
    """The engine that quorvel would use with the model roots given, on its
    own, decoding audio as one stream: its text ("" when it fails)."""
    env = {k: v for k, v in os.environ.items() if k != "QUORVEL_MODEL_DIR"}
    if roots:
        env["QUORVEL_MODEL_DIR"] = roots
    done = subprocess.run([tool, audio], env=env, capture_output=True,
                          text=True)
    if done.returncode != 0:
        log(f"{tool} failed on {audio}: {done.stderr.strip()}")
    return done.stdout


def measure_engine(binary, work, name, roots, audio, engine_alone):
    """quorvel with the model roots given: STARTUP_RUNS starts, each
    recording in real time until "stop" after its last sample, 60 s of
    silence, and the continuous dictation, which its engine also decodes
    on its own."""
    silence = os.path.join(work, "silence.wav")
    log(f"{name}: startup, {STARTUP_RUNS} runs")
    runs = types.SimpleNamespace(name=name, roots=roots, recordings={})
    runs.startups = [run_quorvel(binary, silence, 0.0, roots)
                     for _ in range(STARTUP_RUNS)]
    for recording, seconds in audio.items():
        log(f"{recording}: quorvel with {name}, {seconds:.1f} s")
        runs.recordings[recording] = run_quorvel(
            binary, os.path.join(work, "rec", recording + ".padded.wav"),
            seconds, roots)
    log(f"{name}: 60 s of silence")
    runs.silence = run_quorvel(binary, silence, 60.0, roots)
    dictation = os.path.join(work, "dictation.wav")
    log(f"{name}: continuous dictation, {audio_seconds(dictation):.1f} s, "
        "then its engine alone")
    runs.dictation = run_quorvel(binary, dictation, audio_seconds(dictation),
                                 roots)
    runs.dictation_alone = run_engine_alone(engine_alone, dictation, roots)
    return runs



def measure_conditions(binary, ungated, work, roots, audio):
    """The engine under test in conditions of its own: the dictation from
    quieter microphones (float samples) and from a 48 kHz stereo one; 60 s
    of a quiet room and of a fan and 30 s of a louder steady room, in which
    nobody speaks; and, for comparison, ungated (the same program without
    its voice-activity model, which decodes all audio) on the recordings
    and on the dictation at x1 and x0.03."""
    def path(name):
        return os.path.join(work, name + ".wav")
    seconds = audio_seconds(path("dictation"))
    runs = types.SimpleNamespace(dictations={}, idle={})
    for name in ("dictation_x0.1", "dictation_x0.03", "dictation_48k"):
        log(f"{name}: quorvel, {seconds:.1f} s")
        runs.dictations[name] = run_quorvel(binary, path(name), seconds, roots)
    for name, length in (("quiet_room", 60.0), ("fan", 60.0),
                         ("steady_room", 30.0)):
        log(f"{name}: quorvel, {length:.0f} s")
        runs.idle[name] = run_quorvel(binary, path(name), length, roots)
    runs.ungated = types.SimpleNamespace(recordings={}, dictations={})
    for recording, length in audio.items():
        log(f"{recording}: quorvel decoding all audio, {length:.1f} s")
        runs.ungated.recordings[recording] = run_quorvel(
            ungated, os.path.join(work, "rec", recording + ".padded.wav"),
            length, roots)
    for name in ("dictation", "dictation_x0.03"):
        log(f"{name}: quorvel decoding all audio, {seconds:.1f} s")
        runs.ungated.dictations[name] = run_quorvel(ungated, path(name),
                                                   seconds, roots)
    return runs


def measure_phrases(binary, work, model):
    """quorvel with its default engine on phrases.wav four ways: without a
    phrase file, with listed.txt (the rare words among unrelated phrases),
    with unrelated.txt alone and with nearmiss.txt (names that sound like
    words said, none of them said); and pocketsphinx_continuous's word
    timings of the recording, for the partial latency."""
    audio = os.path.join(work, "phrases.wav")
    seconds = audio_seconds(audio)
    runs = types.SimpleNamespace(seconds=seconds, ways={})
    for way in ("none", "listed", "unrelated", "nearmiss"):
        log(f"phrases: quorvel, {way}, {seconds:.1f} s")
        args = [] if way == "none" else [
            "--phrases", os.path.join(work, way + ".txt")]
        runs.ways[way] = run_quorvel(binary, audio, seconds, "", args)
    runs.reference = run_reference(audio, model)[0]
    return runs


FIRST_PARTIAL_RUNS = 3
MIXES = ("pink10", "babble5", "babble5_x0.05", "white3")


def measure_rooms(binary, engine_alone, work, roots, audio):
    """The engine under test in rooms: the dictation in pink noise, babble
    (and that mix at x0.05) and white noise, through quorvel and through
    its engine alone on the same mix; 30 s of hum and rumble; a fan
    switching on after a quiet sentence, beside the sentence alone; a
    sentence from the first moment of listening and after 3 s
    (FIRST_PARTIAL_RUNS each); every recording from a 48 kHz stereo
    microphone."""
    def path(name):
        return os.path.join(work, name + ".wav")
    runs = types.SimpleNamespace(mixes={}, alone={}, first={}, rec48k={})
    for name in MIXES + ("hum", "fan_after_speech", "quiet_sentence_alone"):
        seconds = audio_seconds(path(name))
        log(f"{name}: quorvel, {seconds:.1f} s")
        runs.mixes[name] = run_quorvel(binary, path(name), seconds, roots)
        if name in MIXES:
            runs.alone[name] = run_engine_alone(engine_alone, path(name),
                                                roots)
    for name in ("from_launch", "after_3s"):
        log(f"{name}: quorvel, {FIRST_PARTIAL_RUNS}x")
        runs.first[name] = [
            run_quorvel(binary, path(name), audio_seconds(path(name)), roots)
            for _ in range(FIRST_PARTIAL_RUNS)]
    for recording, seconds in audio.items():
        log(f"{recording}: quorvel at 48 kHz, {seconds:.1f} s")
        runs.rec48k[recording] = run_quorvel(
            binary, os.path.join(work, "rec48k", recording + ".padded.wav"),
            seconds, roots)
    return runs
