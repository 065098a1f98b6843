"""zerobench-stats' records: every run kept as read, saved to and loaded from
JSON, and the lines they are read from (the program's report, the harness's
closing line, the clock probe's reading). Needs nothing beyond Python."""
import dataclasses
import json
import math
import re
import statistics
import typing
from typing import Optional

from . import files

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
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def printable(text):
    """text with each control character written as its escape (\\x1b,
    \\n): text from a program or a record then reaches no terminal's
    controls, and splits no line of a table."""
    return CONTROL.sub(lambda found: found.group().encode("unicode_escape").decode(), text)
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
    """The clock probe's reading in its output, or None: also where a figure
    cannot be read ("1.2.3") or is not above 0."""
    found = PROBE.search(text)
    if not found:
        return None
    try:
        values = [None if value is None else float(value) for value in found.groups()]
    except ValueError:
        return None
    if not all(math.isfinite(value) and value > 0 for value in values if value is not None):
        return None
    return Reading(*values)


# Why a clock reading gives no core cycles.
REFUSAL_REASONS = {
    "chains": "the probe's two chains disagree",
    "range": "a core clock no x86 processor runs at (outside CORE_HZ)",
    "probe": "the probe refused it for a reason of its own",
    "failed": "the probe gave no reading (it failed or timed out)",
}


@dataclasses.dataclass
class Refusal:
    """A clock reading around a run that gives no core cycles, and why
    (REFUSAL_REASONS); the figures the probe printed, where it printed any."""
    when: str  # "before" or "after" the run
    reason: str
    said: str = ""  # the probe's line on standard error, or why it failed
    ratio: Optional[float] = None
    tick_hz: Optional[float] = None
    add: Optional[float] = None
    imul: Optional[float] = None

    @property
    def apart(self):
        """How far apart the two chains are, as a fraction of the smaller; 0 where unknown."""
        if not (self.add and self.imul):
            return 0
        return abs(self.add - self.imul) / min(self.add, self.imul)


@dataclasses.dataclass
class Run:
    figures: list  # the four figures, in the report's order, in ticks
    seconds: float  # from start to the closing line
    ratios: Optional[list] = None  # core cycles per tick, just before and just after the run
    tick_hz: Optional[float] = None  # the counter's frequency
    round: Optional[int] = None  # the round it ran in, from 1
    place: Optional[int] = None  # its place in that round's shuffled order, from 1
    started: Optional[str] = None  # when it started, UTC, ISO 8601
    refused: Optional[list] = None  # the Refusals of its clock readings; None where none was refused
    busy: Optional[dict] = None  # {other CPU (text): the share of the run it was busy}
    steal: Optional[float] = None  # the share of the run the hypervisor took from its CPU
    switches: Optional[int] = None  # the run's involuntary context switches
    untrusted: Optional[str] = None  # zerobench-idioms: why it did not trust its own figures

    def ratio(self):
        return statistics.fmean(self.ratios) if self.ratios else None

    def readings_without_cycles(self):
        """Of its two clock readings, how many give no core cycles (refused,
        failed, or never taken)."""
        return 0 if self.ratios else len(self.refused) if self.refused else 2


ZEROBENCH, IDIOMS = "zerobench", "zerobench-idioms"  # the two kinds of program the tool runs
IDIOMS_FORMAT = "zerobench-idioms/1"  # the --json format of zerobench-idioms it reads
IDIOMS_MARK = IDIOMS_FORMAT.encode()  # a text every zerobench-idioms program carries
REFERENCE = "clzero"  # the idiom zerobench-idioms shows as a reference, never ranked


@dataclasses.dataclass
class Series:
    preset: str  # the preset or the program that was run
    cpu: Optional[int]  # the CPU every run was pinned to
    banner: str  # the report's first line
    runs: list
    program: str = ZEROBENCH  # which kind of program ran
    # zerobench-idioms: {"idioms": [names timed], "sizes": [bytes], "skipped": {name: why}}; a run's
    # figures are each idiom's ticks per clear at each size, idiom by idiom. None for zerobench.
    layout: Optional[dict] = None

    @property
    def labels(self):
        """Each figure's name: zerobench's LABELS, or "idiom @ size"."""
        if self.layout is None:
            return LABELS
        return [f"{idiom} @ {size}" for idiom in self.layout["idioms"] for size in self.layout["sizes"]]


@dataclasses.dataclass
class Row:
    """A series read back from a record, numbered among all that compare read."""
    number: int
    machine: dict
    series: Series
    host: Optional[dict] = None  # the record's passive findings of its host

    @property
    def name(self):
        return f"#{self.number}"


class RecordError(Exception):
    """A file that is not a record this tool wrote."""


def save(path, machine, series, fields=None):
    """Writes the record whole or not at all (files.write_whole). fields:
    more of the record's top level (the rounds' seed, the stopping rule)."""
    record = {"tool": "zerobench-stats", "machine": machine, "series": [dataclasses.asdict(s) for s in series],
              **(fields or {})}
    files.write_whole(path, lambda file: file.write(json.dumps(record, indent=1).encode()))


LARGEST = 8 << 20  # bytes; a run takes about 200, so far above any record, and /dev/zero is not read to the end
FIGURES = (-2 ** 31, 2 ** 31 - 1)  # the report prints a figure's low 32 bits as a signed number
CORE_HZ = (0.1e9, 10e9)  # the core clocks of x86 processors: a reading outside is no reading
TICK_HZ = (1e6, 100e9)  # the counter frequencies a record may hold


def _integer(low, high=None):
    return lambda value: type(value) is int and low <= value and (high is None or value <= high)


def _number(value):
    """Finite, not negative (and not a bool)."""
    return type(value) in (int, float) and math.isfinite(value) and value >= 0


def _positive(value):
    return _number(value) and value > 0


def _figures(value):
    return type(value) is list and len(value) == len(LABELS) and all(map(_integer(*FIGURES), value))


def _idiom_figures(value):
    """zerobench-idioms' figures: ticks per clear, a difference of two timings, so a little below 0 may be."""
    return type(value) is list and len(value) > 0 and all(
        type(v) in (int, float) and math.isfinite(v) and abs(v) <= FIGURES[1] for v in value)


def _layout(value):
    return _object(value) and set(value) == {"idioms", "sizes", "skipped"} and \
        type(value["idioms"]) is list and len(value["idioms"]) > 0 and all(map(_text, value["idioms"])) and \
        len(set(value["idioms"])) == len(value["idioms"]) and type(value["sizes"]) is list and \
        len(value["sizes"]) > 0 and all(map(_integer(1, 1 << 30), value["sizes"])) and \
        _object(value["skipped"]) and all(map(_text, value["skipped"].values()))


def _ratios(value):
    return value is None or type(value) is list and len(value) == 2 and all(map(_positive, value))


def _text(value):
    return type(value) is str


def _filled(value):
    return type(value) is list and len(value) > 0


def _object(value):
    return type(value) is dict


def _probe_figure(value):
    return value is None or _positive(value)


REFUSAL_FIELDS = {"when": ("before or after", lambda value: value in ("before", "after")),
                  "reason": (" or ".join(REFUSAL_REASONS), lambda value: value in REFUSAL_REASONS),
                  "said": ("text", _text), "ratio": ("a positive number", _probe_figure),
                  "tick_hz": ("a positive number", _probe_figure), "add": ("a positive number", _probe_figure),
                  "imul": ("a positive number", _probe_figure)}


def _refusals(value):
    """One or two refused readings, each an object of REFUSAL_FIELDS, taken
    before and after the run."""
    return type(value) is list and 1 <= len(value) <= 2 and all(
        _object(r) and set(r) <= set(REFUSAL_FIELDS) and {"when", "reason"} <= set(r) and
        all(REFUSAL_FIELDS[name][1](field) for name, field in r.items()) for r in value) and \
        len({r["when"] for r in value}) == len(value)


def _share(value):
    return _number(value) and value <= 1


def _cpu_number(text):
    return type(text) is str and text.isdigit() and len(text) < 8


def _cpu_shares(value):
    return _object(value) and all(_cpu_number(cpu) and _share(share) for cpu, share in value.items())


def _host(value):
    """run's passive findings: CPUID's cost, the load and steal before the first round, the kernel's sibling lists."""
    if not (_object(value) and set(value) <= {"cpuid", "load", "siblings"}):
        return False
    cpuid, load, siblings = value.get("cpuid"), value.get("load", {}), value.get("siblings", {})
    return (cpuid is None or _object(cpuid) and set(cpuid) == {"best", "median", "most", "calls"} and
            all(map(_integer(0), cpuid.values()))) and \
        _object(load) and all(_cpu_number(cpu) and _object(share) and set(share) == {"busy", "steal"} and
                              all(map(_share, share.values())) for cpu, share in load.items()) and \
        _object(siblings) and all(_cpu_number(cpu) and type(cpus) is list and all(map(_integer(0), cpus))
                                  for cpu, cpus in siblings.items())


def _optional(test):
    """test, or null: runs of a series made outside rounds hold no round."""
    return lambda value: value is None or test(value)


# What each object of a record may hold: {field: (what it must be, test)}, and the fields it must hold.
RUN_FIELDS = {"figures": (f"{len(LABELS)} integers from {FIGURES[0]} to {FIGURES[1]}", _figures),
              "seconds": ("a finite number, not negative", _number),
              "ratios": ("two positive finite numbers", _ratios),
              "tick_hz": (f"a number from {TICK_HZ[0]:g} to {TICK_HZ[1]:g}",
                          lambda value: value is None or _number(value) and TICK_HZ[0] <= value <= TICK_HZ[1]),
              "round": ("an integer from 1", _optional(_integer(1))),
              "place": ("an integer from 1", _optional(_integer(1))), "started": ("text", _optional(_text)),
              "refused": ("one or two refused clock readings, each with when, reason and what the probe said",
                          _optional(_refusals)),
              "busy": ("an object of CPU numbers and shares from 0 to 1", _optional(_cpu_shares)),
              "steal": ("a share from 0 to 1", _optional(_share)), "switches": ("an integer from 0", _optional(_integer(0))),
              "untrusted": ("text", _optional(_text))}
SERIES_FIELDS = {"preset": ("text", _text), "cpu": ("a CPU number", lambda value: value is None or _integer(0)(value)),
                 "banner": ("text", _text), "runs": ("a list of runs, not empty", _filled),
                 "program": (f"{ZEROBENCH} or {IDIOMS}", lambda value: value in (ZEROBENCH, IDIOMS)),
                 "layout": ("the idioms, sizes and skipped idioms of zerobench-idioms", _optional(_layout))}
SERIES_REQUIRED = ("preset", "cpu", "banner", "runs")
RECORD_FIELDS = {"tool": ("zerobench-stats", lambda value: value == "zerobench-stats"),
                 "machine": ("an object of texts", lambda value: _object(value) and all(map(_text, value.values()))),
                 "series": ("a list of series, not empty", _filled),
                 "seed": ("an integer", lambda value: type(value) is int), "stopping": ("an object", _object),
                 "host": ("the host's CPUID cost, load and sibling lists", _host)}


def _checked(value, fields, required, where):
    """value, when it is an object holding the required fields and no other
    than fields, each as it must be; RecordError naming the first that is not."""
    if not _object(value):
        raise RecordError(f"{where}: not an object")
    for name in required:
        if name not in value:
            raise RecordError(f"{where}: no {name}")
    for name, field in value.items():
        if name not in fields:
            raise RecordError(f"{where}: unknown field {name!r}")
        what, test = fields[name]
        if not test(field):
            raise RecordError(f"{where}: {name} must be {what}")
    return value


def _no_constant(name):
    raise ValueError(f"{name} is not a number")


def read_record(path):
    """The parsed JSON of the file at path, read only up to LARGEST bytes."""
    with open(path, "rb") as file:
        text = file.read(LARGEST + 1)
    if len(text) > LARGEST:
        raise RecordError(f"not a zerobench-stats record (larger than {LARGEST >> 20} MiB)")
    try:
        return json.loads(text, parse_constant=_no_constant)
    except (ValueError, RecursionError) as error:
        raise RecordError(f"not a zerobench-stats record (not JSON: {error})") from None


def _check_run(run, where, layout=None):
    """RecordError, naming where, unless run (as JSON holds it) is one that
    load takes; layout: its series' (None for zerobench)."""
    if layout is None:
        _checked(run, RUN_FIELDS, ("figures", "seconds"), where)
    else:
        count = len(layout["idioms"]) * len(layout["sizes"])
        fields = {**RUN_FIELDS, "figures": (f"{count} finite numbers, one per idiom and size",
                                            lambda value: _idiom_figures(value) and len(value) == count)}
        _checked(run, fields, ("figures", "seconds"), where)
    if (run.get("ratios") is None) != (run.get("tick_hz") is None):
        raise RecordError(f"{where}: ratios and tick_hz come together")
    if run.get("ratios") and not all(CORE_HZ[0] <= r * run["tick_hz"] <= CORE_HZ[1] for r in run["ratios"]):
        raise RecordError(f"{where}: ratios give a core clock outside {CORE_HZ[0] / 1e9:g}-{CORE_HZ[1] / 1e9:g} GHz")
    if run.get("ratios") and run.get("refused"):
        raise RecordError(f"{where}: a run with core cycles has no refused reading")


def run_problem(run, layout=None):
    """Why a record holding this Run would not load, or None: run and
    compare keep one rule."""
    try:
        _check_run(json.loads(json.dumps(dataclasses.asdict(run))), "the run", layout)
    except RecordError as error:
        return str(error).removeprefix("the run: ")
    return None


class Record(typing.NamedTuple):
    machine: dict
    series: list
    host: Optional[dict]  # what run found of the host before its first round, where it recorded it


def load(path):
    """The machine and the series that save() wrote (also before core cycles
    were recorded); RecordError, in one line, for anything else."""
    return read(path)[:2]


def _printable_layout(layout):
    if layout is None:
        return None
    return {"idioms": list(map(printable, layout["idioms"])), "sizes": layout["sizes"],
            "skipped": {printable(name): printable(why) for name, why in layout["skipped"].items()}}


def read(path):
    """The Record that save() wrote; RecordError, in one line, for anything else."""
    record = read_record(path)
    if not _object(record) or record.get("tool") != "zerobench-stats":
        tool = record.get("tool") if _object(record) and _text(record.get("tool")) else None
        raise RecordError(f"written by {tool!r}, not zerobench-stats" if tool else "not a zerobench-stats record")
    _checked(record, RECORD_FIELDS, ("machine", "series"), "the record")
    run_names = [field.name for field in dataclasses.fields(Run)]
    series = []
    for i, one in enumerate(record["series"], 1):
        _checked(one, SERIES_FIELDS, SERIES_REQUIRED, f"series {i}")
        if (one.get("program") == IDIOMS) != (one.get("layout") is not None):
            raise RecordError(f"series {i}: a layout goes with zerobench-idioms, and only with it")
        for j, run in enumerate(one["runs"], 1):
            _check_run(run, f"series {i}, run {j}", one.get("layout"))
        runs = [Run(**{name: run[name] for name in run_names if name in run}) for run in one["runs"]]
        for run in runs:
            run.started = run.started and printable(run.started)
            run.refused = run.refused and [Refusal(**{**refusal, "said": printable(refusal.get("said", ""))})
                                           for refusal in run.refused]
        series.append(Series(printable(one["preset"]), one["cpu"], printable(one["banner"]), runs,
                             one.get("program", ZEROBENCH), _printable_layout(one.get("layout"))))
    machine = {printable(key): printable(value) for key, value in record["machine"].items()}
    return Record(machine, series, record.get("host"))
