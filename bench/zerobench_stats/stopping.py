"""When run --precision stops, as data: the half-width of each series' 95%
interval of and − mov against the precision asked, the rounds run and the
time spent. It looks at the width alone: stopping when a test turns
significant would make false verdicts more likely."""
import dataclasses
from typing import Optional

from . import stats
from .records import IDIOMS

REACHED, MAX_RUNS, TIME = "reached", "max-runs", "time"
# A series whose precision was asked in core cycles but that is in ticks
# only (most of its clock readings refused): it holds no round back.
NOT_IN_UNIT = "not-in-unit"
# A target whose last -n runs failed ends the rounds (its interval would
# never narrow); the others stop with it.
FAILING, ANOTHER_FAILING = "failing", "another-failing"
DEFAULT_MIN_ROUNDS = 6  # the fewest paired runs that can give a verdict at 95%


@dataclasses.dataclass
class Rule:
    precision: float  # the half-width asked for, in unit
    unit: str  # the verdict's
    min_rounds: int
    max_runs: Optional[int]  # rounds at most; None for no limit
    time: Optional[float]  # seconds at most; None for no limit


@dataclasses.dataclass
class Outcome:
    """Where one series stood when the rounds stopped."""
    rounds: int
    reason: str  # REACHED, MAX_RUNS, TIME, NOT_IN_UNIT, FAILING or ANOTHER_FAILING
    width: Optional[float]  # None with fewer than two runs
    unit: str  # the width's: the rule's, or ticks for NOT_IN_UNIT


def unit(rule, series):
    """The unit the series' width is in: the rule's, or ticks where the
    series is in ticks only."""
    return stats.unit_for([series], rule.unit)


def width(series, unit):
    """Half the width of the 95% interval of and − mov (paired within runs),
    or for zerobench-idioms the widest of every figure's; None with fewer
    than two runs, whose interval says nothing. In core cycles, over the
    runs that have them."""
    series = stats.in_unit(series, unit)
    if len(series.runs) < 2:
        return None
    if series.program == IDIOMS:
        return max(stats.figure_width(series, i, unit) for i in range(len(series.labels)))
    found = stats.and_against_mov(series, unit)
    return (found.high - found.low) / 2


def reached(rule, found):
    """Whether a width is within the precision asked; a zero width is."""
    return found is not None and found <= rule.precision


def why_stop(rule, rounds, widths, seconds):
    """After a round: None to run another; otherwise why to stop. widths:
    (width, its unit) of each series; one not in the rule's unit cannot be
    judged and holds no round back."""
    judged = [found for found, its_unit in widths if its_unit == rule.unit]
    if rounds < rule.min_rounds:
        return None  # neither budget ends a series before -n rounds
    if all(reached(rule, found) for found in judged):
        return REACHED
    if rule.max_runs is not None and rounds >= rule.max_runs:
        return MAX_RUNS
    if rule.time is not None and seconds >= rule.time:
        return TIME
    return None


def outcomes(rule, reason, rounds, widths, failing=()):
    """{name: Outcome} once the rounds stopped for reason (widths: {name:
    (width, unit)}; failing: the names whose runs kept failing, when that
    stopped them): a series that has reached the precision says so whatever
    stopped the others."""
    def why(name, found, its_unit):
        if name in failing:
            return FAILING
        if its_unit != rule.unit:
            return NOT_IN_UNIT
        if rounds >= rule.min_rounds and reached(rule, found):
            return REACHED
        return ANOTHER_FAILING if reason == FAILING else reason
    return {name: Outcome(rounds, why(name, found, its_unit), found, its_unit)
            for name, (found, its_unit) in widths.items()}


def record(rule, found):
    """The rule and how each series ended ({name: Outcome}), for the JSON."""
    return {**dataclasses.asdict(rule), "targets": {name: dataclasses.asdict(o) for name, o in found.items()}}
