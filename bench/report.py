"""Prints the bench's tables on stdout and judges the engine under test
against the targets of bench/targets.py."""

import targets


def print_table(header, rows):
    widths = [max(len(str(row[c])) for row in [header] + rows)
              for c in range(len(header))]

    def line(row):
        return "| " + " | ".join(str(v).ljust(w)
                                 for v, w in zip(row, widths)) + " |"

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()


def print_recordings(transcripts, systems):
    """systems: (name, texts, errors) of each system, recordings by name."""
    print("Per recording: word error rate of the \"final\" texts")
    print()
    print_table(
        ["recording (+2 s silence)", "words"] + [s[0] for s in systems],
        [[name, len(words)]
         + [f"{100.0 * errors[name] / max(1, len(words)):.1f}%"
            for _, _, errors in systems]
         for name, words in transcripts.items()])
    for name, words in transcripts.items():
        print(name)
        print(f"  {'transcript':24} {' '.join(words)}")
        for system, texts, _ in systems:
            print(f"  {system:24} {' '.join(texts.get(name, []))}")
    print()


def print_dictation(transcript, systems):
    """systems: (name, text) of each; a "|" marks where a final ended."""
    print("Continuous dictation")
    print(f"  {'transcript':24} {' '.join(transcript)}")
    for name, text in systems:
        print(f"  {name:24} {text.strip()}")
    print()


def judge(values, prefix=""):
    """The target rows (those whose key starts with prefix, a string or a
    tuple of them) that values (in base units) miss, with the value."""
    return [(row, values.get(row.key)) for row in targets.ROWS
            if row.key.startswith(prefix)
            and targets.met(row, values.get(row.key)) is False]


def print_phrases(transcript, texts):
    """texts: way -> the finals heard that way."""
    print("Rare words (phrases.wav)")
    print(f"  {'transcript':24} {' '.join(transcript)}")
    for way, text in texts.items():
        print(f"  {'quorvel, ' + way:24} {text.strip()}")
    print()


def print_summary(systems, prefix=""):
    """systems: (name, values) of each, the one under test first. Prints
    the table (the rows whose key starts with prefix) and returns the
    targets it misses."""
    tested = systems[0][0]
    rows = []
    for row in (r for r in targets.ROWS if r.key.startswith(prefix)):
        met = targets.met(row, systems[0][1].get(row.key))
        rows.append([row.measure]
                    + [targets.shown(row, values.get(row.key))
                       for _, values in systems]
                    + [targets.target(row),
                       {None: "-", True: "pass", False: "MISS"}[met]])
    print_table(["measure"] + [name for name, _ in systems]
                + [f"target ({tested})", "result"], rows)
    return judge(systems[0][1], prefix)


def print_verdict(tested, missed):
    print(f"{tested} misses {len(missed)} target(s):" if missed
          else f"{tested} meets every target.")
    for row, value in missed:
        print(f"  MISS {row.measure.strip()}: {targets.shown(row, value)}"
              f" (target {targets.target(row)})")
