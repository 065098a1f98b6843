"""A series' analysis computed once, as data: its clock, its figures and
medians, its verdicts, what its figures say about the processor, and its
notes (figures outside the fences, clusters, drift); and several series
side by side (the CPUs of one program, the programs of one run, the records
compare reads). The renderers print these; nothing here prints."""
import dataclasses
import statistics
from typing import Optional

from . import stats
from .records import BODIES, IDIOMS, Row, Series


@dataclasses.dataclass
class Notes:
    """What a reader should know beside a series' figures."""
    outliers: list  # stats.Outlier, by run
    figures: int  # figures in all, of which outliers lie outside the fences
    clusters: Optional[stats.Clusters]
    drift: Optional[stats.Drift]
    disturbed: list  # stats.Disturbed: the runs during which another CPU was busy
    stolen: list  # the runs that lost time to the hypervisor
    sharing: list  # the CPUs the kernel says share the series' core, where it was recorded


@dataclasses.dataclass
class SeriesAnalysis:
    name: str  # unique in the run, or compare's "#1"
    series: Series
    clock: stats.Clock
    unit: str  # of the verdicts: the unit asked, or ticks for a series in ticks only
    figures: stats.Figures
    medians: stats.Medians  # in ticks, and in core cycles where the series has them
    verdicts: Optional[stats.Verdicts]  # None without scipy, and for zerobench-idioms
    bodies: dict  # unit: {body: median over the runs of a run's mean of its two figures}; cycles where it has them
    notes: Notes
    cheapest: list = dataclasses.field(default_factory=list)  # zerobench-idioms: a stats.Cheapest per size

    @property
    def per_pass(self):
        """{body: median core cycles a pass}; empty for a series in ticks only."""
        return self.bodies.get("cycles", {})


def notes(series, unit, siblings=None):
    """siblings: {cpu as text or number: [cpus]}, the kernel's, where known."""
    sharing = (siblings or {}).get(series.cpu, (siblings or {}).get(str(series.cpu), []))
    return Notes(stats.outliers(series), len(series.labels) * len(series.runs), stats.clusters(series, unit),
                 stats.drift(series, unit), stats.disturbed(series), stats.stolen(series),
                 [cpu for cpu in sharing if cpu != series.cpu])


def series_analysis(name, series, unit, siblings=None):
    """One series in the unit asked (ticks where it is in ticks only);
    siblings, the kernel's lists where known (see notes)."""
    unit = stats.unit_for([series], unit)
    units = ["ticks", "cycles"] if stats.in_cycles(series) else ["ticks"]
    medians = stats.medians(series, units[-1])
    if series.program == IDIOMS:
        return SeriesAnalysis(name, series, stats.clock(series), unit, stats.figures(series), medians, None,
                              {u: {} for u in units}, notes(series, unit, siblings), stats.cheapest_pairs(series, unit))
    bodies = {u: {body: statistics.median(stats.body_values(series, body, u)) for body in BODIES} for u in units}
    return SeriesAnalysis(name, series, stats.clock(series), unit, stats.figures(series), medians,
                          stats.verdicts(series, unit) if stats.available() else None, bodies,
                          notes(series, unit, siblings))


@dataclasses.dataclass
class SideBySide:
    """Series of one run side by side, each against the first, paired by
    round: a program on several CPUs, or several programs on one CPU."""
    analyses: list  # SeriesAnalysis
    unit: str  # of the medians shown and of the comparisons
    against: Optional[stats.AgainstFirst]  # None without scipy, or with one series


def side_by_side(analyses, unit):
    series = [a.series for a in analyses]
    unit = stats.unit_for(series, unit)
    against = stats.against_first(series, unit, True) if stats.available() and len(series) > 1 else None
    return SideBySide(analyses, unit, against)


@dataclasses.dataclass
class Comparison:
    """compare's records side by side, each in core cycles where it has them,
    each against the first: in core cycles where both have them."""
    rows: list  # records.Row of zerobench
    analyses: list  # SeriesAnalysis of each
    against: Optional[stats.AgainstFirst]
    unit: str  # asked
    idioms: list  # SeriesAnalysis of each zerobench-idioms row, each with its own table
    hosts: list  # every row of either kind, for what run found of its host


def comparison(rows, unit):
    def analysed(row):
        return series_analysis(row.name, row.series, unit, (row.host or {}).get("siblings"))
    zerobench = [row for row in rows if row.series.program != IDIOMS]
    series = [row.series for row in zerobench]
    against = stats.against_first(series, unit) if stats.available() and len(series) > 1 else None
    return Comparison(zerobench, [analysed(row) for row in zerobench], against, unit,
                      [analysed(row) for row in rows if row.series.program == IDIOMS], rows)


def rows_of(records_read):
    """Every series of the records.Record read, numbered from 1 (records.Row)."""
    rows = []
    for machine, series, found in records_read:
        rows += [Row(len(rows) + i + 1, machine, s, found) for i, s in enumerate(series)]
    return rows
