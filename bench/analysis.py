"""The stability benchmark's records and their analysis: every run kept as
read, saved to and loaded from JSON, and compared two samples at a time
(difference of the medians, its bootstrap confidence interval, the
Mann-Whitney U p-value) in one plain sentence.

The statistics need scipy; the records do not.
"""
import dataclasses
import json
import statistics
from typing import Optional

try:
    import numpy
    import scipy.stats
except ImportError:
    scipy = None

LABELS = ["1 mov", "2 and", "3 mov", "4 and"]
BODIES = {"mov": (0, 2), "and": (1, 3)}  # each body's figures in a report
CONFIDENCE = 0.95


@dataclasses.dataclass
class Run:
    figures: list  # the four figures, in the report's order
    seconds: float  # from start to the closing line


@dataclasses.dataclass
class Series:
    preset: str
    cpu: Optional[int]  # the CPU every run was pinned to
    banner: str  # the report's first line
    runs: list


def save(path, machine, series):
    record = {"machine": machine, "series": [dataclasses.asdict(s) for s in series]}
    with open(path, "w") as file:
        json.dump(record, file, indent=1)


def load(path):
    """The machine and the series that save() wrote."""
    with open(path) as file:
        record = json.load(file)
    series = [Series(**{**s, "runs": [Run(**r) for r in s["runs"]]}) for s in record["series"]]
    return record["machine"], series


def missing():
    """What to install for the statistics, or None when they can run."""
    if scipy is None:
        return "scipy is missing (apt-get install python3-scipy; run under /usr/bin/python3)"
    return None


def figure_values(series, index):
    return [run.figures[index] for run in series.runs]


def body_values(series, body):
    """One value per run: the mean of the body's two figures. The two figures
    of one run are not independent of each other, so they are not pooled."""
    first, second = BODIES[body]
    return [(run.figures[first] + run.figures[second]) / 2 for run in series.runs]


@dataclasses.dataclass
class Difference:
    ticks: float  # median of the subject less median of the reference
    percent: Optional[float]  # of the reference's median
    low: float  # the confidence interval of ticks
    high: float
    p: float  # Mann-Whitney U, two-sided
    counts: tuple  # values in the subject, in the reference

    def shown(self):
        """Beyond the noise: the test rejects equality and the interval leaves out 0."""
        return self.p < 1 - CONFIDENCE and (self.low > 0 or self.high < 0)


def _median_difference(subject, reference, axis):
    return numpy.median(subject, axis=axis) - numpy.median(reference, axis=axis)


def difference(subject, reference):
    base = statistics.median(reference)
    ticks = statistics.median(subject) - base
    interval = scipy.stats.bootstrap(
        (subject, reference), _median_difference, vectorized=True, confidence_level=CONFIDENCE,
        method="percentile", random_state=numpy.random.default_rng(0)  # same data, same interval
    ).confidence_interval
    p = scipy.stats.mannwhitneyu(subject, reference, alternative="two-sided").pvalue
    return Difference(ticks, 100 * ticks / base if base else None, float(interval.low),
                      float(interval.high), float(p), (len(subject), len(reference)))


def _number(value):
    return f"{round(value, 2) + 0.0:g}"  # + 0.0: no "-0"


def sentence(subject, reference, d):
    """The difference in words, e.g. "and costs 6 ticks (16%) more than mov per pass: ..."."""
    counts = f"{d.counts[0]} runs each" if d.counts[0] == d.counts[1] else f"{d.counts[0]} and {d.counts[1]} runs"
    p = "p < 0.001" if d.p < 0.001 else f"p = {d.p:.2g}"
    if not d.shown():
        return (f"{subject} vs {reference}: no difference shown at {CONFIDENCE:.0%} ({_number(d.ticks)} ticks, "
                f"{CONFIDENCE:.0%} CI {_number(d.low)} to {_number(d.high)}, {p}, {counts})")
    sign = 1 if d.ticks > 0 else -1
    low, high = sorted((sign * d.low, sign * d.high))
    percent = f" ({abs(d.percent):.0f}%)" if d.percent is not None else ""
    return (f"{subject} costs {_number(abs(d.ticks))} ticks{percent} {'more' if sign > 0 else 'less'} than "
            f"{reference} per pass: {CONFIDENCE:.0%} CI {_number(low)} to {_number(high)}, {p}, {counts}")


def verdicts(series):
    """and against mov, and the first run of each body against its second."""
    lines = [sentence("and", "mov", difference(body_values(series, "and"), body_values(series, "mov")))]
    for body, (first, second) in BODIES.items():
        d = difference(figure_values(series, first), figure_values(series, second))
        lines.append(sentence(f"the first {body}", "the second", d))
    return lines


def against(series, baseline, where, where_baseline):
    """Each body of series against the same body of baseline, e.g. "mov on cpu 1
    costs ... than on cpu 0"; and whether any of them is beyond the noise."""
    lines, differs = [], False
    for body in BODIES:
        d = difference(body_values(series, body), body_values(baseline, body))
        lines.append(sentence(f"{body} {where}", where_baseline, d))
        differs = differs or d.shown()
    return lines, differs
