#!/usr/bin/python3
"""zerobench-stats' statistics and their words on fixed data: verdicts and their sign, paired
and unpaired, figures in core cycles, the clock's steadiness, figures
outside the fences and runs in clusters, the JSON record, compare's table,
and the command's answer to bad arguments; and the command run on a
stand-in program and clock probe: rounds and their order, the stopping rule
of --precision, clock readings refused. Exits with 77 (a skip) where scipy
is missing.

Usage: analysis_test.py
"""
import contextlib
import dataclasses
import io
import json
import os
import pathlib
import random
import re
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import unittest.mock

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.dont_write_bytecode = True  # no __pycache__ in the checkout's package
sys.path.insert(0, str(BENCH))
from zerobench_stats import analysis, check, cli, files, host, records, render_plot, render_text, runner, session, stats, stopping  # noqa: E402
from zerobench_stats.records import Run, Series  # noqa: E402
from zerobench_stats.runner import UsageError  # noqa: E402

SKIP = 77
# Run-to-run noise as the benchmark sees it: mostly a tick or two, one slow run.
NOISE = [0, 1, 0, 2, 1, 0, 1, 3, 0, 1, 0, 2, 1, 0, 22]
# Runs that are either fast or slow, as on a virtual CPU that shares its core.
BIMODAL = [0, 25, 0, 25, 25, 0, 0, 25, 0, 25, 0, 0, 25, 25, 0]


def series(figures_of_run, cpu=0, noise=NOISE, ratios=None):
    runs = [Run(figures_of_run(n), 0.4 + n / 1000, ratios) for n in noise]
    for run in runs:
        run.tick_hz = 2.5e9 if ratios else None
    return Series("default", cpu, "AMD EPYC (SSE4)", runs)


# A first mov slower than the second (warm-up); and 8 ticks above mov; both ands alike.
WARMING = series(lambda n: [40 + n, 46 + n, 36 + n, 46 + n])
# Every figure of a run the same: each comparison is of identical samples.
FLAT = series(lambda n: [40 + n] * 4)


def verdicts(one, unit="ticks"):
    return render_text.verdict_lines(stats.verdicts(one, unit), unit)


def against(one, baseline, where, where_baseline, unit="ticks"):
    """The sentences, and the differences found."""
    found = stats.against(one, baseline, unit)
    return render_text.against_lines(found, where, where_baseline, unit), list(found.values())


class VerdictTest(unittest.TestCase):
    def test_clear_differences_are_shown_with_their_sign(self):
        and_mov, first_mov, first_and = verdicts(WARMING)
        self.assertRegex(and_mov, r"^and costs 8 ticks \(21%\) more than mov per pass \(the median of the runs' "
                                  r"paired differences\): 95% CI 8 to 8, p < 0.001, 15 runs, paired$")
        self.assertRegex(first_mov, r"^the first mov costs 4 ticks \(11%\) more than the second per pass")
        self.assertIn("no difference shown at 95%", first_and)

        reverse = stats.difference(stats.body_values(WARMING, "mov"), stats.body_values(WARMING, "and"))
        self.assertTrue(reverse.shown())
        self.assertLess(reverse.high, 0)
        self.assertRegex(render_text.sentence("mov", "and", reverse), r"^mov costs 8 ticks \(17%\) less than and "
                                                                   r"per pass \(the difference of the medians\): "
                                                                   r"95% CI [\d.]+ to [\d.]+,")

    def test_a_test_and_an_interval_that_disagree_are_said_to(self):
        unpaired = stats.Difference(25.78, 38, -9.96, 34, 0.02, (15, 15))
        self.assertEqual(render_text.sentence("mov on #4", "on #1", unpaired, "cycles"),
                         "mov on #4 vs on #1: no difference shown at 95%, as the test and the interval disagree: "
                         "p = 0.02, but the 95% CI -9.96 to 34 holds 0; 25.78 core cycles (the difference of the "
                         "medians), 15 runs each, unpaired")
        paired = stats.Difference(1, 2, 0.5, 8, 0.09, (15, 15), True, "rounds")
        self.assertEqual(render_text.sentence("mov on cpu 1", "on cpu 0", paired),
                         "mov on cpu 1 vs on cpu 0: no difference shown at 95%, as the test and the interval "
                         "disagree: the 95% CI 0.5 to 8 leaves out 0, but p = 0.09; 1 tick (the median of the rounds' "
                         "paired differences), 15 rounds, paired")

    def test_a_difference_within_every_run_is_shown_through_the_swing_between_runs(self):
        swinging = series(lambda n: [40 + n, 48 + n, 40 + n, 48 + n], noise=BIMODAL)
        mov, and_ = stats.body_values(swinging, "mov"), stats.body_values(swinging, "and")
        self.assertFalse(stats.difference(and_, mov).shown())  # as two independent samples: lost in the swing
        paired = stats.and_against_mov(swinging)
        self.assertTrue(paired.shown())
        self.assertAlmostEqual(paired.p, 2 / 2 ** 15)
        self.assertEqual((paired.amount, paired.low, paired.high), (8, 8, 8))

    def test_identical_samples_show_no_difference(self):
        for line in verdicts(FLAT):
            self.assertIn("no difference shown at 95%: 0 ticks (the median of the runs' paired differences), 95% CI "
                          "0 to 0, p = 1, 15 runs, paired", line)
        lines, found = against(FLAT, FLAT, "on cpu 1", "on cpu 0")
        self.assertFalse(any(d.shown() for d in found))
        self.assertEqual(len(lines), 2)

    def test_too_few_runs_for_any_verdict_are_named_as_such(self):
        few = series(lambda n: [40, 48 + n, 40, 48 + n], noise=NOISE[:5])
        self.assertIn("and vs mov: too few runs for a verdict at 95% (5 runs, paired; at least 6 paired runs",
                      verdicts(few)[0])
        six = series(lambda n: [40, 48 + n, 40, 48 + n], noise=NOISE[:6])
        self.assertTrue(stats.and_against_mov(six).shown())
        lines, found = against(few, six, "on cpu 1", "on cpu 0")
        self.assertTrue(all(d.possible() for d in found))  # 5 and 6 independent runs can show a difference
        lines, found = against(few, series(lambda n: [40] * 4, noise=NOISE[:2]), "here", "there")
        self.assertIn("too few runs for a verdict", lines[0])

    def test_a_build_or_cpu_beyond_the_noise_is_named(self):
        slower = series(lambda n: [50 + n] * 4, cpu=1)
        lines, found = against(slower, FLAT, "on cpu 1", "on cpu 0")
        self.assertTrue(any(d.shown() for d in found))
        self.assertRegex(lines[0], r"^mov on cpu 1 costs 10 ticks \(24%\) more than on cpu 0 per pass")


class CyclesTest(unittest.TestCase):
    def test_figures_in_core_cycles_use_each_runs_own_clock(self):
        one = Series("default", 0, "x", [Run([40, 48, 40, 48], 0.4, [1.4, 1.5], 2.5e9),
                                         Run([40, 48, 40, 48], 0.4, [2.0, 2.0], 2.5e9)])
        self.assertEqual(stats.figure_values(one, 0, "cycles"), [58, 80])
        self.assertEqual(stats.body_values(one, "and", "cycles"), [69.6, 96])
        self.assertEqual(stats.figure_values(one, 0), [40, 40])

    def test_a_refused_reading_costs_its_own_run_and_half_of_them_the_series(self):
        timed = series(lambda n: [40 + n, 48 + n, 40 + n, 48 + n], ratios=[1.5, 1.5])
        self.assertEqual(stats.unit_for([timed], "cycles"), "cycles")
        self.assertEqual(stats.unit_for([timed, WARMING], "cycles"), "ticks")
        self.assertRegex(verdicts(timed, "cycles")[0], r"^and costs 12 core cycles \(20%\) more than mov")
        # Runs 2 and 5 lose their core cycles, one reading each: the rest keep theirs.
        chains = records.Refusal("after", "chains", "", 1.37, 2.5e9, 1.35, 1.40)
        for n in (1, 4):
            timed.runs[n].ratios, timed.runs[n].tick_hz, timed.runs[n].refused = None, None, [chains]
        self.assertEqual(stats.unit_for([timed], "cycles"), "cycles")
        self.assertEqual(len(stats.figure_values(timed, 0, "cycles")), 13)
        self.assertRegex(verdicts(timed, "cycles")[0], r"^and costs 12 core cycles \(20%\) more .* 13 runs, paired$")
        self.assertEqual(render_text.clock_lines(stats.clock(timed))[1],
                         "2 of 15 runs have no core cycles (runs 2, 5): the clock probe's two chains disagreed on "
                         "cpu 0 (add 1.35, imul 1.40 core cycles per tick)")
        # Half the readings refused: in ticks, saying why.
        for run in timed.runs[5:11]:
            run.ratios, run.tick_hz, run.refused = None, None, [chains, records.Refusal("before", "failed", "exit 1")]
        self.assertEqual((stats.readings_without_cycles(timed), stats.unit_for([timed], "cycles")), (14, "cycles"))
        timed.runs[11].ratios, timed.runs[11].tick_hz, timed.runs[11].refused = None, None, [chains]
        self.assertEqual(stats.unit_for([timed], "cycles"), "ticks")
        self.assertEqual(render_text.clock_lines(stats.clock(timed)),
                         ["15 of 30 clock readings gave no core cycles: the clock probe's two chains disagreed on "
                          "cpu 0 (add 1.35, imul 1.40 core cycles per tick) (9 readings); the clock probe gave no "
                          "reading on cpu 0 (exit 1) (6 readings): figures in ticks only"])

    def test_a_run_during_which_the_clock_moved_is_named(self):
        steady = series(lambda n: [40] * 4, ratios=[1.40, 1.41])
        lines = render_text.clock_lines(stats.clock(steady))
        self.assertEqual(lines[0], "core clock 3.512 GHz, counter 2.500 GHz: 1.405 core cycles per tick")
        self.assertEqual(lines[1], "the clock held steady over the series: every reading within 0.7%")
        steady.runs[6].ratios = [1.40, 1.30]
        lines = render_text.clock_lines(stats.clock(steady))
        self.assertEqual(lines[1], "the core clock moved during run 7 (1.400 to 1.300 core cycles per tick)")
        self.assertEqual(lines[2], "the clock did not hold steady over the series: readings 7.9% apart")
        self.assertEqual(render_text.clock_lines(stats.clock(FLAT)), ["no clock readings: figures in ticks only"])


def ticks(figures_of_runs):
    return Series("default", 1, "Intel Core", [Run(figures, 0.4) for figures in figures_of_runs])


def disturbed(changes):
    """15 quiet runs of 28 31 28 31 ticks, with {(run from 1, figure index): figure} changed."""
    return ticks([[changes.get((run, i), figure) for i, figure in enumerate([28, 31, 28, 31])]
                  for run in range(1, 16)])


# Three runs with one figure each jumping: up in a mov, down in a mov, up in an and.
DISTURBED = disturbed({(3, 0): 68, (9, 2): 18, (13, 3): 80})
# 8 runs near 28 31 28 31 ticks and 7 near 60 64 60 64.
CLUSTERED = ticks([[28 + n, 31, 28, 31 + n] for n in [0, 1, 0, 1, 1, 0, 0, 1]] +
                  [[60, 64 + n, 60 + n, 64] for n in [1, 0, 0, 1, 0, 1, 0]])


def notes(one):
    return render_text.notes_lines(analysis.notes(one, "ticks"))


class NotesTest(unittest.TestCase):
    def test_disturbed_figures_are_named_and_leave_the_verdict_as_it_was(self):
        self.assertEqual(notes(DISTURBED), ["3 figures outside the fences: run 3 (1 mov 68, far out), "
                                            "run 9 (3 mov 18, far out), run 13 (4 and 80, far out)"])
        self.assertRegex(verdicts(DISTURBED)[0], r"^and costs 3 ticks \(11%\) more than mov per pass \(")
        self.assertLess(stats.and_against_mov(DISTURBED).p, 0.05)
        # A column that never moves has no spread: one tick off is not named, two are.
        self.assertEqual(notes(disturbed({(2, 0): 29, (4, 1): 32, (6, 0): 30})),
                         ["1 figure outside the fences: run 6 (1 mov 30)"])
        shown = io.StringIO()
        with contextlib.redirect_stdout(shown):
            cli.show_series(session.Entry("default", None, DISTURBED.cpu, DISTURBED), "cycles")
        self.assertRegex(shown.getvalue(), r"\n  the first and .*, paired\n  3 figures outside the fences: run 3 ")
        # Many: their count, their share and the furthest few.
        many = ticks([[28 + 6 * run * (run % 6 == 0), 31, 28, 31] for run in range(1, 43)])
        self.assertEqual(notes(many), ["7 figures of 168 (4%) outside the fences, the furthest run 42 (1 mov 280, far "
                                       "out), run 36 (1 mov 244, far out), run 30 (1 mov 208, far out): more than a few "
                                       "disturbed runs, a noisy machine"])

    def test_runs_in_two_clusters_are_named_and_one_spread_is_not(self):
        self.assertEqual(notes(CLUSTERED), ["runs fall in 2 clusters: 8 near 29.8, 7 near 62 ticks; "
                                            "the median describes only the first"])
        even = ticks([run.figures for run in CLUSTERED.runs[1:]])
        self.assertTrue(notes(even)[0].endswith("7 near 30, 7 near 62 ticks; the median lies between them and "
                                                "describes neither"))
        rng = random.Random(1)
        normal = [ticks([[rng.gauss(60, 6)] * 4 for _ in range(15)]) for _ in range(20)]
        for one in [DISTURBED, WARMING, FLAT] + normal:
            self.assertIsNone(stats.clusters(one), [run.figures[0] for run in one.runs])

    def test_runs_while_another_cpu_was_busy_are_named_with_what_it_did_to_their_figures(self):
        busy = disturbed({(run, i): 55 for run in (3, 7, 11) for i in range(4)})
        for run in busy.runs:
            run.busy, run.steal = {"0": 0.02, "2": 0.0}, 0.0  # the series ran on cpu 1
        for n, share in [(3, 0.92), (7, 0.8), (11, 0.61)]:
            busy.runs[n - 1].busy["0"] = share
        busy.runs[4].steal = 0.12
        self.assertEqual([line for line in notes(busy) if "busy" in line or "steal" in line],
                         ["3 of 15 runs ran while cpu 0 was busy (up to 92% of the run): their figures are the 3 "
                          "highest (runs 3, 7, 11; a run's mean of its four figures)",
                          "run 5 lost more than 5% of their time to the hypervisor (steal)"])
        shared = render_text.notes_lines(analysis.notes(busy, "ticks", {"1": [0, 1], "0": [0, 1]}))
        self.assertIn("3 of 15 runs ran while cpu 0, which the kernel says shares the runs' core, was busy", shared[-2])
        for n in (3, 7, 11):
            busy.runs[n - 1].figures = [28, 31, 28, 31]
        self.assertIn("their figures are no higher than the others' (median 29.5 against 29.5 ticks)",
                      notes(busy)[-2])

    def test_a_series_whose_level_moved_is_named_with_the_rounds_where_it_moved(self):
        rng = random.Random(3)
        step = ticks([[v, v + 8, v, v + 8] for v in [85 + rng.randint(-10, 15) for _ in range(18)] +
                      [69 + rng.randint(-8, 8) for _ in range(42)]])
        (line,) = [note for note in notes(step) if "drifted" in note]
        self.assertRegex(line, r"^the figures drifted down by 2\d% over the series \(rounds 1-1[78] median [\d.]+, "
                               r"rounds 1[89]-60 median [\d.]+ ticks, a run's mean of its four figures\): something "
                               "else on the machine changed; the paired verdicts stand")
        trend = ticks([[v, v + 8, v, v + 8] for v in [100 - i + rng.randint(-3, 3) for i in range(60)]])
        self.assertRegex(notes(trend)[-1], r"^the figures drifted down steadily by 4\d% over the series \(rounds 1-12 ")
        for one in [DISTURBED, WARMING, FLAT] + [ticks([[rng.gauss(60, 6)] * 4 for _ in range(60)]) for _ in range(10)]:
            self.assertIsNone(stats.drift(one), [run.figures[0] for run in one.runs])


class HostTest(unittest.TestCase):
    def test_what_the_host_is_doing_and_what_it_is(self):
        self.assertEqual(host.parse_cpu_list("0-2,5\n"), [0, 1, 2, 5])
        before = {0: host.Times(100, 900, 0), 1: host.Times(500, 500, 0)}
        after = {0: host.Times(150, 1840, 10), 1: host.Times(1500, 500, 0)}
        self.assertEqual(host.shares(before, after), {0: host.Share(0.05, 0.01), 1: host.Share(1.0, 0.0)})
        # The tiny IA-32 program starts where cmake/runs-ia32 says IA-32 programs do.
        probe = subprocess.run([BENCH.parent / "cmake" / "runs-ia32"], capture_output=True, text=True)
        if probe.returncode in (0, 1):
            self.assertEqual(host.ia32_starts()[0], probe.returncode == 0, probe.stdout)
        with unittest.mock.patch.dict(os.environ, {"ZEROBENCH_EMULATE_IA32": "1"}):
            self.assertEqual(host.ia32_starts()[0], False)

    def test_the_verdict_of_check_and_its_reasons(self):
        quiet = {0: host.Share(0.01, 0.0), 1: host.Share(0.02, 0.0)}
        reading = records.Reading(1.47, 2.596e9, 3.82e9, 1.47, 1.47)

        def findings(load=quiet, alone=(47, 48, 46, 49, 47), busy=(48, 47, 49, 46, 48), siblings=(0,)):
            return check.judge(check.Findings("AMD EPYC (SSE4)", 0, 8.0, [reading] * 5,
                                              host.CpuidCost(10972, 14222, 105638, 1000), True, load,
                                              {0: list(siblings)}, list(alone),
                                              [check.Neighbour(1, 1 in siblings, list(busy))], [],
                                              (True, "started"), (False, "perf counts no cycles here")))
        fit = findings()
        self.assertEqual((fit.verdict, fit.reasons), ("fit", []))
        lines = render_text.check_lines(fit)
        self.assertEqual(lines[0], "processor: AMD EPYC (SSE4); runs use cpu 0")
        self.assertIn("cpuid: 10972 ticks at best, median 14222 over 1000 calls: it leaves the guest", lines[2])
        self.assertEqual(lines[5], "  with cpu 1 busy: 48.0 ticks (+2%, 5 runs): cpu 1 does not share it now")
        self.assertEqual(lines[-1], "fit (checked in 8 s)")
        shared = findings(busy=(94, 112, 96, 110, 99))
        self.assertEqual(shared.verdict, "fit with care")
        self.assertEqual(shared.reasons, ["cpu 1 shares cpu 0's core now (figures 111% higher while it was busy): keep "
                                          "cpu 1 idle while measuring"])
        self.assertIn("cpu 1 shares the core now, though the kernel says not", render_text.check_lines(shared)[5])
        self.assertIn("cpu 1 does not share it now, though the kernel says it does",
                      render_text.check_lines(findings(siblings=(0, 1)))[5])
        unfit = findings(load={0: host.Share(0.6, 0.15), 1: host.Share(0.9, 0.0)}, alone=(40, 90, 47, 60, 120))
        self.assertEqual(unfit.verdict, "not fit")
        self.assertEqual([reason.split(":")[0] for reason in unfit.reasons],
                         ["cpu 0 itself was 60% busy with other work", "the hypervisor took 15% of cpu 0 for other "
                          "guests (steal)", "zerobench's figures on cpu 0 spread 133% with nothing added",
                          "other work on cpu 1 90%"])


MACHINE = {"kernel": "Linux 6.1.0 x86_64", "commit": "0cff8c4", "date": "2026-12-08T04:00:00+00:00"}


class Scratch(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self.scratch.name)

    def tearDown(self):
        self.scratch.cleanup()


class RecordTest(Scratch):
    def test_json_round_trips_and_reads_records_without_clock_readings(self):
        written = [WARMING, series(lambda n: [-1, 2, 3, 4], cpu=None, ratios=[1.4, 1.41])]
        written[1].runs[3] = Run([1, 2, 3, 4], 0.4, refused=[records.Refusal("before", "chains", "disagree", 1.4,
                                                                              2.5e9, 1.2, 1.6),
                                                              records.Refusal("after", "failed", "exit status 1")])
        path = self.dir / "runs.json"
        records.save(path, MACHINE, written)
        self.assertEqual(records.load(path), (MACHINE, written))
        self.assertEqual(list(self.dir.iterdir()), [path])  # no temporary file left behind

        old = {"tool": "zerobench-stats", "machine": MACHINE,
               "series": [{"preset": "default", "cpu": 0, "banner": "AMD EPYC (SSE4)",
                           "runs": [{"figures": [38, 46, 38, 46], "seconds": 0.43}]}]}
        path.write_text(json.dumps(old))
        machine, (loaded,) = records.load(path)
        self.assertIsNone(loaded.runs[0].ratio())

    def test_what_is_not_a_record_is_refused_in_one_line_naming_the_fault(self):
        def one_run(**run):
            return {"tool": "zerobench-stats", "machine": MACHINE, "series": [{"preset": "default", "cpu": 0,
                    "banner": "x", "runs": [{"figures": [40, 48, 40, 48], "seconds": 0.4, "ratios": [1.5, 1.5],
                                             "tick_hz": 2.5e9, **run}]}]}

        good = json.dumps(one_run())
        for text, why in [
                ("", "not JSON"), ("[1]", "not a zerobench-stats record"), ('{"machine": {}}', "not a zerobench"),
                ("[" * 100000, "not JSON"), (b"\xff\xfe\x00", "not JSON"),
                (json.dumps({**one_run(), "tool": "other"}), "written by 'other', not zerobench-stats"),
                (json.dumps({**one_run(), "series": []}), "the record: series must be a list of series"),
                (json.dumps({**one_run(), "machine": []}), "machine must be"),
                (json.dumps({**one_run(), "seed": "x"}), "seed must be an integer"),
                (json.dumps({**one_run(), "stopping": []}), "stopping must be an object"),
                (good.replace('"cpu": 0', '"cpu": -1'), "series 1: cpu must be"),
                (good.replace('"runs": [{', '"runs": [], "x": [{'), "series 1: runs must be a list of runs, not empty"),
                (json.dumps(one_run(figures=None)), "series 1, run 1: figures must be 4 integers"),
                (json.dumps(one_run(figures=[1, 2, 3])), "figures must be"),
                (json.dumps(one_run(figures=[1, 2, 3, True])), "figures must be"),
                (json.dumps(one_run(figures=[1, 2, 3, 4.5])), "figures must be"),
                (json.dumps(one_run(figures=[10 ** 400, 1, 2, 3])), "figures must be"),
                (good.replace("0.4", "NaN"), "not JSON: NaN is not a number"),
                (good.replace("2500000000.0", "Infinity"), "not JSON: Infinity is not a number"),
                (good.replace("2500000000.0", "1e400"), "tick_hz must be a number from 1e+06 to 1e+11"),
                (json.dumps(one_run(tick_hz=1e300, ratios=[1e300, 1e300])), "tick_hz must be a number from"),
                (json.dumps(one_run(ratios=[1e-300, 1.5])), "ratios give a core clock outside 0.1-10 GHz"),
                (json.dumps(one_run(seconds=-1)), "seconds must be"),
                (json.dumps(one_run(ratios=[0, 0])), "ratios must be two positive finite numbers"),
                (json.dumps(one_run(ratios=[-1.5, -1.5])), "ratios must be"),
                (json.dumps(one_run(tick_hz="x")), "tick_hz must be"),
                (json.dumps(one_run(ratios=None)), "ratios and tick_hz come together"),
                (json.dumps(one_run(round=0)), "round must be an integer from 1"),
                (json.dumps(one_run(ratios=None, tick_hz=None, refused=[])), "refused must be one or two refused"),
                (json.dumps(one_run(ratios=None, tick_hz=None, refused=[{"when": "before"}])), "refused must be"),
                (json.dumps(one_run(ratios=None, tick_hz=None, refused=[{"when": "before", "reason": "x"}])),
                 "refused must be"),
                (json.dumps(one_run(ratios=None, tick_hz=None, refused=[{"when": "after", "reason": "chains"}] * 2)),
                 "refused must be"),
                (json.dumps(one_run(ratios=None, tick_hz=None, refused=[{"when": "after", "reason": "chains",
                                                                          "add": -1}])), "refused must be"),
                (json.dumps(one_run(refused=[{"when": "after", "reason": "chains"}])),
                 "a run with core cycles has no refused reading"),
                (json.dumps(one_run(colour="red")), "unknown field 'colour'")]:
            path = self.dir / "bad.json"
            path.write_bytes(text if isinstance(text, bytes) else text.encode())
            with self.assertRaises(records.RecordError, msg=text[:200]) as caught:
                records.load(path)
            self.assertIn(why, str(caught.exception))
            self.assertNotIn("\n", str(caught.exception))
        with self.assertRaisesRegex(records.RecordError, "larger than 8 MiB"):
            records.load("/dev/zero")  # not read until memory runs out

        path.write_text(json.dumps({**one_run(round=2, place=1, started="04:00:01"), "seed": 7, "stopping": {}}))
        machine, (one,) = records.load(path)
        self.assertEqual(one.runs[0].figures, [40, 48, 40, 48])

    def test_the_clock_probes_line_is_read_with_or_without_its_chains(self):
        reading = "cycles-per-tick 1.650 tick-hz 2096000000 core-hz 3458400000"
        old = records.probe_reading(reading + "\n")
        self.assertEqual((old.ratio, old.tick_hz, old.core_hz, old.add, old.imul),
                         (1.65, 2.096e9, 3.4584e9, None, None))
        new = records.probe_reading(reading + " add 1.000 imul 3.010\n")
        self.assertEqual((new.ratio, new.tick_hz, new.add, new.imul), (1.65, 2.096e9, 1.0, 3.01))
        self.assertIsNone(records.probe_reading("cycles-per-tick tick-hz 2096000000\n"))
        for broken in ["cycles-per-tick 1.2.3 tick-hz 2096000000 core-hz 1", "cycles-per-tick 0 tick-hz 0 core-hz 0"]:
            self.assertIsNone(records.probe_reading(broken), broken)


IDIOMS_RECORD = BENCH.parent / "results" / "idioms" / "amd-epyc-2026-12-08.json"


def idioms_series(costs, noise=NOISE, ratios=None):
    """A zerobench-idioms series whose runs give each idiom {name: [ticks at 64, at 400]} plus the noise."""
    layout = {"idioms": list(costs), "sizes": [64, 400], "skipped": {"clzero": "a reference"}}
    runs = [Run([cost + n / 10 for ticks in costs.values() for cost in ticks], 0.9, ratios, 2.5e9 if ratios else None,
                round=i) for i, n in enumerate(noise, 1)]
    return Series("zerobench-idioms", 0, "AMD EPYC (SSE4)", runs, records.IDIOMS, layout)


class IdiomsTest(RecordTest):
    def test_a_run_of_zerobench_idioms_is_read_from_its_json(self):
        record = json.loads(IDIOMS_RECORD.read_text())
        figures, layout, banner, untrusted = runner.idioms_figures(record)
        self.assertEqual((banner, untrusted, layout["sizes"]), ("AMD EPYC (SSE4)", None, [16, 64, 128, 400, 1024, 4096]))
        self.assertNotIn("clzero", layout["idioms"])  # a reference, never ranked
        self.assertEqual(len(figures), len(layout["idioms"]) * 6)
        memset = layout["idioms"].index("memset")
        self.assertEqual(figures[memset * 6 + 3], next(f["ticks"] for i in record["idioms"] if i["name"] == "memset"
                                                     for f in i["figures"] if f["size"] == 400))
        for broken in [{**record, "format": "zerobench-idioms/2"}, {**record, "sizes": [16]}]:
            self.assertRaises(ValueError, runner.idioms_figures, broken)

    def test_the_cheapest_at_each_size_against_the_next_chosen_from_the_first_runs(self):
        # ymm is the cheapest at 64 bytes by 0.5 ticks in every run; at 400 zmm and ymm swap after round 5.
        one = idioms_series({"mov [m],0": [8, 50], "vmovdqa ymm": [1, 7.3], "vmovdqa64 zmm": [1.5, 7.2]})
        for run in one.runs[5:]:
            run.figures[3], run.figures[5] = run.figures[5], run.figures[3]
        (at64, at400) = stats.cheapest_pairs(one)
        self.assertEqual((at64.cheapest, at64.next, at64.chosen_from), ("vmovdqa ymm", "vmovdqa64 zmm", (1, 5)))
        self.assertEqual(at64.difference.counts, (10, 10))  # tested on the ten later runs only
        self.assertTrue(at64.difference.shown())
        self.assertEqual((at400.cheapest, at400.next), ("vmovdqa64 zmm", "vmovdqa ymm"))
        self.assertLess(at400.difference.high, 0)  # the later runs turn the first runs' choice over
        lines = render_text.idioms_lines(analysis.series_analysis("zerobench-idioms", one, "ticks"))
        self.assertEqual(lines[2:7], ["  ticks per clear, the median over the runs (* the cheapest at its size):",
                                      "  idiom                 64       400",
                                      "  mov [m],0            8.1      50.1",
                                      "  vmovdqa ymm          1.1*      7.3*",  # over all runs, as it is later
                                      "  vmovdqa64 zmm        1.6       7.3"])
        self.assertEqual(lines[7], "  skipped: clzero (a reference)")
        self.assertRegex(lines[8], r"^  at 64 bytes vmovdqa ymm was the cheapest in rounds 1-5, vmovdqa64 zmm the "
                                   r"next; over the later runs: vmovdqa64 zmm costs 0.5 ticks \(\d+%\) more than "
                                   r"vmovdqa ymm per clear \(the median of the runs' paired differences\): .*, "
                                   r"10 runs, paired$")
        # --precision asks every figure's interval to be within X.
        self.assertEqual(stopping.width(one, "ticks"), max(stats.figure_width(one, i, "ticks") for i in range(6)))

    def test_an_idioms_record_round_trips_and_compares_beside_zerobench(self):
        one = idioms_series({"memset": [5, 9], "vmovdqa ymm": [1, 7.3]}, ratios=[1.5, 1.5])
        path = self.dir / "idioms.json"
        records.save(path, MACHINE, [one])
        self.assertEqual(records.load(path), (MACHINE, [one]))
        text = path.read_text()
        for broken, why in [(text.replace('"zerobench-idioms",\n   "layout"', '"zerobench",\n   "layout"'),
                             "a layout goes with zerobench-idioms"),
                            (text.replace('"sizes": [\n     64,', '"sizes": [\n     64, 128,'),
                             "figures must be 6 finite numbers, one per idiom and size")]:
            self.assertNotEqual(broken, text, why)
            (self.dir / "bad.json").write_text(broken)
            with self.assertRaisesRegex(records.RecordError, why):
                records.load(self.dir / "bad.json")
        records.save(self.dir / "zerobench.json", MACHINE, [WARMING])
        done = subprocess.run([str(BENCH / "zerobench-stats"), "compare", "zerobench.json", "idioms.json",
                               "idioms.json", "--markdown", "both.md"], cwd=self.dir, capture_output=True, text=True,
                              timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertIn("#2: zerobench-idioms, AMD EPYC (SSE4), cpu 0, 15 runs\n  core cycles per clear", done.stdout)
        self.assertIn("  64 bytes: #2 vmovdqa ymm 1.7 core cycles; #3 vmovdqa ymm 1.7 core cycles\n", done.stdout)
        self.assertIn("| vmovdqa ymm | 1.7* | 11.1* |", (self.dir / "both.md").read_text())
        self.assertNotRegex(done.stdout, r"\n#2 ")  # not a row of zerobench's table
        assert_refused(self, ["compare", self.dir / "zerobench.json", self.dir / "idioms.json", "--plot",
                              self.dir / "p.png"], "--plot draws one kind of program")


class CommittedTest(unittest.TestCase):
    def test_every_committed_record_loads_and_is_named_by_the_rule(self):
        # results/README.md: PROCESSOR-DATE.json, with -2, -3, ... where the name is taken.
        found = sorted((BENCH.parent / "results").glob("*.json"))
        self.assertTrue(found)
        for path in found:
            machine, series = records.load(path)
            brand = re.sub(r" \(SSE\d\)$", "", series[0].banner)
            processor = re.sub(r"[^a-z0-9]+", "-", brand.lower()).strip("-")
            self.assertRegex(path.name, rf"^{re.escape(processor)}-{machine['date'][:10]}(-[2-9]|-[1-9]\d+)?\.json$")


class CompareTest(RecordTest):
    def compare(self, *saved, status=0, **options):
        paths = []
        for i, record in enumerate(saved):
            paths.append(str(self.dir / f"{i}.json"))
            records.save(paths[-1], *record)
        args = type("Args", (), {"records": paths, "unit": "cycles", "plot": None, "markdown": None, **options})
        shown = io.StringIO()
        with contextlib.redirect_stdout(shown):
            self.assertEqual(cli.compare(args), status)
        return shown.getvalue().splitlines()

    def test_machines_side_by_side_in_cycles_and_ticks_each_against_the_first(self):
        fast = series(lambda n: [40 + n, 48 + n, 40 + n, 48 + n], ratios=[1.0, 1.0])
        slow = series(lambda n: [40 + n, 48 + n, 40 + n, 48 + n], ratios=[2.0, 2.0])
        markdown = self.dir / "table.md"
        lines = self.compare((MACHINE, [fast]), ({**MACHINE, "kernel": "Linux 6.18"}, [slow]), markdown=markdown)
        self.assertEqual(lines[0].split("  ")[0], "#")
        self.assertRegex(lines[1], r"^#1\s+AMD EPYC \(SSE4\)\s+2\.500\s+2\.500\s+Linux 6\.1\.0 x86_64\s+2026-12-08\s+"
                                   r"default\s+0\s+15\s+41\.0\s+49\.0\s+41\.0\s+49\.0\s+8\.0 core cycles more, "
                                   r"p < 0\.001$")
        self.assertRegex(lines[2], r"^#2\s+AMD EPYC \(SSE4\)\s+5\.000\s+2\.500\s+Linux 6\.18\s.*\s82\.0\s+98\.0\s+"
                                   r"41\.0\s+49\.0\s+16\.0 core cycles more")
        self.assertEqual(lines[3], render_text.CELLS)
        self.assertEqual(lines[4], "against #1, in core cycles:")
        self.assertRegex(lines[5], r"^  mov on #2 costs 41 core cycles \(100%\) more than on #1 per pass \(the "
                                   r"difference of the medians\):.*, 15 runs each, unpaired$")

        # A record of one run (run -n 1, or one interrupted after its first run) allows no verdict.
        one = dataclasses.replace(slow, runs=slow.runs[:1])
        lines = self.compare((MACHINE, [fast]), (MACHINE, [one]))
        self.assertRegex(lines[5], r"^  mov on #2 vs on #1: too few runs for a verdict at 95% \(1 and 15 runs, unpaired")

        table = markdown.read_text().splitlines()
        self.assertEqual(table[0], "| " + " | ".join(render_text.HEADINGS) + " |")
        self.assertEqual(table[1], "|" + "---|" * len(render_text.HEADINGS))
        self.assertTrue(table[2].startswith("| #1 | AMD EPYC (SSE4) | 2.500 | 2.500 | Linux 6.1.0 x86_64 |"))
        self.assertIn("- mov on #2 costs 41 core cycles (100%) more than on #1 per pass", markdown.read_text())

    def test_text_from_a_record_reaches_no_terminal_and_splits_no_row(self):
        hostile = dataclasses.replace(FLAT, banner="evil\x1b]0;TITLE\x07\x1b[31mRED\nnewline|pipe")
        markdown = self.dir / "table.md"
        lines = self.compare(({**MACHINE, "kernel": "k\x1b[2J"}, [hostile]), markdown=markdown)
        shown = "\n".join(lines) + markdown.read_text()
        self.assertFalse(any(c in shown for c in "\x1b\x07"), shown)
        self.assertRegex(lines[1], r"^#1\s+evil\\x1b]0;TITLE\\x07\\x1b\[31mRED\\nnewline\|pipe\s+-\s+-\s+k\\x1b\[2J ")
        self.assertEqual(markdown.read_text().splitlines()[2].count(" | "), len(render_text.HEADINGS) - 1)

    def test_a_record_at_the_size_limit_is_compared_in_seconds_and_bounded_memory(self):
        # 200,000 runs in 8 MiB: the bootstrap of their median would take
        # gigabytes; the intervals come from order statistics instead.
        runs = [{"figures": [40 + n % 9, 48 + n % 5, 40 + n % 7, 48 + n % 3], "seconds": 0} for n in range(200_000)]
        record = self.dir / "large.json"
        record.write_text(json.dumps({"tool": "zerobench-stats", "machine": MACHINE, "series": [
            {"preset": "default", "cpu": 0, "banner": "x", "runs": runs}]}, separators=(",", ":")))
        self.assertLess(record.stat().st_size, records.LARGEST)
        limit = 1 << 30  # bytes of address space: the bootstrap asked for 15 GiB
        done = tool("compare", record, record, timeout=120,
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertIn("and on #2 vs on #1: no difference shown at 95%: 0 ticks (the difference of the medians), 95% CI "
                      "0 to 0, p = 1, 200000 runs each, unpaired, interval from order statistics\n", done.stdout)
        self.assertRegex(done.stdout, r"#1 .* 6\.0 ticks more, p < 0\.001\n")

    def test_a_record_without_core_cycles_is_compared_in_ticks_and_the_others_in_core_cycles(self):
        timed = series(lambda n: [40 + n] * 4, ratios=[1.5, 1.5])
        padded = dataclasses.replace(timed, banner="Oxide Virtual Turin-like Processor              (SSE4)")
        lines = self.compare((MACHINE, [timed]), (MACHINE, [FLAT]), (MACHINE, [padded]))
        self.assertRegex(lines[1], r"^#1 .*\s3\.750\s+2\.500\s.*\s61\.5\s+61\.5\s+41\.0\s+41\.0\s+no difference shown$")
        self.assertRegex(lines[2], r"^#2 .*\s-\s+-\s.*\s-\s+-\s+41\.0\s+41\.0\s+no difference shown$")
        self.assertRegex(lines[3], r"^#3  Oxide Virtual Turin-like Processor \(SSE4\)  3\.750 ")
        self.assertEqual(lines[5], "no core cycles in #2 (no clock readings, or most of them refused): shown in ticks")
        self.assertEqual(lines[6], "against #1, in core cycles where both records have them, else in ticks:")
        self.assertRegex(lines[7], r"^  mov on #2 vs on #1: no difference shown at 95%: 0 ticks ")
        self.assertRegex(lines[9], r"^  mov on #3 vs on #1: no difference shown at 95%: 0 core cycles ")

    def test_each_records_disturbed_figures_and_clusters_are_noted(self):
        for i, one in enumerate([DISTURBED, CLUSTERED]):
            records.save(self.dir / f"{i}.json", MACHINE, [one])
        markdown = self.dir / "table.md"
        done = subprocess.run([str(BENCH / "zerobench-stats"), "compare", "0.json", "1.json", "--markdown", markdown],
                              cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        lines = done.stdout.splitlines()
        self.assertRegex(lines[1], r"^#1 .*\s3\.0 ticks more, p = 0\.0067$")
        outside, grouped = f"#1: {notes(DISTURBED)[0]}", f"#2: {notes(CLUSTERED)[0]}"
        self.assertEqual(lines[-4:-1], ["disturbed figures, clusters and drift:", f"  {outside}", f"  {grouped}"])
        self.assertTrue(markdown.read_text().endswith(f"Disturbed figures, clusters and drift:\n\n- {outside}\n"
                                                      f"- {grouped}\n"))

    def test_without_matplotlib_the_table_is_still_written_and_the_status_is_1(self):
        markdown = self.dir / "table.md"
        with unittest.mock.patch.object(render_plot, "_pyplot", lambda: None):
            lines = self.compare((MACHINE, [FLAT]), status=1, markdown=markdown, plot=self.dir / "x.png")
        self.assertEqual(lines[-2], f"table written to {markdown}")
        self.assertRegex(lines[-1], r"^no picture: matplotlib is missing \(apt-get install python3-matplotlib")
        self.assertFalse((self.dir / "x.png").exists())

    def test_a_missing_file_or_another_json_is_named(self):
        (self.dir / "other.json").write_text('{"name": "something else"}')
        for path, why in [(self.dir / "none.json", "No such file or directory"),
                          (self.dir / "other.json", "not a zerobench-stats record")]:
            with self.assertRaisesRegex(UsageError, f"^{path}: {why}"):
                cli.load_rows([str(path)])


def tool(*arguments, **options):
    """zerobench-stats as a user starts it; its output as text."""
    return subprocess.run([str(BENCH / "zerobench-stats"), *map(str, arguments)], text=True, errors="backslashreplace",
                          **{"capture_output": True, "timeout": 60, **options})


def assert_refused(test, arguments, why, stdout=subprocess.PIPE):
    """The arguments get status 2, one line on standard error naming why, and no other output."""
    done = tool(*arguments, stdout=stdout, stderr=subprocess.PIPE, capture_output=False)
    test.assertEqual((done.returncode, done.stdout or ""), (2, ""), arguments)
    test.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
    test.assertIn(why, done.stderr)


class BadArgumentsTest(unittest.TestCase):
    def test_each_gets_one_line_and_status_2_before_any_run(self):
        with tempfile.TemporaryDirectory() as scratch:
            not_a_program = pathlib.Path(scratch) / "program"
            not_a_program.write_text("#!/bin/sh\n")
            not_a_program.chmod(0o755)
            huge = pathlib.Path(scratch) / "huge"
            with open(huge, "wb") as sparse:
                sparse.write(b"\x7fELF")
                sparse.truncate(30 << 30)  # 30 GiB, read whole once
            cases = [
                (["run", "nosuch"], "nosuch: neither a zerobench program nor a preset"),
                (["run", str(not_a_program)], "not a zerobench program"),
                (["run", str(huge)], "huge: not a zerobench program (larger than 16 MiB)"),
                (["run", "/nonexistent/zerobench"], "no such program"),
                (["run", "--json", "/nonexistent/dir/out.json"], "no directory /nonexistent/dir"),
                (["run", "--plot", f"{scratch}/out.txt"], "a picture is written as .png, .svg, .pdf"),
                (["run", "--plot", f"{scratch}/out"], "a picture is written as .png"),
                (["run", "--json", scratch], "is a directory"),
                (["run", "-n", "0"], "at least 1 run"),
                (["run", "--precision", "nan"], "--precision needs a finite half-width above 0, not nan"),
                (["run", "--precision", "1", "--max-runs", "5"], "--max-runs 5 is below the least rounds (-n 6)"),
                (["run", "--precision", "1", "--time", "-1"], "--time needs a finite number of seconds above 0"),
                (["run", "--time", "60"], "--max-runs and --time go with --precision"),
                (["run", "--cpu", "100000"], "cpu 100000 is not one this process may use"),
                (["run", "--unit", "seconds"], "invalid choice"),
                (["compare", f"{scratch}/none.json"], "No such file or directory"),
                (["compare", str(not_a_program)], "not a zerobench-stats record"),
                (["compare", "/dev/zero"], "/dev/zero: not a zerobench-stats record (larger than 8 MiB)"),
                (["frobnicate"], "invalid choice"),
            ]
            for arguments, why in cases:
                assert_refused(self, arguments, why)

    def test_without_a_target_a_checkout_runs_its_measured_presets_in_file_order(self):
        with tempfile.TemporaryDirectory() as scratch:
            checkout = pathlib.Path(scratch)
            (checkout / "CMakePresets.json").write_text(json.dumps({"configurePresets": [
                {"name": "base", "hidden": True, "vendor": {"zerobench": {"roles": ["measured"]}}},
                {"name": "second", "vendor": {"zerobench": {"roles": ["released", "measured"]}}},
                {"name": "checked", "vendor": {"zerobench": {"roles": []}}},
                {"name": "first", "vendor": {"zerobench": {"roles": ["measured"]}}}]}))
            place = runner.Place(checkout / "bench" / "zerobench-stats")
            self.assertEqual(place.presets(),
                             {"second": ["released", "measured"], "checked": [], "first": ["measured"]})
            with self.assertRaisesRegex(UsageError, r"^nothing to run: second: not built \(.*\); first: not built"):
                runner.targets(place, [])
            with self.assertRaisesRegex(UsageError, r"^nosuch: neither a zerobench program nor a preset "
                                                    r"\(second, checked, first\) nor zerobench-idioms$"):
                runner.targets(place, ["nosuch"])


# A stand-in for the terminal-run helper: it ignores the program it is given
# to start, but for the settings written in it, and prints a report whose
# figures come from a generator seeded by the settings and the run's number
# (counted in a file beside the program), so that a series is known in
# advance. mov's figures climb by `trend` a run; and lies `diff` above mov,
# give or take a normal `spread`; the runs numbered in `fail` fail.
STAND_IN_DRIVER = """\
import json, pathlib, random, sys
program = pathlib.Path(sys.argv[-1])
settings = json.loads(program.read_bytes().split(b"\\n")[2])
counter = program.with_name(program.name + ".count")
number = int(counter.read_text()) if counter.exists() else 0
counter.write_text(str(number + 1))
if number in settings.get("fail", []):
    sys.exit(1)
draw = random.Random(f"{settings.get('seed', 0)} {number}")
mov = settings.get("mov", 40) + settings.get("trend", 0) * number
figures = [mov, mov + settings.get("diff", 8)]
figures = [figures[0], round(figures[1] + draw.gauss(0, settings.get("spread", 0)))] * 2
sys.stdout.buffer.write(b"Stand-in (SSE4)\\r\\n" + b"".join(b"%d\\tcycles for 100*%s\\r\\n" % (figure, body)
                        for figure, body in zip(figures, [b"mov", b"and", b"mov", b"and"])))
sys.stderr.write("seconds-to-closing-line: 0.01\\n")
"""
AGREEING = ("cycles-per-tick 1.5000 tick-hz 2000000000 core-hz 3000000000 add 1.500 imul 1.500", 0)


class StandInTest(unittest.TestCase):
    """The command as a user runs it, in a checkout of its own whose driver
    and clock probe are stand-ins (the probe a script that prints a line and
    exits with a status)."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.scratch.name)
        (self.root / "CMakePresets.json").write_text(json.dumps({"configurePresets": [
            {"name": "default", "vendor": {"zerobench": {"roles": ["measured"]}}}]}))
        (self.root / "bench").mkdir()
        (self.root / "bench" / "zerobench-stats").write_bytes((BENCH / "zerobench-stats").read_bytes())
        (self.root / "bench" / "zerobench-stats").chmod(0o755)
        (self.root / "bench" / "zerobench_stats").symlink_to(BENCH / "zerobench_stats")
        self.helpers = self.root / "build" / "default" / "bench"
        self.helpers.mkdir(parents=True)
        self.script(self.helpers / "terminal-run", STAND_IN_DRIVER)
        self.probe(*AGREEING)

    def tearDown(self):
        self.scratch.cleanup()

    def script(self, path, text, interpreter=f"{sys.executable} -SI"):
        path.write_text(f"#!{interpreter}\n{text}")
        path.chmod(0o755)

    def probe(self, line, status, said="the two chains disagree"):
        self.script(self.helpers / "zerobench-clock",
                    f"echo '{line}'\n[ {status} = 0 ] || echo '{said}' >&2\nexit {status}\n", "/bin/sh")

    def program(self, path, **settings):
        """A file that runner.check_program takes for a zerobench program, holding the stand-in's settings."""
        path.write_bytes(b"\x7fELF\n" + records.MARK + b"\n" + json.dumps(settings).encode())
        path.chmod(0o755)
        for counter in path.parent.glob(path.name + ".count"):
            counter.unlink()
        return str(path)

    def tool(self, *arguments, status=0):
        """The command's output lines and its record. Lines on the test
        machine's own load, which the test does not control, are left out:
        what was busy before the first round, and during the runs."""
        record = self.root / "record.json"
        done = subprocess.run([str(self.root / "bench" / "zerobench-stats"), "run", "--force", "--json", str(record),
                               *arguments], capture_output=True, text=True, timeout=300, cwd=self.root)
        self.assertEqual((done.returncode, done.stderr), (status, ""), done.stdout)
        machine_load = re.compile(r"^(cpu \d+ was \d+% busy in the second before|the hypervisor took time from|"
                                  r"\s*(cpu \d+: )?\d+ of \d+ runs ran while cpu|\s*runs? [\d, ]+ lost more than)")
        return [line for line in done.stdout.splitlines() if not machine_load.match(line)], \
            json.loads(record.read_text())

    def test_a_preset_whose_program_is_broken_is_refused_before_any_run(self):
        (self.root / "build" / "default" / "zerobench").write_text("not a program\n")
        done = subprocess.run([self.root / "bench" / "zerobench-stats", "run", "default"], capture_output=True,
                              text=True, timeout=60, cwd=self.root)
        self.assertEqual((done.returncode, done.stdout), (2, ""))
        self.assertRegex(done.stderr, r"^zerobench-stats: \S+/build/default/zerobench: not a zerobench program\n$")

    def test_rounds_hold_one_run_of_each_program_in_an_order_the_seed_repeats(self):
        a = self.program(self.root / "A", trend=5)
        b = self.program(self.root / "B", trend=5, mov=50, fail=[2])
        lines, record = self.tool("-n", "7", "--unit", "ticks", "--seed", "4242", a, b, status=1)
        self.assertEqual(lines[0], "rounds in the order of seed 4242 (--seed 4242 repeats it)")
        self.assertEqual(record["seed"], 4242)
        first, second = record["series"]
        self.assertEqual([run["round"] for run in first["runs"]], list(range(1, 8)))
        self.assertEqual([run["round"] for run in second["runs"]], [1, 2, 4, 5, 6, 7])  # its third run failed
        self.assertEqual({run["place"] for run in first["runs"]}, {1, 2})  # each round shuffled afresh
        for run, other in zip(first["runs"], second["runs"][:2]):
            self.assertEqual({run["place"], other["place"]}, {1, 2})
            self.assertEqual(run["started"] < other["started"], run["place"] < other["place"])
        # Each round's two runs climb together; paired by round, B is 10 ticks above A in every one.
        self.assertIn(f"  mov on {b} costs 10 ticks (17%) more than on {a} per pass (the median of the rounds' paired "
                      "differences): 95% CI 10 to 10, p = 0.031, 6 rounds, paired", lines)
        self.assertRegex(lines[1], f"^{b}: run [12] of round 3 failed, left out: exit status 1: no output$")

        self.program(self.root / "A", trend=5)
        self.program(self.root / "B", trend=5, mov=50, fail=[2])
        _, again = self.tool("-n", "7", "--unit", "ticks", "--seed", "4242", a, b, status=1)
        self.assertEqual([[(run["round"], run["place"]) for run in s["runs"]] for s in again["series"]],
                         [[(run["round"], run["place"]) for run in s["runs"]] for s in record["series"]])
        self.assertEqual([run["figures"] for s in again["series"] for run in s["runs"]],
                         [run["figures"] for s in record["series"] for run in s["runs"]])

    def test_a_program_against_itself_any_32_bit_figure_and_a_closed_standard_error(self):
        # The same program twice (an A/A test of the noise floor): two series, each with a state of its own.
        self.program(self.root / "build" / "default" / "zerobench", spread=3, seed=5)
        lines, record = self.tool("--unit", "ticks", "--precision", "0.001", "-n", "6", "--max-runs", "8", "--seed",
                                  "2", "default", "default")
        self.assertEqual(set(record["stopping"]["targets"]), {"default", "default (2)"})
        _, (first, second) = records.load(self.root / "record.json")
        self.assertNotEqual([run.figures for run in first.runs], [run.figures for run in second.runs])
        self.assertEqual([record["stopping"]["targets"][name]["width"] for name in ("default", "default (2)")],
                         [stopping.width(first, "ticks"), stopping.width(second, "ticks")])
        self.assertIn("default (2): 8 runs on cpu 0", lines)
        # Any figure the report's signed 32 bits hold is kept, and compare reads it; one beyond is left out.
        big = self.program(self.root / "big", mov=1_500_000_000)
        beyond = self.program(self.root / "beyond", mov=2 ** 31)
        lines, record = self.tool("-n", "1", big, beyond, status=1)
        self.assertEqual([s["runs"][0]["figures"][0] for s in record["series"]], [1_500_000_000])
        self.assertIn(f"{beyond}: run ", "\n".join(lines))
        self.assertRegex("\n".join(lines), r"left out: a record would not keep it \(figures must be 4 integers from "
                                            r"-2147483648 to 2147483647\)")
        self.assertEqual(records.load(self.root / "record.json")[1][0].runs[0].figures[1], 1_500_000_008)
        # With standard error closed it runs as ever, without its progress line.
        done = subprocess.run([str(self.root / "bench" / "zerobench-stats"), "run", "-n", "2", "--json",
                               str(self.root / "quiet.json"), "default"], stdout=subprocess.PIPE, text=True,
                              timeout=120, cwd=self.root, preexec_fn=lambda: os.close(2))
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertEqual(len(json.loads((self.root / "quiet.json").read_text())["series"][0]["runs"]), 2)

    def test_per_cpu_gives_and_against_mov_on_each_cpu(self):
        program = self.program(self.root / "A")
        lines, record = self.tool("-n", "6", "--per-cpu", "--unit", "ticks", program)
        for cpu in sorted(os.sched_getaffinity(0)):
            at = lines.index(next(line for line in lines if line.startswith(f"  cpu {cpu}: core clock")))
            self.assertRegex(lines[at + 3], r"^    and costs 8 ticks \(20%\) more than mov per pass \(the median of "
                                            r"the runs' paired differences\): .*, 6 runs, paired$")

    def test_runs_while_another_cpu_was_busy_are_named_and_so_is_a_busy_machine(self):
        allowed = sorted(os.sched_getaffinity(0))
        if len(allowed) < 2:
            self.skipTest("one CPU only")
        program = self.program(self.root / "A")
        loop = subprocess.Popen([sys.executable, "-c", "while True: pass"],
                                preexec_fn=lambda: os.sched_setaffinity(0, {allowed[1]}))
        try:
            done = subprocess.run([str(self.root / "bench" / "zerobench-stats"), "run", "-n", "6", "--cpu",
                                   str(allowed[0]), "--json", str(self.root / "busy.json"), program],
                                  capture_output=True, text=True, timeout=300, cwd=self.root)
        finally:
            loop.kill()
            loop.wait()
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertRegex(done.stdout, rf"\ncpu {allowed[1]} was \d+% busy in the second before the first round \(a "
                                      r"CPU that shares a core with the runs moves their figures")
        self.assertIn(f"  6 of 6 runs ran while cpu {allowed[1]} was busy", done.stdout)
        record = json.loads((self.root / "busy.json").read_text())
        self.assertGreater(record["host"]["load"][str(allowed[1])]["busy"], 0.5)
        self.assertTrue(all(run["busy"][str(allowed[1])] > 0.5 for run in record["series"][0]["runs"]))
        self.assertEqual(sorted(record["host"]["siblings"]), list(map(str, allowed)))

    def test_check_gives_every_finding_and_a_verdict_and_keeps_them(self):
        self.program(self.root / "build" / "default" / "zerobench")
        findings = self.root / "check.json"
        done = subprocess.run([str(self.root / "bench" / "zerobench-stats"), "check", "--json", str(findings)],
                              capture_output=True, text=True, timeout=120, cwd=self.root)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        lines = done.stdout.splitlines()
        for start in ["checking cpu ", "processor: Stand-in (SSE4); runs use cpu ", "clock: counter 2.000 GHz; core "
                      "3.000 GHz", "cpuid: not measured", "shared core: the kernel says cpu ", "  cpu 0 alone: ",
                      "other work over a second: cpu 0 ", "IA-32 programs: ", "perf: "]:
            self.assertTrue(any(line.startswith(start) for line in lines), (start, lines))
        self.assertRegex(lines[-2], r"^(fit|fit with care|not fit)(: .*)? \(checked in \d+ s\)$")
        self.assertEqual(lines[-1], f"findings written to {findings}")
        kept = json.loads(findings.read_text())
        self.assertEqual((kept["tool"], kept["cpu"], len(kept["alone"])), ("zerobench-stats check", 0, 5))
        self.assertEqual(kept["verdict"], lines[-2].split(":")[0].split(" (")[0])
        assert_refused(self, ["check", "--json", findings], "already there; name a new file, or add --force")

    def stops(self, precision, *arguments, **settings):
        """run --precision on the stand-in: its lines, and the record's rule."""
        self.program(self.root / "build" / "default" / "zerobench", **settings)
        lines, record = self.tool("--unit", "ticks", "--precision", str(precision), *arguments, "default")
        return lines, record

    def test_precision_stops_on_the_intervals_width_alone(self):
        lines, record = self.stops(0.5, "--max-runs", "30")
        self.assertEqual(lines[-2], "default: stopped after 6 rounds: and − mov known to ±0 ticks (asked ±0.5)")
        self.assertEqual(record["stopping"], {"precision": 0.5, "unit": "ticks", "min_rounds": 6, "max_runs": 30,
                                              "time": None, "targets": {"default": {"rounds": 6, "reason": "reached",
                                                                                    "width": 0.0, "unit": "ticks"}}})
        # Noisy data with a difference far beyond the noise: significant from
        # the sixth round on, but its interval stays wide.
        lines, record = self.stops(0.5, "--max-runs", "8", diff=40, spread=6)
        self.assertRegex("\n".join(lines), r"and costs [\d.]+ ticks \(\d+%\) more than mov per pass \(.*p = 0.0078")
        self.assertRegex(lines[-2], r"^default: the budget of 8 rounds \(--max-runs\) ran out: ±[\d.]+ ticks "
                                    r"\(asked ±0.5\)$")
        self.assertEqual(record["stopping"]["targets"]["default"]["reason"], "max-runs")
        self.assertEqual(len(record["series"][0]["runs"]), 8)
        # Moderate noise: it stops at the first round within the precision, from -n on.
        lines, record = self.stops(0.75, "--max-runs", "60", spread=2, seed=7)
        found = record["stopping"]["targets"]["default"]
        rounds, (series,) = found["rounds"], records.load(self.root / "record.json")[1]
        widths = [stopping.width(dataclasses.replace(series, runs=series.runs[:k]), "ticks")
                  for k in range(6, rounds + 1)]
        self.assertEqual((found["reason"], found["width"]), ("reached", widths[-1]))
        self.assertTrue(all(width > 0.75 for width in widths[:-1]) and widths[-1] <= 0.75, widths)
        self.assertGreater(rounds, 6)
        # A program whose runs all fail from its second on ends the rounds, with no budget set.
        self.program(self.root / "build" / "default" / "zerobench", fail=list(range(1, 100)))
        lines, record = self.tool("--precision", "0.5", "-n", "2", "default", status=1)
        self.assertIn("default: its last 2 runs failed: no more rounds after 3 rounds: no interval yet from 1 run "
                      "(asked ±0.5)", lines)
        self.assertEqual(len(record["series"][0]["runs"]), 1)
        # ... and the others stop with it, each saying so.
        healthy = self.program(self.root / "healthy", spread=6)
        lines, record = self.tool("--unit", "ticks", "--precision", "0.01", "-n", "2", "--seed", "3", healthy,
                                  "default", status=1)
        self.assertRegex("\n".join(lines), f"\n{healthy}: the rounds ended after 2 rounds, as another program's runs "
                                            r"kept failing: ±\d+ ticks \(asked ±0.01\)\ndefault: its last 2 runs failed: "
                                            r"no more rounds after 2 rounds: no interval yet from 0 runs")
        self.assertEqual(set(record["stopping"]["targets"]), {healthy, "default"})

        lines, record = self.stops(0.5, "--time", "0.001", spread=6)
        self.assertRegex(lines[-2], r"^default: the 0.001 s budget ran out at 6 rounds: ±\d+ ticks \(asked ±0.5\)$")
        self.assertEqual(record["stopping"]["targets"]["default"]["rounds"], 6)

    def test_a_refused_clock_reading_costs_its_own_run_and_one_refused_every_time_the_series(self):
        program = self.program(self.root / "A")
        # Refused in every call, by the probe or by the tool: ticks only, saying why, also under --precision.
        for line, status, why in [
                ("cycles-per-tick 1.5900 tick-hz 2600000000 core-hz 4134000000 add 1.590 imul 1.210", 3,
                 "the clock probe's two chains disagreed on cpu {} (add 1.59, imul 1.21 core cycles per tick)"),
                ("cycles-per-tick 9.1780 tick-hz 2600000000 core-hz 23862800000 add 9.178 imul 9.180", 0,
                 "the clock probe's reading on cpu {} gave a core clock of 23.9 GHz, outside the 0.1-10 GHz of any "
                 "x86 processor")]:
            self.probe(line, status)
            lines, record = self.tool("-n", "2", program)
            cpu = record["series"][0]["cpu"]
            self.assertEqual(lines[2], f"  4 of 4 clock readings gave no core cycles: {why.format(cpu)}: figures in "
                                       "ticks only")
            self.assertNotIn("core cycles per pass", "\n".join(lines))
            self.assertEqual([run["ratios"] for run in record["series"][0]["runs"]], [None, None])
            self.assertEqual({(r["when"], r["reason"], r["add"]) for run in record["series"][0]["runs"]
                              for r in run["refused"]}, {("before", "chains" if status else "range", float(line.split()[7])),
                                                         ("after", "chains" if status else "range", float(line.split()[7]))})
        lines, record = self.tool("--precision", "1000", program)
        self.assertEqual(lines[-2], f"{program}: the precision could not be judged in core cycles, as 12 of 12 clock "
                                    "readings gave none; after 6 rounds, and − mov is known to ±0 ticks (--unit ticks "
                                    "judges it in ticks)")
        self.assertEqual(record["stopping"]["targets"][program],
                         {"rounds": 6, "reason": "not-in-unit", "width": 0.0, "unit": "ticks"})

        # A probe that refuses one call in five, by a seeded draw: the series keeps its core cycles.
        count = self.root / "probe-calls"
        self.script(self.helpers / "zerobench-clock", f"""\
import pathlib, random, sys
count = pathlib.Path({str(count)!r})
number = int(count.read_text()) if count.exists() else 0
count.write_text(str(number + 1))
if random.Random(number).random() < 0.2:
    print("cycles-per-tick 1.3750 tick-hz 2000000000 core-hz 2750000000 add 1.350 imul 1.400")
    print("zerobench-clock: the two chains disagree", file=sys.stderr)
    sys.exit(3)
print({AGREEING[0]!r})
""")
        lines, record = self.tool("-n", "15", "--seed", "1", program)
        runs = record["series"][0]["runs"]
        without = [n for n, run in enumerate(runs, 1) if run["ratios"] is None]
        self.assertEqual(without, [n for n, run in enumerate(runs, 1) if run["refused"]])
        self.assertTrue(0 < len(without) < 8, without)
        self.assertIn(f"  {len(without)} of 15 runs have no core cycles (runs {', '.join(map(str, without))}): the "
                      f"clock probe's two chains disagreed on cpu {record['series'][0]['cpu']} (add 1.35, imul 1.40 "
                      "core cycles per tick)", lines)
        self.assertIn("core cycles per pass", "\n".join(lines))
        self.assertRegex("\n".join(lines), f"and costs 12 core cycles .* {15 - len(without)} runs, paired")

        # A probe that fails once (its fourth call, the first telling what CPUID
        # costs, then before and after each run): that run is named, and the
        # precision asked in core cycles stays in core cycles.
        count.unlink()
        self.script(self.helpers / "zerobench-clock", f"n=$(cat {count} 2>/dev/null || echo 0)\n"
                    f"echo $((n + 1)) > {count}\n[ $n = 3 ] && exit 1\necho '{AGREEING[0]}'\n", "/bin/sh")
        lines, record = self.tool("--precision", "1000", program)
        self.assertIn("  1 of 6 runs has no core cycles (run 2): the clock probe gave no reading on cpu "
                      f"{record['series'][0]['cpu']} (exit status 1: no output)", lines)
        self.assertEqual(lines[-2], f"{program}: stopped after 6 rounds: and − mov known to ±0 core cycles (asked ±1000)")
        self.assertEqual(record["stopping"]["max_runs"], 100)


class OutputSafetyTest(Scratch):
    def test_an_output_that_would_destroy_something_is_refused_and_a_lost_standard_output_is_said(self):
        record, other, fifo, program = (self.dir / name for name in ("a.json", "b.json", "fifo", "zerobench"))
        records.save(record, MACHINE, [WARMING])
        records.save(other, MACHINE, [FLAT])
        kept = record.read_bytes()
        (self.dir / "link.json").symlink_to(record)
        os.link(record, self.dir / "hard.json")
        os.mkfifo(fifo)
        program.write_bytes(pathlib.Path("/bin/true").read_bytes() + records.MARK)
        program.chmod(0o755)
        picture = self.dir / "x.png"
        shuffled = self.dir / "s.json"  # a record whose keys are in another order than save() writes
        shuffled.write_text(json.dumps(json.loads(record.read_text()), sort_keys=True))
        for arguments, why in [
                (["run", "--json", "/dev/null"], "/dev/null: is a device, not a regular file"),
                (["run", "--json", fifo], "fifo: is a FIFO, not a regular file"),
                (["run", "--json", ""], "argument --json: an empty file name"),
                (["run", "--plot", ""], "argument --plot: an empty file name"),
                (["compare", record, "--markdown", ""], "argument --markdown: an empty file name"),
                (["run", "--json", program, program], "is a program the run starts"),
                (["run", "--json", picture, "--plot", self.dir / "." / "x.png", program], "is the file --json names"),
                (["run", "--json", self.dir / "link.json", program], "already there; name a new file, or add --force"),
                (["compare", record, "--markdown", record], "a.json: is a record compare reads"),
                (["compare", record, "--markdown", self.dir / "hard.json"], "hard.json: is a record compare reads"),
                (["compare", "--markdown", record, other], "a.json: holds a zerobench-stats record"),
                (["compare", other, "--markdown", shuffled], "s.json: holds a zerobench-stats record"),
                (["compare", other, "--plot", self.dir / "p.png", "--markdown", shuffled], "s.json: holds a zerobench"),
                (["compare", record, "--plot", picture, "--markdown", picture], "is the file --plot names"),
                (["compare", record, "--markdown", program], "zerobench: is a program; name another file"),
                (["compare", self.dir / "\udcff.json"], "\\udcff.json: No such file or directory")]:
            assert_refused(self, arguments, why)
        self.assertEqual((record.read_bytes(), program.read_bytes()[:4]), (kept, b"\x7fELF"))
        # Standard output is an output like the others: a name for it is refused, not written as well.
        report = self.dir / "report.txt"
        for option, arguments in [("--json", ["run", program]), ("--markdown", ["compare", other])]:
            with open(report, "w") as stdout:
                assert_refused(self, [*arguments, option, "/dev/stdout"], "is standard output, where the report goes",
                               stdout=stdout)
            self.assertEqual(report.read_bytes(), b"")
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode) and fifo.is_fifo())
        self.assertFalse(picture.exists())

        # Written through a symlink (link.json names a.json) with the file's mode, or new with the umask's.
        record.chmod(0o600)
        old = os.umask(0o027)
        for path in (self.dir / "link.json", self.dir / "new.json"):
            records.save(path, MACHINE, [FLAT])
        os.umask(old)
        self.assertTrue((self.dir / "link.json").is_symlink())
        self.assertEqual(records.load(record), (MACHINE, [FLAT]))
        self.assertEqual([stat.S_IMODE(os.stat(self.dir / name).st_mode) for name in ("a.json", "new.json")],
                         [0o600, 0o640])
        self.assertRaises(OSError, records.save, fifo, MACHINE, [FLAT])
        self.assertEqual([p.name for p in self.dir.iterdir() if p.name.startswith(".zerobench-stats-")], [])

        # Standard output closed, full, or cut by its reader: one line, status 1; the Markdown still written.
        markdown = self.dir / "\udcfe.md"  # and a name that is not UTF-8
        reader, cut = os.pipe()
        os.close(reader)
        full = os.open("/dev/full", os.O_WRONLY)
        for stdout, why in [(None, "standard output is closed"), (full, "(No space left on device)"),
                            (cut, "(Broken pipe)")]:
            markdown.unlink(missing_ok=True)
            done = tool("compare", record, "--markdown", markdown, stdout=stdout, stderr=subprocess.PIPE,
                        capture_output=False, preexec_fn=(lambda: os.close(1)) if stdout is None else None)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
            self.assertIn(why, done.stderr)
            self.assertEqual(markdown.exists(), stdout is not None, why)
        os.close(full)
        os.close(cut)
        self.assertIn("| #1 | AMD EPYC (SSE4) |", markdown.read_text())


    def test_an_output_is_written_whole_or_not_at_all_and_through_no_planted_link(self):
        record, markdown, picture = (self.dir / name for name in ("a.json", "t.md", "p.png"))
        records.save(record, MACHINE, [WARMING])
        rows = cli.load_rows([str(record)])
        for path in (markdown, picture):
            path.write_text("kept\n")
        full = OSError(28, "No space left on device")
        with unittest.mock.patch.object(files.os, "fsync", side_effect=full), \
                contextlib.redirect_stdout(io.StringIO()) as shown:
            self.assertFalse(cli.write_markdown(str(markdown), "| a |\n" * 10000))
            if not render_plot.missing():
                self.assertFalse(cli.draw_comparison(str(picture), rows, "ticks"))
            self.assertRaises(OSError, records.save, record, MACHINE, [FLAT])
        self.assertIn("could not be written (No space left on device)", shown.getvalue())
        self.assertEqual([markdown.read_text(), picture.read_text()], ["kept\n", "kept\n"])
        self.assertEqual(records.load(record), (MACHINE, [WARMING]))
        self.assertEqual(sorted(p.name for p in self.dir.iterdir()), ["a.json", "p.png", "t.md"])

        # A picture through a link to a file without a suffix: the name given says the format.
        if not render_plot.missing():
            (self.dir / "drawing").write_text("")
            (self.dir / "l.png").symlink_to(self.dir / "drawing")
            done = tool("compare", record, "--plot", self.dir / "l.png")
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            self.assertTrue((self.dir / "l.png").is_symlink())
            self.assertEqual((self.dir / "drawing").read_bytes()[:8], b"\x89PNG\r\n\x1a\n")

        # Another user's link in a sticky, world-writable directory is not followed, as the kernel would not.
        if os.geteuid() != 0:
            self.skipTest("making another user's link needs root")
        shared = self.dir / "tmp"
        shared.mkdir(mode=0o1777)
        shared.chmod(0o1777)
        (shared / "planted.json").symlink_to(self.dir / "victim")
        os.lchown(shared / "planted.json", 65534, 65534)
        (shared / "mine.json").symlink_to(self.dir / "mine")
        assert_refused(self, ["run", "--json", shared / "planted.json"], "planted.json is a symlink of another "
                                                                         "user's in the shared directory")
        assert_refused(self, ["compare", record, "--markdown", shared / "planted.json"], "a symlink of another")
        self.assertFalse((self.dir / "victim").exists())
        done = tool("compare", record, "--markdown", shared / "mine.json")
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertTrue((self.dir / "mine").exists())


class SignalTest(Scratch):
    def test_a_signal_while_it_loads_or_compares_ends_it_in_one_line_with_128_and_its_number(self):
        record = self.dir / "a.json"
        records.save(record, MACHINE, [WARMING])
        for number in (signal.SIGINT, signal.SIGTERM):
            # Python's site and scipy loading, and the comparison on a slow machine. The interpreter's own
            # first hundredths of a second, before the launcher's first line, are beyond the tool's reach.
            for delay in (0.15, 0.3, 0.6):
                started = subprocess.Popen([BENCH / "zerobench-stats", "compare", record], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, text=True,
                                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                time.sleep(delay)
                started.send_signal(number)
                _, shown = started.communicate(timeout=60)
                self.assertIn(started.returncode, (0, 128 + number, -number), shown)
                self.assertNotIn("Traceback", shown)
                self.assertLessEqual(len(shown.splitlines()), 1, shown)
        # Late, while it writes its files or as the interpreter shuts down: never ended silently.
        command = [BENCH / "zerobench-stats", "compare", record, "--markdown", self.dir / "m.md"]
        began = time.monotonic()
        subprocess.run(command, capture_output=True, timeout=60)
        took = time.monotonic() - began
        for before_end in (0.3, 0.15, 0.1, 0.06, 0.03, 0.01):
            started = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            time.sleep(max(took - before_end, 0.5))
            started.send_signal(signal.SIGTERM)
            _, shown = started.communicate(timeout=60)
            self.assertIn(started.returncode, (0, 128 + signal.SIGTERM), (before_end, shown))
            self.assertEqual(len(shown.splitlines()), 0 if started.returncode == 0 else 1, shown)


if __name__ == "__main__":
    if not stats.available():
        print(f"SKIPPED: {render_text.NO_STATISTICS}")
        sys.exit(SKIP)
    unittest.main()
