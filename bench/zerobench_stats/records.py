"""zerobench-stats' records: every run kept as read, saved to and loaded from
JSON, and the lines they are read from (the program's report, the harness's
closing line, the clock probe's reading). Needs nothing beyond Python."""
import dataclasses
import json
import os
import re
import statistics
import tempfile
from typing import Optional

LABELS = ["1 mov", "2 and", "3 mov", "4 and"]
BODIES = {"mov": (0, 2), "and": (1, 3)}  # each body's figures in a report
UNITS = {"ticks": "ticks", "cycles": "core cycles"}

# A figure's line in the program's report ends with this text and the body.
FIGURE_TEXT = b"\tcycles for 100*"
MARK = FIGURE_TEXT + b"mov"  # a text every zerobench program carries


def figure_line(body=rb"mov|and"):
    """The report's line of one figure of body (a pattern): the figure, then the body."""
    return rb"(-?\d+)" + re.escape(FIGURE_TEXT) + rb"(" + body + rb")\r\n"


LINE = re.compile(figure_line())
CLOSING = re.compile(rb"seconds-to-closing-line: ([0-9.]+)")  # the harness's, on standard error
# The clock probe's reading; older probes leave out the two chains' figures.
PROBE = re.compile(r"cycles-per-tick ([0-9.]+) tick-hz ([0-9]+) core-hz ([0-9]+)(?: add ([0-9.]+) imul ([0-9.]+))?")


@dataclasses.dataclass
class Reading:
    """One reading of the clock probe."""
    ratio: float  # core cycles per tick
    tick_hz: float
    core_hz: float
    add: Optional[float] = None  # the add chain's figure, where the probe gives it
    imul: Optional[float] = None  # the imul chain's figure, likewise


def probe_reading(text):
    """The clock probe's reading in its output, or None."""
    found = PROBE.search(text)
    if not found:
        return None
    return Reading(*(None if value is None else float(value) for value in found.groups()))


@dataclasses.dataclass
class Run:
    figures: list  # the four figures, in the report's order, in ticks
    seconds: float  # from start to the closing line
    ratios: Optional[list] = None  # core cycles per tick, just before and just after the run
    tick_hz: Optional[float] = None  # the counter's frequency
    round: Optional[int] = None  # the round it ran in, from 1
    place: Optional[int] = None  # its place in that round's shuffled order, from 1
    started: Optional[str] = None  # when it started, UTC, ISO 8601

    def ratio(self):
        return statistics.fmean(self.ratios) if self.ratios else None


@dataclasses.dataclass
class Series:
    preset: str  # the preset or the program that was run
    cpu: Optional[int]  # the CPU every run was pinned to
    banner: str  # the report's first line
    runs: list


@dataclasses.dataclass
class Row:
    """A series read back from a record, numbered among all that compare read."""
    number: int
    machine: dict
    series: Series

    @property
    def name(self):
        return f"#{self.number}"


class RecordError(Exception):
    """A file that is not a record this tool wrote."""


def save(path, machine, series, fields=None):
    """Writes the record whole or not at all: a temporary file beside the
    target, renamed over it. fields: more of the record's top level (the
    rounds' seed, the stopping rule)."""
    record = {"tool": "zerobench-stats", "machine": machine, "series": [dataclasses.asdict(s) for s in series],
              **(fields or {})}
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
