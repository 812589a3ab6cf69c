"""Turns what bench/run.py observed into the values of the table's rows, in
base units: seconds, fractions, CPU seconds per audio second, KiB. Pure
functions of the observations; nothing here launches a process."""

import json
import math
import re
import statistics

LIBRIVOX = "sense_and_sensibility"


def normalise(text):
    """The words compared for the word error rate, the same for the
    transcripts, quorvel's texts and pocketsphinx_continuous's words:
    lower case; sentence marks <s> </s> and a trailing "(utterance-id)"
    dropped; apostrophes removed ("don't" is "dont", so a contraction
    counts as one word whichever way a system spells it); any other
    character but a-z and 0-9 separates words. Nothing else: no spelling,
    number or compound rewriting."""
    text = text.lower().replace("<s>", " ").replace("</s>", " ")
    text = re.sub(r"\([^)]*\)\s*$", " ", text)
    return re.sub(r"[^a-z0-9 ]+", " ", text.replace("'", "")).split()


def edit_distance(reference, hypothesis):
    """Word substitutions, deletions and insertions (Levenshtein)."""
    previous = list(range(len(hypothesis) + 1))
    for i, r in enumerate(reference, 1):
        current = [i]
        for j, h in enumerate(hypothesis, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1,
                               previous[j - 1] + (r != h)))
        previous = current
    return previous[-1]


def wer(errors, transcripts, prefix=""):
    """Word errors over transcript words, on the recordings named prefix*."""
    names = [n for n in transcripts if n.startswith(prefix)]
    words = sum(len(transcripts[n]) for n in names)
    return sum(errors[n] for n in names) / words if words else None


# pocketsphinx_continuous -time yes: "word start end confidence".
TIMING_LINE = re.compile(r"^(\S+) (\d+\.\d+) (\d+\.\d+) (-?\d+\.\d+)$")
FILLER = re.compile(r"^(<s>|</s>|<sil>|\[.*\]|\+\+.*\+\+)$")


def reference_words(output):
    """(word, start, end) of each word pocketsphinx_continuous printed with
    -time yes, normalised like every other text, fillers left out."""
    words = []
    for line in output.splitlines():
        match = TIMING_LINE.match(line.strip())
        if not match or FILLER.match(match.group(1)):
            continue
        # "word(2)" names the word's second pronunciation.
        spelling = re.sub(r"\(\d+\)$", "", match.group(1))
        words += [(w, float(match.group(2)), float(match.group(3)))
                  for w in normalise(spelling)]
    return words


def events(lines):
    """(arrival time, record) of every JSON line on standard output."""
    for t, stream, text in lines:
        if stream == "out":
            try:
                yield t, json.loads(text)
            except ValueError:
                pass


def finals(lines, separator=" "):
    return separator.join(e["text"] for _, e in events(lines)
                          if e.get("type") == "final")


def restart_gaps(lines):
    """Seconds from each "quorvel: restart after" line to the next
    "listening" record."""
    gaps, pending = [], None
    for t, stream, text in lines:
        if stream == "err" and text.startswith("quorvel: restart after "):
            pending = t
        elif stream == "out" and pending is not None and \
                '"type":"listening"' in text:
            gaps.append(t - pending)
            pending = None
    return gaps


def matched_reference_indices(reference, hypothesis):
    """Indices of reference words that a longest common subsequence with the
    hypothesis matches, as early in the reference as possible (a partial
    covers the start of the utterance, so a repeated word belongs to its
    first occurrence), each with the index of the hypothesis word it
    matches."""
    n, m = len(reference), len(hypothesis)
    table = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m - 1, -1, -1):
            table[i][j] = (table[i + 1][j + 1] + 1
                           if reference[i] == hypothesis[j]
                           else max(table[i + 1][j], table[i][j + 1]))
    matched, i, j = {}, 0, 0
    while i < n and j < m:
        if reference[i] == hypothesis[j]:
            matched[i] = j
            i, j = i + 1, j + 1
        elif table[i + 1][j] >= table[i][j + 1]:
            i += 1
        else:
            j += 1
    return matched


def partial_latencies(timed_events, origin, timings):
    """Seconds from the end of each reference word (audio time from origin,
    the first "listening") to the first partial or final whose text, after
    the finals before it, holds that word; and how many words none held."""
    words = [w for w, _, _ in timings]
    first_held, earlier = {}, []
    for t, event in timed_events:
        if event.get("type") not in ("partial", "final"):
            continue
        text = normalise(" ".join(earlier + [event["text"]]))
        for index in matched_reference_indices(words, text):
            first_held.setdefault(index, t)
        if event["type"] == "final":
            earlier.append(event["text"])
    return ([first_held[i] - (origin + timings[i][2])
             for i in sorted(first_held)], len(words) - len(first_held))


def percentile(values, fraction):
    """Nearest rank: the smallest value with at least fraction of all at or
    below it; None for no values."""
    if not values:
        return None
    rank = math.ceil(round(fraction * len(values), 9))
    return sorted(values)[max(0, rank - 1)]


def median(values):
    return statistics.median(values) if values else None


def ratio(numerator, denominator):
    return numerator / denominator if denominator > 0 else None


def complete(run):
    """A run that listened until "stop", so its CPU readings exist."""
    return None not in (run.first_listening, run.cpu_at_listening,
                        run.cpu_at_stop)


def dictation_wer(transcript, text):
    return edit_distance(transcript, normalise(text)) / len(transcript)


def score_engine(runs, transcripts, audio, timings, dictation):
    """Values, texts and word errors of one quorvel configuration; the
    dictation rows against dictation, the words of that recording. A run
    that failed keeps what it wrote: its missing words count as errors."""
    texts = {n: normalise(finals(r.lines)) for n, r in runs.recordings.items()}
    errors = {n: edit_distance(transcripts[n], texts[n]) for n in transcripts}
    gaps = [g for run in every(runs) for g in restart_gaps(run.lines)]
    latencies, unheld = speech_latencies(runs.recordings, timings)
    spoken = [(n, r) for n, r in runs.recordings.items() if complete(r)]
    seconds = sum(audio[n] for n, _ in spoken)
    silence = runs.silence
    values = {
        "startup": median([r.first_listening - r.exec_time
                           for r in runs.startups
                           if r.first_listening is not None]),
        "startup_cpu": median([r.cpu_at_listening for r in runs.startups
                               if r.cpu_at_listening is not None]),
        "gap_median": median(gaps),
        "gap_max": max(gaps, default=None),
        "gaps": len(gaps),
        "failed": sum(not run.clean for run in every(runs)),
        "latency": median(latencies),
        "latency_p90": percentile(latencies, 0.9),
        "latency_words": len(latencies),
        "unheld": unheld,
        "wer_librivox": wer(errors, transcripts, LIBRIVOX),
        "wer_all": wer(errors, transcripts),
        "cpu": listening_cpu(runs.recordings, audio),
        "cpu_load": ratio(sum(r.cpu for _, r in spoken), seconds),
        "rss": max((r.maxrss_kib for _, r in spoken), default=None),
        "wer_dictation": dictation_wer(dictation, finals(runs.dictation.lines)),
        "wer_dictation_alone": dictation_wer(dictation, runs.dictation_alone),
    }
    if not runs.dictation.clean:
        values["wer_dictation"] = None
    if values["wer_dictation"] is not None:
        values["dictation_excess"] = (values["wer_dictation"]
                                      - values["wer_dictation_alone"])
    if complete(silence) and silence.hwm_at_stop_kib:
        values["silence_cpu"] = idle_cpu(silence)
        values["silence_rss"] = silence.hwm_at_stop_kib
    return values, texts, errors


def speech_latencies(recordings, timings):
    """The partial latency of every word timed in the recordings, and how
    many timed words no partial ever held."""
    latencies, unheld = [], 0
    for name, run in recordings.items():
        if run.first_listening is None:
            unheld += len(timings[name])
            continue
        held, missed = partial_latencies(events(run.lines),
                                         run.first_listening, timings[name])
        latencies += held
        unheld += missed
    return latencies, unheld


def listening_cpu(recordings, audio):
    """CPU seconds per audio second while listening to the recordings."""
    spoken = [(n, r) for n, r in recordings.items() if complete(r)]
    return ratio(sum(r.cpu_at_stop - r.cpu_at_listening for _, r in spoken),
                 sum(audio[n] for n, _ in spoken))


def idle_cpu(run):
    """CPU as a share of a core from the first "listening" to "stop"."""
    if not complete(run):
        return None
    return ratio(run.cpu_at_stop - run.cpu_at_listening,
                 run.stop_sent - run.first_listening)


def worded_finals(run):
    """The "final" records that hold a word."""
    return sum(1 for _, e in events(run.lines)
               if e.get("type") == "final" and normalise(e.get("text", "")))


def score_conditions(runs, engine_runs, values, audio, timings, dictation):
    """The rows of run.measure_conditions, beside the engine's values (in
    base units): WER at other levels and rates and how far the worst is
    above x1; CPU on a quiet room and a fan; words heard in silence and
    steady noise; and the ungated figures, with how much gating changes
    them. An unmeasured value is None, and so is a difference with it."""
    def wer_of(run):
        return dictation_wer(dictation, finals(run.lines)) if run.clean \
            else None

    def change(a, b, absolute=True):
        if a is None or b is None:
            return None
        return abs(a - b) if absolute else a - b

    out = {key: wer_of(runs.dictations[name]) for key, name in (
        ("wer_x0.1", "dictation_x0.1"), ("wer_x0.03", "dictation_x0.03"),
        ("wer_48k", "dictation_48k"))}
    levels = [out[k] for k in ("wer_x0.1", "wer_x0.03", "wer_48k")]
    x1 = values.get("wer_dictation")
    out["level_excess"] = None if None in levels + [x1] else max(
        level - x1 for level in levels)
    out["quiet_room_cpu"] = idle_cpu(runs.idle["quiet_room"])
    out["fan_cpu"] = idle_cpu(runs.idle["fan"])
    quiet = [engine_runs.silence, runs.idle["steady_room"]]
    out["noise_words"] = sum(worded_finals(r) for r in quiet) if all(
        r.clean for r in quiet) else None
    ungated = runs.ungated
    out["ungated_wer"] = wer_of(ungated.dictations["dictation"])
    out["ungated_wer_x0.03"] = wer_of(ungated.dictations["dictation_x0.03"])
    wer_changes = [change(x1, out["ungated_wer"]),
                   change(out["wer_x0.03"], out["ungated_wer_x0.03"])]
    out["gating_wer_change"] = None if None in wer_changes else max(
        wer_changes)
    out["ungated_latency"] = median(
        speech_latencies(ungated.recordings, timings)[0])
    out["gating_latency_change"] = change(values.get("latency"),
                                          out["ungated_latency"])
    out["ungated_cpu"] = listening_cpu(ungated.recordings, audio)
    out["gating_cpu_change"] = change(values.get("cpu"), out["ungated_cpu"],
                                      absolute=False)
    return out


def score_reference(runs, transcripts, audio, dictation):
    """Values, texts and word errors of pocketsphinx_continuous, and the CPU
    seconds its model load and exit cost on their own. Its listening CPU
    is that of each file's decode less that cost."""
    words = {n: reference_words(r.output) for n, r in runs.recordings.items()}
    texts = {n: [w for w, _, _ in words[n]] for n in words}
    errors = {n: edit_distance(transcripts[n], texts[n]) for n in transcripts}
    load = median(runs.load_cpu) or 0.0
    seconds = sum(audio[n] for n in runs.recordings)
    recordings = runs.recordings.values()
    values = {
        "wer_librivox": wer(errors, transcripts, LIBRIVOX),
        "wer_all": wer(errors, transcripts),
        "cpu": ratio(max(0.0, sum(r.file_cpu for r in recordings)
                         - len(recordings) * load), seconds),
        "cpu_load": ratio(sum(r.real_time_cpu for r in recordings), seconds),
        "rss": max((r.maxrss_kib for r in recordings), default=None),
        "wer_dictation": dictation_wer(
            dictation, " ".join(w for w, _, _ in reference_words(
                runs.dictation))),
    }
    return values, texts, errors, words, load


def every(runs):
    return (runs.startups + list(runs.recordings.values())
            + [runs.silence, runs.dictation])


def engine_lines(runs):
    """The "recognising with" diagnostics: which model the runs used."""
    return sorted({text[len("quorvel: "):] for run in every(runs)
                   for _, stream, text in run.lines
                   if stream == "err"
                   and text.startswith("quorvel: recognising with ")})


def recall(transcript, heard, written):
    """The share of the occurrences of the written words in transcript that
    an alignment with the heard text matches, spelt exactly as written
    (case included: a name must come out as the parent spells it); None
    without any."""
    spelling = {w.lower(): w for w in written}
    spelt = re.sub(r"[^A-Za-z0-9 ]+", " ", heard.replace("'", "")).split()
    matched = matched_reference_indices(transcript, [w.lower() for w in spelt])
    wanted = [i for i, w in enumerate(transcript) if w in spelling]
    return ratio(sum(i in matched and spelt[matched[i]] == spelling[transcript[i]]
                     for i in wanted), len(wanted))


def score_phrases(runs, transcript, listed):
    """The phrases rows: for each way (none, listed, unrelated, nearmiss)
    the recall of the listed words as written and the WER of the finals,
    CPU per audio second while listening, peak memory and the partial
    latency median; then how each list compares with no list."""
    timings = reference_words(runs.reference)
    values = {}
    for way, run in runs.ways.items():
        text = finals(run.lines)
        values[f"phrases_recall_{way}"] = recall(transcript, text, listed)
        values[f"phrases_wer_{way}"] = (
            edit_distance(transcript, normalise(text)) / len(transcript)
            if run.clean else None)
        if complete(run):
            values[f"phrases_cpu_{way}"] = ratio(
                run.cpu_at_stop - run.cpu_at_listening, runs.seconds)
            values[f"phrases_latency_{way}"] = median(partial_latencies(
                events(run.lines), run.first_listening, timings)[0])
            values[f"phrases_rss_{way}"] = run.maxrss_kib
        values["phrases_failed"] = (values.get("phrases_failed", 0)
                                    + (not run.clean))

    def difference(key, a, b):
        if values.get(a) is not None and values.get(b) is not None:
            values[key] = values[a] - values[b]

    difference("phrases_wer_excess", "phrases_wer_listed", "phrases_wer_none")
    for way in ("unrelated", "nearmiss"):
        difference(f"phrases_wer_{way}_excess", f"phrases_wer_{way}",
                   "phrases_wer_none")
    for measure in ("cpu", "latency", "rss"):
        difference(f"phrases_{measure}_excess", f"phrases_{measure}_listed",
                   f"phrases_{measure}_none")
    return values


def first_partial(run, offset):
    """Seconds from offset into the recording to the first partial."""
    first = next((t for t, e in events(run.lines)
                  if e.get("type") == "partial"), None)
    if first is None or run.first_listening is None:
        return None
    return first - run.first_listening - offset


def score_rooms(runs, values, timings, dictation):
    """The rows of run.measure_rooms, beside the engine's values (its 16 kHz
    partial latency): WER in each mix, through quorvel and its engine
    alone, and how far quorvel is above; words from hum and from a fan
    switching on; the first partial after launch and after 3 s of
    listening; the partial latency at 48 kHz."""
    def wer_of(run):
        return dictation_wer(dictation, finals(run.lines)) if run.clean \
            else None

    def words(run):
        return len(normalise(finals(run.lines))) if run.clean else None

    def difference(a, b):
        return None if a is None or b is None else a - b

    out = {}
    for name in runs.alone:
        out[f"room_wer_{name}"] = wer_of(runs.mixes[name])
        out[f"room_wer_{name}_alone"] = dictation_wer(dictation,
                                                      runs.alone[name])
        out[f"room_{name}_excess"] = difference(
            out[f"room_wer_{name}"], out[f"room_wer_{name}_alone"])
    out["room_distant_excess"] = difference(out["room_wer_babble5_x0.05"],
                                            out["room_wer_babble5"])
    out["room_hum_words"] = words(runs.mixes["hum"])
    out["room_fan_words"] = difference(
        words(runs.mixes["fan_after_speech"]),
        words(runs.mixes["quiet_sentence_alone"]))
    firsts = {name: median([v for v in (first_partial(r, offset)
                                        for r in runs.first[name])
                            if v is not None])
              for name, offset in (("from_launch", 0.0), ("after_3s", 3.0))}
    out["room_first_partial_launch"] = firsts["from_launch"]
    out["room_first_partial_later"] = firsts["after_3s"]
    out["room_first_partial_delay"] = difference(firsts["from_launch"],
                                                 firsts["after_3s"])
    out["room_latency_48k"] = median(
        speech_latencies(runs.rec48k, timings)[0])
    out["room_latency_48k_excess"] = difference(out["room_latency_48k"],
                                                 values.get("latency"))
    out["failed"] = sum(not r.clean for r in list(runs.mixes.values())
                        + list(runs.rec48k.values())
                        + runs.first["from_launch"] + runs.first["after_3s"])
    return out
