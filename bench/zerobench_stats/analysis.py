"""A series' analysis computed once, as data: its clock, its figures and
medians, its verdicts, what its figures say about the processor, and its
notes (figures outside the fences, clusters, drift); and several series
side by side (the CPUs of one program, the programs of one run, the records
compare reads). The renderers print these; nothing here prints."""
import dataclasses
import statistics
from typing import Optional

from . import stats
from .records import BODIES, LABELS, Row, Series


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
    verdicts: Optional[stats.Verdicts]  # None without scipy
    bodies: dict  # unit: {body: median over the runs of a run's mean of its two figures}; cycles where it has them
    notes: Notes

    @property
    def per_pass(self):
        """{body: median core cycles a pass}; empty for a series in ticks only."""
        return self.bodies.get("cycles", {})


def notes(series, unit, siblings=None):
    """siblings: {cpu as text or number: [cpus]}, the kernel's, where known."""
    sharing = (siblings or {}).get(series.cpu, (siblings or {}).get(str(series.cpu), []))
    return Notes(stats.outliers(series), len(LABELS) * len(series.runs), stats.clusters(series, unit),
                 stats.drift(series, unit), stats.disturbed(series), stats.stolen(series),
                 [cpu for cpu in sharing if cpu != series.cpu])


def series_analysis(name, series, unit, siblings=None):
    """One series in the unit asked (ticks where it is in ticks only);
    siblings, the kernel's lists where known (see notes)."""
    unit = stats.unit_for([series], unit)
    units = ["ticks", "cycles"] if stats.in_cycles(series) else ["ticks"]
    bodies = {u: {body: statistics.median(stats.body_values(series, body, u)) for body in BODIES} for u in units}
    return SeriesAnalysis(name, series, stats.clock(series), unit, stats.figures(series),
                          stats.medians(series, units[-1]), stats.verdicts(series, unit) if stats.available() else None,
                          bodies, notes(series, unit, siblings))


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
    rows: list  # records.Row
    analyses: list  # SeriesAnalysis of each row
    against: Optional[stats.AgainstFirst]
    unit: str  # asked


def comparison(rows, unit):
    series = [row.series for row in rows]
    against = stats.against_first(series, unit) if stats.available() and len(series) > 1 else None
    return Comparison(rows, [series_analysis(row.name, row.series, unit, (row.host or {}).get("siblings"))
                             for row in rows], against, unit)


def rows_of(records_read):
    """Every series of the records.Record read, numbered from 1 (records.Row)."""
    rows = []
    for machine, series, found in records_read:
        rows += [Row(len(rows) + i + 1, machine, s, found) for i, s in enumerate(series)]
    return rows
