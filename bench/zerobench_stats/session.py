"""The rounds of one invocation of run: every target on every CPU once a
round, in an order shuffled from the seed, each run kept on disk as it
ends; Ctrl-C and the signals that end a command noted and acted on between
runs; when the rounds stop."""
import dataclasses
import datetime
import platform
import signal
import subprocess
import sys
import time

from . import host, records, render_text, runner, stats, stopping
from .records import Series


def machine(place):
    """What identifies the machine and the build, for the JSON."""
    commit = "unknown"
    if place.checkout is not None:
        try:
            commit = subprocess.run(["git", "-C", str(place.checkout), "describe", "--always", "--dirty"],
                                    capture_output=True, text=True).stdout.strip() or commit
        except OSError:
            pass  # no git here
    uname = platform.uname()
    return {"kernel": f"{uname.system} {uname.release} {uname.machine}", "commit": commit,
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}


def progress(text):
    """Rewrites the progress line in place on a terminal; elsewhere (standard
    error closed, or not a terminal) says nothing."""
    if sys.stderr is None or not sys.stderr.isatty():
        return
    try:
        sys.stderr.write(f"\r\x1b[K{text}")
        sys.stderr.flush()
    except OSError:
        pass  # the terminal is gone (SIGHUP follows)


class Interrupt:
    """Ctrl-C, noted when it comes and acted on between runs and before
    files are written: raised at any other moment, it could be lost in the
    fork of a child, or amid an import. The run under way is left out (on a
    terminal, Ctrl-C ends its driver as well). SIGTERM and SIGHUP are taken
    as Ctrl-C is; came is the signal's number."""

    came = False
    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    @classmethod
    def note(cls, number, _frame):
        cls.came = cls.came or number

    @classmethod
    def catch(cls):
        for number in cls.SIGNALS:
            signal.signal(number, cls.note)

    @classmethod
    def hold(cls):
        """Holds the signals back from here to the end, and notes one that
        is pending: the interpreter's shutdown would take it with their
        default action, silently."""
        signal.pthread_sigmask(signal.SIG_BLOCK, cls.SIGNALS)
        pending = sorted(signal.sigpending() & set(cls.SIGNALS))
        if pending and not cls.came:
            cls.came = pending[0]

    @classmethod
    def status(cls):
        """128 + the signal's number, as a shell gives it."""
        return 128 + (cls.came or signal.SIGINT)

    @classmethod
    def by(cls):
        """" by SIGTERM", say; nothing for Ctrl-C."""
        return f" by {signal.Signals(cls.came).name}" if cls.came not in (False, signal.SIGINT) else ""

    @classmethod
    def check(cls):
        if cls.came:
            raise KeyboardInterrupt


@dataclasses.dataclass
class Entry:
    """One target on one CPU: a place in every round, and its series so far."""
    name: str  # unique among the entries: the target's, and its CPU's with --per-cpu
    target: runner.Target
    cpu: int
    series: Series
    failing: int = 0  # runs failed since the last that succeeded

    def clock(self):
        """The series' core clock, and the runs without core cycles (stats.Clock)."""
        return stats.clock(self.series)


def entry_names(targets, cpus, per_cpu):
    """A name for each (target, cpu) in the rounds, unique: a target named
    twice (the same program run against itself, to see the noise) gets its
    place in the command line after the first."""
    names, seen = [], {}
    for target in targets:
        seen[target.name] = seen.get(target.name, 0) + 1
        name = target.name if seen[target.name] == 1 else f"{target.name} ({seen[target.name]})"
        names += [f"{name} on cpu {cpu}" if per_cpu else name for cpu in cpus]
    return names


class Session:
    """The series of one invocation of run, kept on disk as each run ends."""

    def __init__(self, place, args, seed, rule=None):
        self.place, self.args = place, args
        self.identity = machine(place)
        self.failed, self.unsaved = 0, None
        self.seed, self.rule = seed, rule
        self.entries, self.widths, self.outcomes = [], {}, {}
        self.host = None  # host.Passive, once the rounds begin

    @property
    def series(self):
        """The series that have runs, in the entries' order."""
        return [entry.series for entry in self.entries if entry.series.runs]

    def kept(self):
        return sum(len(s.runs) for s in self.series)

    def save(self):
        """Writes every finished run; says once if it cannot, and goes on."""
        if not self.args.json or not self.series:
            return
        try:
            records.save(self.args.json, self.identity, self.series, self.fields())
            self.unsaved = None
        except OSError as error:
            if self.unsaved is None:
                print(f"{self.args.json} cannot be written ({error.strerror}); trying again after the next run")
            self.unsaved = error.strerror

    def fields(self):
        """The record's top level beside its series: the seed, and the stopping rule where one was asked."""
        fields = {"seed": self.seed}
        if self.host:
            fields["host"] = self.host.as_record()
        if self.rule:
            fields["stopping"] = stopping.record(self.rule, self.outcomes)
        return fields

    def rounds(self, chosen, cpus):
        """Rounds of runs until -n or the stopping rule ends them: each runs
        every target on every CPU once, in an order shuffled from the seed."""
        pairs = [(target, cpu) for target in chosen for cpu in cpus]
        self.entries = [Entry(name, target, cpu, Series(target.name, cpu, "", [], target.program))
                        for name, (target, cpu) in zip(entry_names(chosen, cpus, self.args.per_cpu), pairs)]
        for target in chosen:
            if target.wine_prefix:
                runner.start_wine(self.place, target, cpus[0])  # seconds that no round should hold
        self.host = host.passive(self.place.probe, cpus[0])
        for line in render_text.busy_before_lines(self.host, cpus):
            print(line, flush=True)
        start = time.monotonic()
        for number, order in enumerate(runner.shuffled_rounds(self.entries, self.seed), 1):
            for place, entry in enumerate(order, 1):
                self.run_once(entry, number, place)
            if self.stop(number, time.monotonic() - start):
                break
        progress("")

    def run_once(self, entry, number, place):
        """One run of entry at its place in round number; a failed run, or
        one whose record would not load, is named and left out."""
        Interrupt.check()
        if self.rule:
            found, unit = self.widths.get(entry.name, (None, self.rule.unit))
            progress(render_text.progress_text(entry.name, number, None, found, unit, len(entry.series.runs),
                                               render_text.judged(entry.series.program)))
        else:
            progress(render_text.progress_text(entry.name, number, self.args.n))
        started = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
        run, banner, layout = runner.one_run(self.place, entry.target, entry.cpu)
        Interrupt.check()
        if run is not None:
            run.round, run.place, run.started = number, place, started
            problem = records.run_problem(run, layout)
            if entry.series.runs and layout != entry.series.layout:
                problem = "its idioms or sizes are not those of the series' first run"
            if problem:
                run, banner = None, f"a record would not keep it ({problem})"
        if run is None:
            progress("")
            print(f"{entry.name}: run {place} of round {number} failed, left out: {banner}", flush=True)
            self.failed += 1
            entry.failing += 1
            return
        entry.failing = 0
        entry.series.banner = entry.series.banner or banner
        entry.series.layout = layout
        entry.series.runs.append(run)
        self.save()

    def stop(self, number, seconds):
        """Whether the rounds end after round number, seconds after the first
        began. With a rule, also where a target's runs keep failing: its
        interval would never narrow, and no budget might end the rounds."""
        if not self.rule:
            return number >= self.args.n
        failing = [entry for entry in self.entries if entry.failing >= self.rule.min_rounds]
        units = {entry.name: stopping.unit(self.rule, entry.series) for entry in self.entries}
        self.widths = {entry.name: (stopping.width(entry.series, units[entry.name]), units[entry.name])
                       for entry in self.entries}
        why = stopping.FAILING if failing else stopping.why_stop(self.rule, number, self.widths.values(), seconds)
        if why:
            self.outcomes = stopping.outcomes(self.rule, why, number, self.widths,
                                              {entry.name for entry in failing})
            self.save()
        return why is not None

    def stopped_lines(self, entries):
        """Why the rounds stopped, for each of entries; none without a rule."""
        return [render_text.stopped_line(entry.name, self.outcomes[entry.name], self.rule, len(entry.series.runs),
                                         entry.clock(), entry.failing, entry.series.program)
                for entry in entries if entry.name in self.outcomes]
