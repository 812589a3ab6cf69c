"""The bench's scoring and verdict on made-up observations; a missed or
unmeasured target must fail the run."""

import pathlib
import sys
import types
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "bench"))
import report  # noqa: E402
import score  # noqa: E402
import targets  # noqa: E402


def out(t, text):
    return (t, "out", text)


class ScoreTest(unittest.TestCase):
    def test_word_errors_after_normalising(self):
        for reference, hypothesis, errors in [
                ("<s> Turn LEFT, now </s> (id-1)", "turn left now", 0),
                ("don't stop", "dont stop", 0),
                ("turn left now", "turn right now", 1),     # substitution
                ("turn left now", "turn now", 1),           # deletion
                ("turn left", "uh turn left please", 2),    # insertions
                ("a b c", "", 3)]:
            self.assertEqual(score.edit_distance(
                score.normalise(reference), score.normalise(hypothesis)),
                errors, (reference, hypothesis))
        transcripts = {"lib-1": ["a"] * 10, "lib-2": ["a"] * 30, "o": ["a"]}
        errors = {"lib-1": 1, "lib-2": 3, "o": 1}
        self.assertEqual(score.wer(errors, transcripts, "lib"), 0.1)

    def test_reference_words_drop_fillers_and_pronunciation_marks(self):
        output = ("<s> 0.000 0.310 1.0\nhello(2) 0.310 0.700 -0.5\n"
                  "<sil> 0.700 0.900 1.0\n[NOISE] 0.9 1.0 1.0\n"
                  "don't 0.900 1.200 0.9\nnot a timing line\n")
        self.assertEqual(score.reference_words(output),
                         [("hello", 0.31, 0.7), ("dont", 0.9, 1.2)])

    def test_partial_latency_from_word_end_to_first_text_holding_it(self):
        timings = [("turn", 0, 0.5), ("left", 0.5, 1.0), ("turn", 1.0, 1.5),
                   ("stop", 1.5, 2.0)]
        lines = [out(10.0, '{"type":"listening"}'),
                 out(10.8, '{"type":"partial","text":"turn"}'),
                 out(11.3, '{"type":"partial","text":"turn left"}'),
                 out(12.0, '{"type":"final","text":"turn left",'
                     '"reason":"silence"}'),
                 out(13.0, '{"type":"partial","text":"turn"}'),
                 (13.1, "err", "quorvel: restart after silence")]
        latencies, unheld = score.partial_latencies(
            score.events(lines), 10.0, timings)
        self.assertEqual([round(v, 3) for v in latencies], [0.3, 0.3, 1.5])
        self.assertEqual(unheld, 1)  # "stop" was never heard

    def test_percentiles_and_restart_gaps(self):
        for values, fraction, expected in [
                (list(range(1, 11)), 0.9, 9), (list(range(1, 12)), 0.9, 10),
                ([5], 0.9, 5), ([3, 1, 2], 0.5, 2), ([], 0.9, None)]:
            self.assertEqual(score.percentile(values, fraction), expected)
        lines = [(1.0, "err", "quorvel: restart after silence"),
                 out(1.02, '{"type":"listening"}'),
                 out(2.0, '{"type":"listening"}')]
        self.assertEqual([round(g, 3) for g in score.restart_gaps(lines)],
                         [0.02])

    def test_a_miss_or_a_failed_run_fails_the_verdict(self):
        never = types.SimpleNamespace(
            lines=[], exec_time=0.0, first_listening=None,
            cpu_at_listening=None, cpu_at_stop=None, cpu=0.1, maxrss_kib=1,
            clean=False)
        runs = types.SimpleNamespace(startups=[never], recordings={"x": never},
                                     silence=never, dictation=never,
                                     dictation_alone="go home")
        values, _, _ = score.score_engine(runs, {"x": ["go", "home"]},
                                          {"x": 3.0}, {"x": []}, ["go", "home"])
        self.assertEqual(values["wer_all"], 1.0)  # not left out
        self.assertEqual({row.key for row, _ in report.judge(values)},
                         {row.key for row in targets.ROWS if row.comparison})
        on_bounds = {"failed": 0, "startup": 0.5, "gap_median": 0.02,
                     "gap_max": 0.02, "latency": 0.45, "wer_librivox": 0.14,
                     "wer_all": 0.14, "dictation_excess": 0.015,
                     "cpu": 0.05, "rss": 70 * 1024}
        self.assertEqual(report.judge(on_bounds), [])
        over = dict(on_bounds, wer_all=0.1401)
        self.assertEqual([r.key for r, _ in report.judge(over)], ["wer_all"])


if __name__ == "__main__":
    unittest.main()
