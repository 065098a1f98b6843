"""zerobench-stats' records and their analysis: every run kept as read, saved
to and loaded from JSON, figures in ticks or in core cycles, and two samples
compared in one plain sentence.

Two values of one run (and against mov, the first figure of a body against
the second) are compared through the run's own difference: the Wilcoxon
signed-rank test and a bootstrap of the median difference that resamples
runs. Values of different series (CPUs, builds, machines) are independent
samples: the Mann-Whitney U test and a bootstrap of the difference of the
medians.

The statistics need scipy; the records do not.
"""
import dataclasses
import json
import math
import os
import statistics
import tempfile
import warnings
from typing import Optional

try:
    import numpy
    import scipy.stats
except ImportError:
    scipy = None

LABELS = ["1 mov", "2 and", "3 mov", "4 and"]
BODIES = {"mov": (0, 2), "and": (1, 3)}  # each body's figures in a report
CONFIDENCE = 0.95
UNITS = {"ticks": "ticks", "cycles": "core cycles"}
CLOCK_MOVED = 0.02  # a run's two clock readings further apart than this


@dataclasses.dataclass
class Run:
    figures: list  # the four figures, in the report's order, in ticks
    seconds: float  # from start to the closing line
    ratios: Optional[list] = None  # core cycles per tick, just before and just after the run
    tick_hz: Optional[float] = None  # the counter's frequency

    def ratio(self):
        return statistics.fmean(self.ratios) if self.ratios else None


@dataclasses.dataclass
class Series:
    preset: str  # the preset or the program that was run
    cpu: Optional[int]  # the CPU every run was pinned to
    banner: str  # the report's first line
    runs: list


class RecordError(Exception):
    """A file that is not a record this tool wrote."""


def save(path, machine, series):
    """Writes the record whole or not at all: a temporary file beside the
    target, renamed over it."""
    record = {"tool": "zerobench-stats", "machine": machine, "series": [dataclasses.asdict(s) for s in series]}
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=directory, prefix=".zerobench-stats-", suffix=".json")
    try:
        with os.fdopen(handle, "w") as file:
            json.dump(record, file, indent=1)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def load(path):
    """The machine and the series that save() wrote (also before core cycles
    were recorded); RecordError for anything else."""
    with open(path) as file:
        try:
            record = json.load(file)
            series = [Series(**{**s, "runs": [Run(**r) for r in s["runs"]]}) for s in record["series"]]
            machine = dict(record["machine"])
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            raise RecordError(f"not a zerobench-stats record ({error.__class__.__name__}: {error})") from None
    if not series or any(len(run.figures) != len(LABELS) for s in series for run in s.runs):
        raise RecordError("not a zerobench-stats record (no series, or runs without four figures)")
    return machine, series


def missing():
    """What to install for the statistics, or None when they can run."""
    if scipy is None:
        return "scipy is missing (apt-get install python3-scipy; run under /usr/bin/python3)"
    return None


def has_cycles(series):
    """Whether every run of the series can be given in core cycles."""
    return all(run.ratio() is not None for run in series.runs)


def unit_for(series_list, unit):
    """The unit asked for, or ticks where a series has no clock readings."""
    return unit if unit == "ticks" or all(has_cycles(s) for s in series_list) else "ticks"


def _in_unit(run, ticks, unit):
    return ticks * run.ratio() if unit == "cycles" else ticks


def figure_values(series, index, unit="ticks"):
    return [_in_unit(run, run.figures[index], unit) for run in series.runs]


def body_values(series, body, unit="ticks"):
    """One value per run: the mean of the body's two figures. The two figures
    of one run are not independent of each other, so they are not pooled."""
    first, second = BODIES[body]
    return [_in_unit(run, (run.figures[first] + run.figures[second]) / 2, unit) for run in series.runs]


@dataclasses.dataclass
class Difference:
    amount: float  # subject less reference: the median difference (paired) or the difference of the medians
    percent: Optional[float]  # of the reference's median
    low: float  # the confidence interval of amount
    high: float
    p: float  # two-sided: Wilcoxon signed-rank (paired) or Mann-Whitney U
    counts: tuple  # values in the subject, in the reference
    paired: bool = False

    def possible(self):
        """Whether the test could reach p < 0.05 at all with so few runs: its
        smallest two-sided p is 2 / 2**n paired, 2 / C(n1 + n2, n1) unpaired."""
        n1, n2 = self.counts
        outcomes = 2 ** n1 if self.paired else math.comb(n1 + n2, n1)
        return 2 / outcomes < 1 - CONFIDENCE

    def shown(self):
        """Beyond the noise: the test rejects equality and the interval leaves out 0."""
        return self.p < 1 - CONFIDENCE and (self.low > 0 or self.high < 0)


def _median_difference(subject, reference, axis):
    return numpy.median(subject, axis=axis) - numpy.median(reference, axis=axis)


def _interval(samples, statistic):
    """The bootstrap confidence interval; the same data give the same interval."""
    if all(len(set(sample)) == 1 for sample in samples):
        value = float(statistic(*[numpy.array(s) for s in samples], axis=-1))
        return value, value  # nothing to resample
    interval = scipy.stats.bootstrap(samples, statistic, vectorized=True, confidence_level=CONFIDENCE,
                                     method="percentile", random_state=numpy.random.default_rng(0)
                                     ).confidence_interval
    return float(interval.low), float(interval.high)


def _percent(amount, reference):
    base = statistics.median(reference)
    return 100 * amount / base if base else None


def difference(subject, reference):
    """Independent samples: difference of the medians, Mann-Whitney U."""
    amount = statistics.median(subject) - statistics.median(reference)
    low, high = _interval((subject, reference), _median_difference)
    p = scipy.stats.mannwhitneyu(subject, reference, alternative="two-sided").pvalue
    return Difference(amount, _percent(amount, reference), low, high, float(p), (len(subject), len(reference)))


def paired_difference(subject, reference):
    """Two values from each run: the median of the per-run differences, a
    bootstrap over runs, the Wilcoxon signed-rank test."""
    differences = [s - r for s, r in zip(subject, reference)]
    amount = statistics.median(differences)
    low, high = _interval((differences,), numpy.median)
    if any(differences):
        with warnings.catch_warnings():
            # Runs whose two values are equal drop out, and scipy says so.
            warnings.simplefilter("ignore", UserWarning)
            p = float(scipy.stats.wilcoxon(differences, alternative="two-sided").pvalue)
    else:
        p = 1.0  # every run gave both the same value
    return Difference(amount, _percent(amount, reference), low, high, p, (len(subject), len(reference)), True)


def runs(count):
    """"1 run", "15 runs"."""
    return f"{count} run{'' if count == 1 else 's'}"


def _number(value):
    return f"{round(value, 2) + 0.0:g}"  # + 0.0: no "-0"


def sentence(subject, reference, d, unit="ticks"):
    """The difference in words, e.g. "and costs 6 ticks (16%) more than mov per pass: ..."."""
    words = UNITS[unit]
    if d.paired:
        counts = f"{runs(d.counts[0])}, paired"
    elif d.counts[0] == d.counts[1]:
        counts = f"{runs(d.counts[0])} each"
    else:
        counts = f"{d.counts[0]} and {d.counts[1]} runs"
    if not d.possible():
        needed = "at least 6 paired runs" if d.paired else "more runs"
        return (f"{subject} vs {reference}: too few runs for a verdict at {CONFIDENCE:.0%} ({counts}; "
                f"{needed} needed)")
    p = "p < 0.001" if d.p < 0.001 else f"p = {d.p:.2g}"
    if not d.shown():
        return (f"{subject} vs {reference}: no difference shown at {CONFIDENCE:.0%} ({_number(d.amount)} {words}, "
                f"{CONFIDENCE:.0%} CI {_number(d.low)} to {_number(d.high)}, {p}, {counts})")
    sign = 1 if d.amount > 0 else -1
    low, high = sorted((sign * d.low, sign * d.high))
    percent = f" ({abs(d.percent):.0f}%)" if d.percent is not None else ""
    return (f"{subject} costs {_number(abs(d.amount))} {words}{percent} {'more' if sign > 0 else 'less'} than "
            f"{reference} per pass: {CONFIDENCE:.0%} CI {_number(low)} to {_number(high)}, {p}, {counts}")


def and_against_mov(series, unit="ticks"):
    return paired_difference(body_values(series, "and", unit), body_values(series, "mov", unit))


def verdicts(series, unit="ticks"):
    """and against mov, and the first run of each body against its second;
    all within runs, so paired."""
    lines = [sentence("and", "mov", and_against_mov(series, unit), unit)]
    for body, (first, second) in BODIES.items():
        d = paired_difference(figure_values(series, first, unit), figure_values(series, second, unit))
        lines.append(sentence(f"the first {body}", "the second", d, unit))
    return lines


def against(series, baseline, where, where_baseline, unit="ticks"):
    """Each body of series against the same body of baseline, e.g. "mov on cpu 1
    costs ... than on cpu 0", with the differences found."""
    lines, found = [], []
    for body in BODIES:
        d = difference(body_values(series, body, unit), body_values(baseline, body, unit))
        lines.append(sentence(f"{body} {where}", where_baseline, d, unit))
        found.append(d)
    return lines, found


@dataclasses.dataclass
class Clock:
    ratio: float  # median core cycles per tick
    tick_hz: float  # median counter frequency
    spread: float  # of every reading over the series, relative to the median ratio
    moved: list  # (run number from 1, ratio before, ratio after) where the clock moved during the run

    @property
    def core_hz(self):
        return self.ratio * self.tick_hz


def clock(series):
    """The core clock over a series, from the readings before and after each
    run; None where there are none."""
    readings = [run for run in series.runs if run.ratios]
    if not readings:
        return None
    ratios = [r for run in readings for r in run.ratios]
    ratio = statistics.median(ratios)
    moved = [(n, run.ratios[0], run.ratios[-1]) for n, run in enumerate(series.runs, 1)
             if run.ratios and abs(run.ratios[-1] - run.ratios[0]) > CLOCK_MOVED * run.ratios[0]]
    return Clock(ratio, statistics.median(run.tick_hz for run in readings), (max(ratios) - min(ratios)) / ratio,
                 moved)


def clock_lines(series):
    """The core clock in words: its speed, each run during which it moved,
    and whether it held steady over the series."""
    c = clock(series)
    if c is None:
        return ["no clock readings: figures in ticks only"]
    lines = [f"core clock {c.core_hz / 1e9:.3f} GHz, counter {c.tick_hz / 1e9:.3f} GHz: "
             f"{c.ratio:.3f} core cycles per tick"]
    lines += [f"the core clock moved during run {n} ({before:.3f} to {after:.3f} core cycles per tick)"
              for n, before, after in c.moved]
    if c.spread <= CLOCK_MOVED and not c.moved:
        lines.append(f"the clock held steady over the series: every reading within {100 * c.spread:.1f}%")
    else:
        lines.append(f"the clock did not hold steady over the series: readings {100 * c.spread:.1f}% apart")
    return lines
