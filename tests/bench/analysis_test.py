#!/usr/bin/python3
"""The stability benchmark's analysis on fixed data: verdicts and their sign,
and the JSON record. Exits with 77 (a skip) where scipy is missing.

Usage: analysis_test.py
"""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import analysis  # noqa: E402
from analysis import Run, Series  # noqa: E402

SKIP = 77
# Run-to-run noise as the benchmark sees it: mostly a tick or two, one slow run.
NOISE = [0, 1, 0, 2, 1, 0, 1, 3, 0, 1, 0, 2, 1, 0, 22]


def series(figures_of_run, cpu=0):
    runs = [Run(figures_of_run(n), 0.4 + n / 1000) for n in NOISE]
    return Series("default", cpu, "AMD EPYC (SSE4)", runs)


# A first mov slower than the second (warm-up); and 8 ticks above mov; both ands alike.
WARMING = series(lambda n: [40 + n, 46 + n, 36 + n, 46 + n])
# Every figure of a run the same: each comparison is of identical samples.
FLAT = series(lambda n: [40 + n] * 4)


class VerdictTest(unittest.TestCase):
    def test_clear_differences_are_shown_with_their_sign(self):
        and_mov, first_mov, first_and = analysis.verdicts(WARMING)
        self.assertRegex(and_mov, r"^and costs 8 ticks \(21%\) more than mov per pass: 95% CI [\d.]+ to [\d.]+, "
                                  r"p < 0.001, 15 runs each$")
        self.assertRegex(first_mov, r"^the first mov costs 4 ticks \(11%\) more than the second per pass")
        self.assertIn("no difference shown at 95%", first_and)

        reverse = analysis.difference(analysis.body_values(WARMING, "mov"), analysis.body_values(WARMING, "and"))
        self.assertTrue(reverse.shown())
        self.assertLess(reverse.high, 0)
        self.assertRegex(analysis.sentence("mov", "and", reverse), r"^mov costs 8 ticks \(17%\) less than and "
                                                                   r"per pass: 95% CI [\d.]+ to [\d.]+,")

    def test_identical_samples_show_no_difference(self):
        for line in analysis.verdicts(FLAT):
            self.assertIn("no difference shown at 95% (0 ticks", line)
        lines, differs = analysis.against(FLAT, FLAT, "on cpu 1", "on cpu 0")
        self.assertFalse(differs)
        self.assertEqual(len(lines), 2)

    def test_a_build_or_cpu_beyond_the_noise_is_named(self):
        slower = series(lambda n: [50 + n] * 4, cpu=1)
        lines, differs = analysis.against(slower, FLAT, "on cpu 1", "on cpu 0")
        self.assertTrue(differs)
        self.assertRegex(lines[0], r"^mov on cpu 1 costs 10 ticks \(24%\) more than on cpu 0 per pass")


class RecordTest(unittest.TestCase):
    def test_json_round_trips(self):
        machine = {"kernel": "Linux 6.1.0 x86_64", "commit": "0cff8c4", "date": "2026-12-08T04:00:00+00:00"}
        written = [WARMING, series(lambda n: [-1, 2, 3, 4], cpu=None)]
        with tempfile.TemporaryDirectory() as scratch:
            path = pathlib.Path(scratch) / "runs.json"
            analysis.save(path, machine, written)
            self.assertEqual(analysis.load(path), (machine, written))


if __name__ == "__main__":
    if analysis.missing():
        print(f"SKIPPED: {analysis.missing()}")
        sys.exit(SKIP)
    unittest.main()
