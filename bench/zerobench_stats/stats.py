"""zerobench-stats' statistics, as data: figures in ticks or in core cycles,
spreads and medians, the core clock over a series, and two samples compared.

Two values of one run (and against mov, the first figure of a body against
the second) are compared through the run's own difference: the Wilcoxon
signed-rank test and a bootstrap of the median difference that resamples
runs. Series run in the same rounds (CPUs or builds of one invocation) are
paired by round the same way, resampling rounds. Values of separate records
are independent samples: the Mann-Whitney U test and a bootstrap of the
difference of the medians.

The comparisons need scipy; the rest does not.
"""
import dataclasses
import math
import statistics
import warnings
from typing import Optional

from .records import BODIES

try:
    import numpy
    import scipy.stats
except ImportError:
    scipy = None

CONFIDENCE = 0.95
CLOCK_MOVED = 0.02  # a run's two clock readings further apart than this


def available():
    """Whether the comparisons can run (scipy is installed)."""
    return scipy is not None


def readings_without_cycles(series):
    """Of the series' clock readings (two a run), how many give no core cycles."""
    return sum(run.readings_without_cycles() for run in series.runs)


def in_cycles(series):
    """Whether the series is given in core cycles: unless half or more of its
    clock readings give none. A refused reading costs its own run's core
    cycles only; a core that shortens one of the probe's chains refuses
    every reading, and its series is in ticks."""
    return 2 * readings_without_cycles(series) < 2 * len(series.runs)


def unit_for(series_list, unit):
    """The unit asked for, or ticks where a series is not in core cycles."""
    return unit if unit == "ticks" or all(in_cycles(s) for s in series_list) else "ticks"


def runs_in(series, unit):
    """The series' runs that have figures in unit: in core cycles, those with both clock readings."""
    return series.runs if unit == "ticks" else [run for run in series.runs if run.ratios]


def in_unit(series, unit):
    """The series cut to its runs with figures in unit."""
    return series if unit == "ticks" else dataclasses.replace(series, runs=runs_in(series, unit))


def _in_unit(run, ticks, unit):
    return ticks * run.ratio() if unit == "cycles" else ticks


def figure_values(series, index, unit="ticks"):
    """One value per run (in core cycles, per run that has them)."""
    return [_in_unit(run, run.figures[index], unit) for run in runs_in(series, unit)]


def body_values(series, body, unit="ticks"):
    """One value per run: the mean of the body's two figures. The two figures
    of one run are not independent of each other, so they are not pooled."""
    first, second = BODIES[body]
    return [_in_unit(run, (run.figures[first] + run.figures[second]) / 2, unit) for run in runs_in(series, unit)]


@dataclasses.dataclass
class Spread:
    median: float
    low: float
    high: float

    @property
    def spread(self):
        return self.high - self.low

    @property
    def percent(self):
        """The spread in percent of the median; None where the median is 0."""
        return 100 * self.spread / self.median if self.median else None


def spread(values):
    return Spread(statistics.median(values), min(values), max(values))


@dataclasses.dataclass
class Figures:
    """A series' figures: the spread of each, in ticks and (where the series
    is in core cycles, over the runs that have them) in core cycles, and of
    the seconds to the closing line."""
    ticks: list
    cycles: Optional[list]
    seconds: Spread


def figures(series):
    cycles = in_cycles(series)
    labels = range(len(series.labels))
    return Figures([spread(figure_values(series, i)) for i in labels],
                   [spread(figure_values(series, i, "cycles")) for i in labels] if cycles else None,
                   spread([run.seconds for run in series.runs]))


@dataclasses.dataclass
class Medians:
    """A series' median figures by unit shown, and its median seconds to the closing line."""
    figures: dict  # unit: [median of each figure]
    seconds: float


def medians(series, unit):
    """The medians in ticks, and in core cycles where the unit is cycles."""
    shown = ["ticks", "cycles"] if unit == "cycles" else ["ticks"]
    return Medians({u: [statistics.median(figure_values(series, i, u)) for i in range(len(series.labels))] for u in shown},
                   statistics.median(run.seconds for run in series.runs))


@dataclasses.dataclass
class Difference:
    amount: float  # subject less reference: the median difference (paired) or the difference of the medians
    percent: Optional[float]  # of the reference's median
    low: float  # the confidence interval of amount
    high: float
    p: float  # two-sided: Wilcoxon signed-rank (paired) or Mann-Whitney U
    counts: tuple  # values in the subject, in the reference
    paired: bool = False
    pairs: str = "runs"  # what the paired values share: a run, or a round of runs
    interval: str = "bootstrap"  # how low and high were found: BOOTSTRAP or ORDER_STATISTICS

    def possible(self):
        """Whether the test could reach p < 0.05 at all with so few runs: its
        smallest two-sided p is 2 / 2**n paired, 2 / C(n1 + n2, n1) unpaired."""
        n1, n2 = self.counts
        if not (n1 and n2):
            return False
        # In logarithms: the counts of outcomes of 200,000 runs have thousands of digits.
        outcomes = n1 * math.log(2) if self.paired else \
            math.lgamma(n1 + n2 + 1) - math.lgamma(n1 + 1) - math.lgamma(n2 + 1)
        return math.log(2) - outcomes < math.log(1 - CONFIDENCE)

    def shown(self):
        """Beyond the noise: the test rejects equality and the interval leaves out 0."""
        return self.p < 1 - CONFIDENCE and (self.low > 0 or self.high < 0)


def _median_difference(subject, reference, axis):
    return numpy.median(subject, axis=axis) - numpy.median(reference, axis=axis)


# From this many values in a sample on, intervals come from order statistics
# instead of the bootstrap, whose resamples would take seconds and gigabytes
# (a record of 8 MiB holds 200,000 runs); below it, from 9,999 resamples.
LARGE = 2000
BOOTSTRAP = "bootstrap"
ORDER_STATISTICS = "order statistics"
RESAMPLED_VALUES = 5_000_000  # values resampled at a time: about 40 MB


def _interval(samples, statistic):
    """The bootstrap confidence interval; the same data give the same interval."""
    if all(len(set(sample)) == 1 for sample in samples) or min(map(len, samples)) < 2:
        # Nothing to resample; a single run allows no verdict anyway (see Difference.possible).
        value = float(statistic(*[numpy.array(s) for s in samples], axis=-1))
        return value, value
    batch = max(1, RESAMPLED_VALUES // sum(map(len, samples)))
    interval = scipy.stats.bootstrap(samples, statistic, vectorized=True, confidence_level=CONFIDENCE,
                                     method="percentile", batch=batch, random_state=numpy.random.default_rng(0)
                                     ).confidence_interval
    return float(interval.low), float(interval.high)


def median_interval(values):
    """The distribution-free interval of a median from order statistics: the
    k-th value from each end, k the largest with P(B < k) <= (1 - CONFIDENCE)
    / 2 for B binomial(n, 1/2)."""
    ordered = numpy.sort(numpy.asarray(values, dtype=float))
    n = len(ordered)
    k = max(1, int(scipy.stats.binom.ppf((1 - CONFIDENCE) / 2, n, 0.5)))
    return float(ordered[k - 1]), float(ordered[n - k])


def median_difference_interval(subject, reference):
    """Price and Bonett's interval of a difference of medians: each median's
    standard error from its order-statistics interval, combined as for
    independent samples."""
    z = scipy.stats.norm.ppf(1 - (1 - CONFIDENCE) / 2)
    errors = [(high - low) / (2 * z) for low, high in map(median_interval, (subject, reference))]
    amount = float(numpy.median(subject) - numpy.median(reference))
    half = z * math.hypot(*errors)
    return amount - half, amount + half


def _percent(amount, reference):
    base = statistics.median(reference)
    return 100 * amount / base if base else None


def difference(subject, reference):
    """Independent samples: difference of the medians, Mann-Whitney U."""
    amount = statistics.median(subject) - statistics.median(reference)
    large = max(len(subject), len(reference)) >= LARGE
    low, high = median_difference_interval(subject, reference) if large else \
        _interval((subject, reference), _median_difference)
    p = scipy.stats.mannwhitneyu(subject, reference, alternative="two-sided").pvalue
    return Difference(amount, _percent(amount, reference), low, high, float(p), (len(subject), len(reference)),
                      interval=ORDER_STATISTICS if large else BOOTSTRAP)


def paired_difference(subject, reference):
    """Two values from each run: the median of the per-run differences, a
    bootstrap over runs (order statistics from LARGE runs on), the Wilcoxon
    signed-rank test."""
    differences = [s - r for s, r in zip(subject, reference)]
    amount = statistics.median(differences)
    large = len(differences) >= LARGE
    low, high = median_interval(differences) if large else _interval((differences,), numpy.median)
    if any(differences):
        with warnings.catch_warnings():
            # Runs whose two values are equal drop out, and scipy says so.
            warnings.simplefilter("ignore", UserWarning)
            p = float(scipy.stats.wilcoxon(differences, alternative="two-sided").pvalue)
    else:
        p = 1.0  # every run gave both the same value
    return Difference(amount, _percent(amount, reference), low, high, p, (len(subject), len(reference)), True,
                      interval=ORDER_STATISTICS if large else BOOTSTRAP)


def and_against_mov(series, unit="ticks"):
    return paired_difference(body_values(series, "and", unit), body_values(series, "mov", unit))


@dataclasses.dataclass
class Verdicts:
    """Within the runs of one series, so paired."""
    and_against_mov: Difference
    first_against_second: dict  # body: the first figure of the body against its second


def verdicts(series, unit="ticks"):
    return Verdicts(and_against_mov(series, unit),
                    {body: paired_difference(figure_values(series, first, unit), figure_values(series, second, unit))
                     for body, (first, second) in BODIES.items()})


def against(series, baseline, unit="ticks"):
    """Each body of series against the same body of baseline: {body: Difference}."""
    return {body: difference(body_values(series, body, unit), body_values(baseline, body, unit)) for body in BODIES}


@dataclasses.dataclass
class AgainstFirst:
    found: list  # for each series after the first, its bodies against the first's: {body: Difference}
    units: list  # the unit of each: the one asked, or ticks where either series is in ticks only

    def differing(self):
        """The positions (from 1, after the first) of the series that differ beyond the noise."""
        return [n for n, found in enumerate(self.found, 1) if any(d.shown() for d in found.values())]

    def undecided(self):
        """Whether some comparison had too few runs to reach a verdict."""
        return not all(d.possible() for found in self.found for d in found.values())


def against_first(series_list, unit="ticks", by_round=False):
    """Each series after the first against the first: as independent
    samples, or run against run of the same round; each pair in the unit
    asked where both series have it."""
    compared = against_by_round if by_round else against
    first = series_list[0]
    units = [unit_for([first, other], unit) for other in series_list[1:]]
    return AgainstFirst([compared(other, first, u) for other, u in zip(series_list[1:], units)], units)


def same_rounds(series, baseline):
    """The two series cut to the rounds in which both have a run, in round order."""
    theirs = {run.round: run for run in baseline.runs if run.round is not None}
    ours = [run for run in series.runs if run.round in theirs]
    return (dataclasses.replace(series, runs=ours),
            dataclasses.replace(baseline, runs=[theirs[run.round] for run in ours]))


def against_by_round(series, baseline, unit="ticks"):
    """Each body of series against the same body of baseline, run against run
    of the same round: {body: Difference}. Runs of one round ran moments
    apart, so whatever the host did then touched both."""
    series, baseline = same_rounds(in_unit(series, unit), in_unit(baseline, unit))
    if not series.runs:
        return {body: Difference(0, None, 0, 0, 1.0, (0, 0), True, "rounds") for body in BODIES}
    return {body: dataclasses.replace(paired_difference(body_values(series, body, unit),
                                                        body_values(baseline, body, unit)), pairs="rounds")
            for body in BODIES}


@dataclasses.dataclass
class Clock:
    """The core clock over a series, and the runs that have none."""
    ratio: Optional[float]  # median core cycles per tick; None where no run has a reading
    tick_hz: Optional[float]  # median counter frequency
    spread: float  # of every reading over the series, relative to the median ratio
    moved: list  # (run number from 1, ratio before, ratio after) where the clock moved during the run
    without: list  # (run number from 1, [records.Refusal]) of each run without core cycles
    readings: int  # clock readings taken or due, two a run
    refused: int  # of those, the ones without core cycles
    cpu: Optional[int] = None

    @property
    def core_hz(self):
        return self.ratio * self.tick_hz if self.ratio else None

    @property
    def in_cycles(self):
        """As in_cycles(series)."""
        return 2 * self.refused < self.readings

    @property
    def steady(self):
        """Whether the clock held over the series: no run moved it, every reading close."""
        return self.spread <= CLOCK_MOVED and not self.moved

    def refusals(self):
        """Every refused reading that the series keeps, in run order."""
        return [refusal for _, found in self.without for refusal in found]


def clock(series):
    """The core clock over a series, from the readings before and after each
    run that has both, and the runs without."""
    readings = [run for run in series.runs if run.ratios]
    without = [(n, run.refused or []) for n, run in enumerate(series.runs, 1) if not run.ratios]
    refused = readings_without_cycles(series)
    if not readings:
        return Clock(None, None, 0, [], without, 2 * len(series.runs), refused, series.cpu)
    ratios = [r for run in readings for r in run.ratios]
    ratio = statistics.median(ratios)
    moved = [(n, run.ratios[0], run.ratios[-1]) for n, run in enumerate(series.runs, 1)
             if run.ratios and abs(run.ratios[-1] - run.ratios[0]) > CLOCK_MOVED * run.ratios[0]]
    return Clock(ratio, statistics.median(run.tick_hz for run in readings), (max(ratios) - min(ratios)) / ratio,
                 moved, without, 2 * len(series.runs), refused, series.cpu)


# The least spread taken, as a share of the median. On a quiet machine most
# runs read exactly the same figure: a spread of zero would make every figure
# a tick away an outlier, and two groups of runs a tick apart clusters.
LEAST_SPREAD = 0.03  # of the interquartile range; a standard deviation is this / 1.349, as in a normal
INNER_FENCE, OUTER_FENCE = 1.5, 3  # Tukey's: IQRs beyond the quartiles


@dataclasses.dataclass
class Outlier:
    """One figure beyond Tukey's inner fence of its column."""
    run: int  # from 1
    label: str  # the figure's, e.g. "1 mov"
    figure: float  # in ticks, as the program printed it
    far: bool  # beyond the outer fence as well
    distance: float = 0  # from the column's median, in its (floored) interquartile ranges


def outliers(series):
    """Each figure beyond the fences of its column (the runs' "1 mov" figures,
    and so on), in ticks; by run, then by figure. Tukey's fences, with the IQR
    floored at LEAST_SPREAD of the column's median. Figures are named only:
    the medians and the tests keep them, and are robust to them."""
    found = []
    for index, label in enumerate(series.labels):
        column = figure_values(series, index)
        if len(column) < 4:
            continue  # no quartiles to speak of
        low, _, high = statistics.quantiles(column, n=4, method="inclusive")
        width = max(high - low, LEAST_SPREAD * abs(statistics.median(column)))
        middle = statistics.median(column)
        found += [Outlier(run, label, figure, figure < low - OUTER_FENCE * width or figure > high + OUTER_FENCE * width,
                          abs(figure - middle) / width)
                  for run, figure in enumerate(column, 1)
                  if figure < low - INNER_FENCE * width or figure > high + INNER_FENCE * width]
    return sorted(found, key=lambda o: (o.run, series.labels.index(o.label)))


# Two groups of runs are clusters when Ashman's D between them reaches this.
# D > 2 separates the two parts of a known two-normal mixture; here the split
# is chosen to make D large, so the bar is higher: with 15 runs from one
# normal distribution D reaches 6 about once in a thousand series, while 9
# runs near 64 and 6 near 100 (standard deviation 4) reach about 9.
CLUSTER_D = 6
CLUSTER_SHARE, CLUSTER_LEAST = 0.2, 3  # the least share and number of runs in a cluster


@dataclasses.dataclass
class Clusters:
    """A series' runs in groups apart from each other, by centre."""
    counts: list  # runs in each
    centres: list  # each group's median
    unit: str
    median_in: Optional[int]  # the group that holds the series' median; None where it lies between


def run_values(series, unit="ticks"):
    """One value per run for its place among the runs: the mean of its four figures."""
    return [_in_unit(run, statistics.fmean(run.figures), unit) for run in runs_in(series, unit)]


def _best_split(values, least):
    """The index that splits the sorted values into two groups of at least
    `least` each with the least sum of squares within them; from running
    sums, so in one pass (values are centred first, for the precision)."""
    centre = statistics.fmean(values)
    centred = [v - centre for v in values]
    sums, squares = [0.0], [0.0]
    for v in centred:
        sums.append(sums[-1] + v)
        squares.append(squares[-1] + v * v)
    n, total, total_squares = len(values), sums[-1], squares[-1]

    def within(i):
        left = squares[i] - sums[i] ** 2 / i
        right = (total_squares - squares[i]) - (total - sums[i]) ** 2 / (n - i)
        return left + right
    return min(range(least, n - least + 1), key=within)


def _spread_within(group, least):
    return max(statistics.stdev(group), least)


def _ashman_d(first, second, least):
    """Ashman's D: the two means apart, in their pooled standard deviation."""
    apart = statistics.fmean(second) - statistics.fmean(first)
    pooled = math.sqrt(_spread_within(first, least) ** 2 + _spread_within(second, least) ** 2)
    return math.sqrt(2) * apart / pooled if pooled else math.inf if apart else 0


def clusters(series, unit="ticks"):
    """The runs in two clusters, or None. The split is the one that leaves
    the least sum of squares within its two groups (Jenks' natural breaks, or
    k-means, for two groups), each group with at least CLUSTER_SHARE of the
    runs and CLUSTER_LEAST; they are clusters when Ashman's D reaches
    CLUSTER_D. The value of a run is the mean of its four figures (run_values),
    so one disturbed figure moves it by a quarter of its jump."""
    values = sorted(run_values(series, unit))
    least = max(CLUSTER_LEAST, math.ceil(CLUSTER_SHARE * len(values)))
    if len(values) < 2 * least:
        return None
    scale = LEAST_SPREAD / 1.349 * abs(statistics.median(values))
    i = _best_split(values, least)
    first, second = values[:i], values[i:]
    if _ashman_d(first, second, scale) < CLUSTER_D:
        return None
    median = statistics.median(values)
    holder = 0 if median <= first[-1] else 1 if median >= second[0] else None
    return Clusters([len(first), len(second)], [statistics.median(first), statistics.median(second)], unit, holder)


# A series' level moved over time when its runs split into an earlier and a
# later part whose medians are this far apart (a share of the earlier), and
# the Mann-Whitney test between the parts gives p below DRIFT_P: the best of
# all splits is tested, so the bar is stricter than the verdicts' 0.05.
DRIFT_SHARE, DRIFT_P = 0.1, 0.001
DRIFT_LEAST = 4  # runs in either part at least, and a fifth of them


@dataclasses.dataclass
class Drift:
    """A series whose level moved, in the runs' order: a step, or a trend
    steady enough that its first and last fifths differ as much."""
    before: tuple  # (first round, last round, median) of the earlier part
    after: tuple  # the same of the later part
    steady: bool  # a trend over the whole series rather than a step
    unit: str

    @property
    def share(self):
        """How far the level moved, as a share of the earlier part's median."""
        return (self.after[2] - self.before[2]) / self.before[2]


def _rounds(series):
    """Each run's round, or its place in the series where a record kept no rounds."""
    return [run.round if run.round is not None else n for n, run in enumerate(series.runs, 1)]


def _part(rounds, values):
    return rounds[0], rounds[-1], float(numpy.median(values))


DRIFT_SPLITS = 100  # places tried for the step, spread evenly over a long series


def drift(series, unit="ticks"):
    """Whether the runs' level (their mean of four figures) moved over the
    series, by a step or by a trend; None where it did not, or where scipy
    is missing. The paired verdicts compare values of one run, so a drift
    leaves them standing."""
    series = in_unit(series, unit)
    values, rounds = numpy.array(run_values(series, unit)) if available() else None, _rounds(series)
    n = len(rounds)
    least = max(DRIFT_LEAST, n // 5)
    if values is None or n < 2 * least:
        return None

    def apart(i):
        before = numpy.median(values[:i])
        return abs(numpy.median(values[i:]) - before) / abs(before) if before else 0
    split = max(range(least, n - least + 1, max(1, (n - 2 * least) // DRIFT_SPLITS)), key=apart)
    if apart(split) < DRIFT_SHARE:
        return None
    if scipy.stats.mannwhitneyu(values[:split], values[split:], alternative="two-sided").pvalue >= DRIFT_P:
        return None
    # A steady trend when a straight line fits the runs better than the step does.
    step = numpy.abs(values[:split] - numpy.median(values[:split])).sum() + \
        numpy.abs(values[split:] - numpy.median(values[split:])).sum()
    slope, intercept = numpy.polyfit(numpy.arange(n), values, 1)
    line = numpy.abs(values - (slope * numpy.arange(n) + intercept)).sum()
    if line < step:  # the first and the last fifth then show how far it went
        return Drift(_part(rounds[:least], values[:least]), _part(rounds[-least:], values[-least:]), True, unit)
    return Drift(_part(rounds[:split], values[:split]), _part(rounds[split:], values[split:]), False, unit)


# Another CPU busy for more than this share of a run is named beside it,
# as is a run that lost more than STOLEN of its time to the hypervisor.
BUSY, STOLEN = 0.5, 0.05


@dataclasses.dataclass
class Disturbed:
    """The runs of a series during which another CPU was busy."""
    cpu: int  # the other CPU
    runs: list  # their numbers, from 1
    most: float  # the largest share of a run it was busy
    values: list  # those runs' means of their four figures, in ticks
    others: list  # the other runs' means

    def highest(self):
        """Whether those runs' figures are the highest of the series."""
        return bool(self.others) and min(self.values) > max(self.others)


def disturbed(series):
    """For each other CPU that was busy during some of the series' runs
    (more than BUSY of the run), those runs and how their figures stand."""
    values, found = run_values(series), {}
    for n, run in enumerate(series.runs, 1):
        for cpu, share in (run.busy or {}).items():
            if share > BUSY:
                found.setdefault(int(cpu), []).append((n, share))
    return [Disturbed(cpu, [n for n, _ in busy], max(share for _, share in busy), [values[n - 1] for n, _ in busy],
                      [v for n, v in enumerate(values, 1) if n not in {m for m, _ in busy}])
            for cpu, busy in sorted(found.items())]


def stolen(series):
    """The numbers (from 1) of the runs that lost more than STOLEN of their CPU to the hypervisor."""
    return [n for n, run in enumerate(series.runs, 1) if run.steal is not None and run.steal > STOLEN]


# zerobench-idioms: the cheapest idiom at each size against the next. The
# pair is chosen from the first third of the runs (at least CHOSEN_FROM) and
# tested on the rest: choosing it from the runs it is tested on would favour
# a difference.
CHOSEN_FROM = 3


def idiom_index(series, idiom, size):
    """The place of an idiom's figure at a size among a zerobench-idioms run's figures."""
    layout = series.layout
    return layout["idioms"].index(idiom) * len(layout["sizes"]) + layout["sizes"].index(size)


def idiom_values(series, idiom, size, unit="ticks"):
    return figure_values(series, idiom_index(series, idiom, size), unit)


@dataclasses.dataclass
class Cheapest:
    """At one size: the two cheapest idioms of the first runs, and the
    second against the first over the later runs."""
    size: int
    cheapest: str
    next: str
    chosen_from: tuple  # (first, last) round, or run where a record kept no rounds, the pair was chosen from
    difference: Optional[Difference]  # next less cheapest, paired by run; None without scipy or later runs


def cheapest_pairs(series, unit="ticks"):
    """A Cheapest for each size of a zerobench-idioms series (in unit, over
    the runs that have it)."""
    series = in_unit(series, unit)
    idioms = series.layout["idioms"]
    if len(idioms) < 2 or not series.runs:
        return []
    first = max(CHOSEN_FROM, len(series.runs) // 3)
    early, later = dataclasses.replace(series, runs=series.runs[:first]), \
        dataclasses.replace(series, runs=series.runs[first:])
    rounds = _rounds(early)
    found = []
    for size in series.layout["sizes"]:
        ranked = sorted(idioms, key=lambda idiom: statistics.median(idiom_values(early, idiom, size, unit)))
        cheapest, runner_up = ranked[:2]
        difference = paired_difference(idiom_values(later, runner_up, size, unit),
                                       idiom_values(later, cheapest, size, unit)) \
            if available() and later.runs else None
        found.append(Cheapest(size, cheapest, runner_up, (rounds[0], rounds[-1]), difference))
    return found


def figure_width(series, index, unit):
    """Half the width of the 95% interval of one figure's median over the
    series' runs; None with fewer than two."""
    values = figure_values(series, index, unit)
    if len(values) < 2:
        return None
    low, high = median_interval(values) if len(values) >= LARGE else _interval((values,), numpy.median)
    return (high - low) / 2
