"""The bench's verdict on made-up observations: a missed or unmeasured
target, or a run that failed, must fail the run."""

import pathlib
import sys
import types
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "bench"))
import report  # noqa: E402
import score  # noqa: E402
import targets  # noqa: E402


class ScoreTest(unittest.TestCase):
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
                     "cpu": 0.05, "rss": 70 * 1024, "level_excess": 0.01,
                     "silence_cpu": 0.005, "quiet_room_cpu": 0.005,
                     "noise_words": 0, "gating_wer_change": 0.003,
                     "gating_latency_change": 0.03,
                     "gating_cpu_change": 0.005,
                     "phrases_recall_listed": 0.8, "phrases_wer_excess": 0,
                     "phrases_wer_unrelated_excess": 0.003,
                     "phrases_wer_nearmiss_excess": 0.003,
                     "phrases_cpu_excess": 0.003,
                     "phrases_latency_excess": 0.02,
                     "phrases_rss_excess": 8 * 1024}
        on_bounds.update(room_pink10_excess=0.005, room_babble5_excess=0.005,
                         room_distant_excess=0.01, room_white3_excess=0.02,
                         room_hum_words=0, room_fan_words=0,
                         room_first_partial_delay=0.15,
                         room_latency_48k_excess=0.01)
        self.assertEqual(report.judge(on_bounds), [])
        over = dict(on_bounds, wer_all=0.1401)
        self.assertEqual([r.key for r, _ in report.judge(over)], ["wer_all"])


if __name__ == "__main__":
    unittest.main()
