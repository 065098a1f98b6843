"""When run --precision stops, as data: the half-width of each series' 95%
interval of and − mov against the precision asked, the rounds run and the
time spent. It looks at the width alone: stopping when a test turns
significant would make false verdicts more likely."""
import dataclasses
from typing import Optional

from . import stats

REACHED, MAX_RUNS, TIME = "reached", "max-runs", "time"
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
    reason: str  # REACHED, MAX_RUNS or TIME
    width: Optional[float]  # None with fewer than two runs


def width(series, unit):
    """Half the width of the 95% interval of and − mov (paired within runs);
    None with fewer than two runs, whose interval says nothing. In core
    cycles, over the runs with a clock reading: the precision asked keeps
    its unit when a reading fails."""
    if unit == "cycles":
        series = dataclasses.replace(series, runs=[run for run in series.runs if run.ratio() is not None])
    if len(series.runs) < 2:
        return None
    found = stats.and_against_mov(series, unit)
    return (found.high - found.low) / 2


def reached(rule, found):
    """Whether a width is within the precision asked; a zero width is."""
    return found is not None and found <= rule.precision


def why_stop(rule, rounds, widths, seconds):
    """After a round: None to run another; otherwise why to stop."""
    if rounds >= rule.min_rounds and all(reached(rule, found) for found in widths):
        return REACHED
    if rule.max_runs is not None and rounds >= rule.max_runs:
        return MAX_RUNS
    if rule.time is not None and seconds >= rule.time:
        return TIME
    return None


def outcomes(rule, reason, rounds, widths):
    """{name: Outcome} once the rounds stopped for reason: a series that has
    reached the precision says so whatever stopped the others."""
    return {name: Outcome(rounds, REACHED if rounds >= rule.min_rounds and reached(rule, found) else reason, found)
            for name, found in widths.items()}


def record(rule, found):
    """The rule and how each series ended ({name: Outcome}), for the JSON."""
    return {**dataclasses.asdict(rule), "targets": {name: dataclasses.asdict(o) for name, o in found.items()}}
