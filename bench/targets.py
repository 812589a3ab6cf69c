"""The rows of the bench's table: what is measured, in which unit, and for
the engine under test (the first one named) the target it must meet.
Informational rows have no comparison. Every bound is written here once,
in its row's unit; the scorer hands over values in base units (seconds, a
fraction, CPU seconds per audio second, KiB) and UNITS converts them."""

import collections
import operator

Row = collections.namedtuple("Row", "key measure unit comparison bound",
                             defaults=(None, None))

# unit -> (factor from the base unit, format of a value in this unit)
UNITS = {
    "ms": (1000.0, "{:.0f} ms"),
    "%": (100.0, "{:.1f}%"),
    "% of a core": (100.0, "{:.1f}% of a core"),
    "CPU s/audio s": (1.0, "{:.3f}"),
    "MiB": (1 / 1024.0, "{:.1f} MiB"),
    "count": (1.0, "{:.0f}"),
    "points": (100.0, "{:+.1f} points"),
    "times": (1.0, "{:.2f}x"),
}

COMPARISONS = {"<=": operator.le, ">=": operator.ge}

ROWS = [
    # A run that crashed, hung or never listened must not pass unseen.
    Row("failed", "quorvel runs that did not listen and stop cleanly",
        "count", "<=", 0),
    Row("startup", "startup, exec to first listening (median)", "ms",
        "<=", 500),
    Row("startup_cpu", "  its CPU time (median)", "ms"),
    Row("gap_median", "restart gap, median", "ms", "<=", 20),
    Row("gap_max", "restart gap, max", "ms", "<=", 20),
    Row("gaps", "  restarts timed", "count"),
    Row("latency", "partial latency, median", "ms", "<=", 450),
    Row("latency_p90", "partial latency, 90th percentile", "ms"),
    Row("latency_words", "  words timed", "count"),
    # The words pocketsphinx_continuous timed, which it may have misheard.
    Row("unheld", "  timed words no partial ever held", "count"),
    Row("wer_librivox", "WER, the five LibriVox recordings", "%", "<=", 14),
    Row("wer_all", "WER, all recordings", "%", "<=", 14),
    # The recordings end to end as one minute of dictation, cut into
    # segments by quorvel, beside its engine decoding them as one stream.
    Row("wer_dictation", "WER, continuous dictation", "%"),
    Row("wer_dictation_alone", "  the engine alone, one stream", "%"),
    Row("dictation_excess", "  quorvel's WER above its engine's", "points",
        "<=", 1.5),
    # The same dictation as quieter microphones and a 48 kHz stereo one
    # deliver it: quorvel brings it to the level and rate its models hear
    # best, so none may be worse than the recording as it is.
    Row("wer_x0.1", "  the microphone at x0.1 (-20 dB), float", "%"),
    Row("wer_x0.03", "  the microphone at x0.03 (-30 dB), float", "%"),
    Row("wer_48k", "  the microphone at 48 kHz stereo, float", "%"),
    Row("level_excess", "  the worst of those three above x1", "points",
        "<=", 1.0),
    Row("cpu", "CPU s per audio s, whole process, listening",
        "CPU s/audio s", "<=", 0.05),
    Row("cpu_load", "  same, whole run fed in real time (wait4)",
        "CPU s/audio s"),
    Row("rss", "peak RSS on speech (wait4)", "MiB", "<=", 70),
    # While nobody speaks the decoder rests: only a voice-activity model
    # listens, and it sleeps while nothing rises above the room's floor.
    Row("silence_cpu", "CPU listening to 60 s of silence", "% of a core",
        "<=", 0.5),
    Row("quiet_room_cpu", "CPU on 60 s of a quiet room (pink, -60 dBFS)",
        "% of a core", "<=", 0.5),
    Row("fan_cpu", "CPU on 60 s of a fan (brown, -40 dBFS)", "% of a core"),
    Row("silence_rss", "peak RSS on silence (VmHWM)", "MiB"),
    Row("noise_words", "finals with words: 60 s silence, 30 s pink -48 dBFS",
        "count", "<=", 0),
    # The same program without its voice-activity model decodes all audio:
    # gating must change neither words nor timing, and cost little.
    Row("ungated_wer", "WER, dictation, all audio decoded", "%"),
    Row("ungated_wer_x0.03", "  same, the microphone at x0.03", "%"),
    Row("gating_wer_change", "  gating's change to either, at most",
        "points", "<=", 0.3),
    Row("ungated_latency", "partial latency median, all audio decoded", "ms"),
    Row("gating_latency_change", "  gating's change to it", "ms", "<=", 30),
    Row("ungated_cpu", "CPU s per audio s, listening, all audio decoded",
        "CPU s/audio s"),
    Row("gating_cpu_change", "  gating's extra on speech", "CPU s/audio s",
        "<=", 0.005),
    # Rooms (see run_bench.sh): the dictation in noise, through quorvel and
    # through its engine alone on the same mix, whose gain and gate may
    # cost next to nothing; hum, rumble and a fan that switches on, which
    # must give no words; the first words after launch; a 48 kHz input.
    Row("room_wer_pink10", "WER, dictation in pink noise at 10 dB SNR", "%"),
    Row("room_wer_pink10_alone", "  the engine alone on the same mix", "%"),
    Row("room_pink10_excess", "  quorvel's WER above its engine's", "points",
        "<=", 0.5),
    Row("room_wer_babble5", "WER, dictation in babble at 5 dB SNR", "%"),
    Row("room_wer_babble5_alone", "  the engine alone on the same mix", "%"),
    Row("room_babble5_excess", "  quorvel's WER above its engine's",
        "points", "<=", 0.5),
    Row("room_wer_babble5_x0.05", "  that mix at x0.05 (-26 dB)", "%"),
    Row("room_wer_babble5_x0.05_alone", "  the engine alone on it", "%"),
    Row("room_distant_excess", "  quorvel at x0.05 above quorvel at x1",
        "points", "<=", 1.0),
    Row("room_wer_white3", "WER, dictation in white noise at 3 dB SNR", "%"),
    Row("room_wer_white3_alone", "  the engine alone on the same mix", "%"),
    Row("room_white3_excess", "  quorvel's WER above its engine's", "points",
        "<=", 2.0),
    Row("room_hum_words", "words from 30 s of 50 Hz hum and 30 Hz rumble",
        "count", "<=", 0),
    Row("room_fan_words", "words a fan (pink, -50 dBFS) adds after speech",
        "count", "<=", 0),
    Row("room_first_partial_launch", "first partial, speech from launch",
        "ms"),
    Row("room_first_partial_later", "  the same after 3 s of listening",
        "ms"),
    Row("room_first_partial_delay", "  launch, later than that", "ms",
        "<=", 150),
    Row("room_latency_48k", "partial latency median, 48 kHz stereo", "ms"),
    # A 48 kHz input delivers its 1024 frames in a third of the time, so
    # its partials may come sooner; never later by more than the bound.
    Row("room_latency_48k_excess", "  above that at 16 kHz", "ms", "<=", 10),
    # The rare words of real recordings (phrases.wav, see run_bench.sh)
    # heard four ways: without a phrase file, with them listed among
    # unrelated phrases, with the unrelated phrases alone, and with names
    # that sound like words said in them (none of them said). Recall counts
    # a listed word only where it comes out spelt as listed.
    Row("phrases_recall_none", "phrases: recall of the rare words, no list",
        "%"),
    Row("phrases_recall_listed", "  listed among unrelated phrases", "%",
        ">=", 80),
    Row("phrases_recall_unrelated", "  the unrelated phrases alone", "%"),
    Row("phrases_recall_nearmiss", "  near-miss names alone", "%"),
    Row("phrases_wer_none", "phrases: WER, no list", "%"),
    Row("phrases_wer_listed", "  listed among unrelated phrases", "%"),
    Row("phrases_wer_unrelated", "  the unrelated phrases alone", "%"),
    Row("phrases_wer_nearmiss", "  near-miss names alone", "%"),
    Row("phrases_wer_excess", "  listed, above no list", "points", "<=", 0),
    Row("phrases_wer_unrelated_excess", "  unrelated alone, above no list",
        "points", "<=", 0.3),
    Row("phrases_wer_nearmiss_excess", "  near-miss names, above no list",
        "points", "<=", 0.3),
    Row("phrases_cpu_listed", "phrases: CPU s per audio s, listed",
        "CPU s/audio s"),
    Row("phrases_cpu_none", "  no list", "CPU s/audio s"),
    Row("phrases_cpu_excess", "  listed, above no list", "CPU s/audio s",
        "<=", 0.003),
    Row("phrases_latency_listed", "phrases: partial latency median, listed",
        "ms"),
    Row("phrases_latency_none", "  no list", "ms"),
    Row("phrases_latency_excess", "  listed, above no list", "ms", "<=", 20),
    Row("phrases_rss_listed", "phrases: peak RSS, listed", "MiB"),
    Row("phrases_rss_none", "  no list", "MiB"),
    Row("phrases_rss_excess", "  listed, above no list", "MiB", "<=", 8),
]


def shown(row, value):
    """The value, given in base units, as the table prints it."""
    if value is None:
        return "-"
    factor, form = UNITS[row.unit]
    return form.format(value * factor)


def target(row):
    if row.comparison is None:
        return "-"
    space = "" if row.unit == "%" else " "
    return f"{row.comparison} {row.bound:g}{space}{row.unit}"


def met(row, value):
    """True or False for a target row; None for an informational one. A
    value that was never measured misses its target."""
    if row.comparison is None:
        return None
    if value is None:
        return False
    # Rounded so that a value on the bound (0.14 as 14%) is not lost to the
    # binary fraction of the conversion.
    scaled = round(value * UNITS[row.unit][0], 9)
    return COMPARISONS[row.comparison](scaled, row.bound)
