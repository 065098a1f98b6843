"""zerobench-stats: runs zerobench many times and judges its figures.

  zerobench-stats run [-n N] [--cpu N | --per-cpu] [--unit cycles|ticks] [--seed N]
                      [--precision X [--max-runs N] [--time SECONDS]]
                      [--json FILE [--force]] [--plot FILE] [PROGRAM|PRESET ...]
  zerobench-stats compare [--unit cycles|ticks] [--plot FILE] [--markdown FILE] FILE.json ...

run starts the program on a pseudo-terminal in N rounds, each running every
program (and with --per-cpu every CPU) once in a shuffled order, every run
pinned to one CPU; it reads the core clock before and after each run, and
prints each figure's median, min, max and spread in ticks and core cycles,
and whether and costs more than mov, and a body's first run more than its
second, beyond the noise. Several programs or CPUs are compared with the
first, run against run of the same round. With --precision it runs rounds
until the 95% interval of and - mov is within +-X for every program. By
default it runs the zerobench installed beside it (in a source checkout:
every built preset).

compare reads the records of several runs (machines, CPUs, builds) and prints
them in one table, each against the first.

Runs under Debian's /usr/bin/python3, for which python3-scipy (the verdicts)
and python3-matplotlib (the pictures) install; without them the tables and
the JSON are still written.
"""
import argparse
import datetime
import fcntl
import os
import pathlib
import dataclasses
import math
import platform
import random
import signal
import subprocess
import sys
import tempfile
import time

from . import records, render_markdown, render_plot, render_text, runner, stats, stopping
from .records import UNITS, Row, Series
from .runner import UsageError

DEFAULT_ROUNDS = 10  # without --precision
DEFAULT_MAX_ROUNDS = 100  # with --precision but neither --max-runs nor --time: a precision never reached ends


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def output_path(path, formats=None):
    """An output file whose directory exists and can be written (for a
    symlink, the directory of the file it names), or UsageError."""
    target = pathlib.Path(os.path.realpath(path))
    directory = target.parent
    if target.is_dir():
        raise UsageError(f"{path}: is a directory")
    if target.exists() and not target.is_file():
        kind = "a FIFO" if target.is_fifo() else "a socket" if target.is_socket() else "a device"
        raise UsageError(f"{path}: is {kind}, not a regular file")
    if not directory.is_dir():
        raise UsageError(f"{path}: no directory {directory}")
    if target.exists() and not os.access(target, os.W_OK):
        raise UsageError(f"{path}: cannot be written")
    try:
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as error:
        raise UsageError(f"{path}: directory {directory} cannot be written ({error.strerror})") from None
    if formats and target.suffix.lower() not in formats:
        raise UsageError(f"{path}: a picture is written as {', '.join(formats)}: name the file so")


def file_name(text):
    """An output option's file name: not empty (argparse's type)."""
    if not text:
        raise argparse.ArgumentTypeError("an empty file name")
    return text


def file_identity(path):
    """What names one file under every path to it: its device and inode, or
    for a file not there yet, its real path."""
    try:
        found = os.stat(path)
    except OSError:
        return os.path.realpath(path)
    return found.st_dev, found.st_ino


OUTPUTS = ("json", "plot", "markdown")  # the options that name a file the tool writes


def check_outputs(args, inputs, force=False):
    """UsageError for an output file that names an input (a record read, a
    program run: {path: what it is}) or another output under any path, or
    that would overwrite a record: any file for --json, unless force."""
    named = {file_identity(path): what for path, what in inputs.items()}
    for option in OUTPUTS:
        path = getattr(args, option, None)
        if path is None:
            continue
        identity = file_identity(path)
        if identity in named:
            raise UsageError(f"{path}: is {named[identity]}; name another file for --{option}")
        named[identity] = f"the file --{option} names"
        if option == "json" and not force and os.path.isfile(path) and os.path.getsize(path):
            raise UsageError(f"{path}: already there; name a new file, or add --force to write over it")
        if option != "json" and records.looks_like_record(path):
            raise UsageError(f"{path}: holds a zerobench-stats record; name another file for --{option}")
        if os.path.isfile(path) and os.stat(path).st_mode & 0o111:
            raise UsageError(f"{path}: is a program; name another file for --{option}")


def programs(place, chosen):
    """The files a run starts, each with what it is, for check_outputs."""
    files = {str(place.probe): "the clock probe"}
    for target in chosen:
        files.update({part: f"a program the run starts ({target.name})" for part in target.command
                      if os.path.isfile(part)})
    return files


def stdout_problem():
    """Why standard output cannot take the report, where that is known at
    once (closed, or open for reading only); None otherwise."""
    if sys.stdout is None:  # Python found file descriptor 1 closed
        return "standard output is closed: nowhere to write the report"
    try:
        readable_only = fcntl.fcntl(sys.stdout.fileno(), fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDONLY
    except (OSError, ValueError):
        return "standard output is closed: nowhere to write the report"
    return "standard output is open for reading only: nowhere to write the report" if readable_only else None


class Output:
    """Standard output that, once it cannot be written (a full disk, a
    reader gone), drops what follows and keeps the first error, so that the
    files asked for are still written and main can say so."""

    def __init__(self, stream):
        self.stream, self.lost = stream, None

    def _guarded(self, action, *arguments):
        if self.lost is None:
            try:
                action(*arguments)
            except OSError as error:
                self.lost = error.strerror or str(error)
                # Its buffer would fail again when Python flushes it on exit.
                os.dup2(os.open(os.devnull, os.O_WRONLY), self.stream.fileno())

    def write(self, text):
        self._guarded(self.stream.write, text)
        return len(text)

    def flush(self):
        self._guarded(self.stream.flush)

    def __getattr__(self, name):
        return getattr(self.stream, name)


def complain(line):
    """One line on standard error, where there is one."""
    try:
        if sys.stderr is not None:
            print(f"zerobench-stats: {line}", file=sys.stderr, flush=True)
    except OSError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # no terminal left to tell


def show(lines):
    for line in lines:
        print(line)


def show_series(entry, unit):
    series, verdicts = entry.series, None
    if stats.available() and series.runs:
        unit = stats.unit_for([series], unit)
        verdicts = stats.verdicts(series, unit)
    show(render_text.series_lines(series, entry.clock(), stats.figures(series), verdicts, unit))
    show_notes(series, unit, "  ")


def show_notes(series, unit, prefix):
    """The series' figures outside the fences and its runs' clusters, where there are any."""
    show(render_text.notes_lines(stats.outliers(series), stats.clusters(series, stats.unit_for([series], unit)),
                                 prefix))


def against_first(series, unit, by_round=False):
    """Each series against the first, where scipy can tell and there is a first and another."""
    return stats.against_first(series, unit, by_round) if stats.available() and len(series) > 1 else None


def show_per_cpu(entries, unit):
    series = [entry.series for entry in entries]
    unit = stats.unit_for(series, unit)
    show(render_text.per_cpu_lines(series, [entry.clock() for entry in entries],
                                   [stats.medians(s, unit) for s in series], against_first(series, unit, True),
                                   unit))
    for s in series:
        show_notes(s, unit, f"  cpu {s.cpu}: ")


def show_across(series, unit):
    unit = stats.unit_for(series, unit)
    show(render_text.across_lines(series, [stats.medians(s, unit) for s in series],
                                  against_first(series, unit, True), unit))


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
    """Rewrites the progress line in place on a terminal; elsewhere says nothing."""
    if sys.stderr.isatty():
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
        cls.came = number

    @classmethod
    def catch(cls):
        for number in cls.SIGNALS:
            signal.signal(number, cls.note)

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
    name: str  # the target's, and its CPU's with --per-cpu
    target: runner.Target
    cpu: int
    series: Series
    failing: int = 0  # runs failed since the last that succeeded

    def clock(self):
        """The series' core clock, and the runs without core cycles (stats.Clock)."""
        return stats.clock(self.series)


class Session:
    """The series of one invocation of run, kept on disk as each run ends."""

    def __init__(self, place, args, seed, rule=None):
        self.place, self.args = place, args
        self.identity = machine(place)
        self.failed, self.unsaved = 0, None
        self.seed, self.rule = seed, rule
        self.entries, self.widths, self.outcomes = [], {}, {}

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
        if self.rule:
            fields["stopping"] = stopping.record(self.rule, self.outcomes)
        return fields

    def rounds(self, chosen, cpus):
        """Rounds of runs until -n or the stopping rule ends them: each runs
        every target on every CPU once, in an order shuffled from the seed."""
        self.entries = [Entry(f"{target.name} on cpu {cpu}" if self.args.per_cpu else target.name, target, cpu,
                              Series(target.name, cpu, "", [])) for target in chosen for cpu in cpus]
        for target in chosen:
            if target.wine_prefix:
                runner.start_wine(self.place, target, cpus[0])  # seconds that no round should hold
        start = time.monotonic()
        for number, order in enumerate(runner.shuffled_rounds(self.entries, self.seed), 1):
            for place, entry in enumerate(order, 1):
                self.run_once(entry, number, place)
            if self.stop(number, time.monotonic() - start):
                break
        progress("")

    def run_once(self, entry, number, place):
        """One run of entry at its place in round number; a failed run is named and left out."""
        Interrupt.check()
        if self.rule:
            found, unit = self.widths.get(entry.name, (None, self.rule.unit))
            progress(render_text.progress_text(entry.name, number, None, found, unit, len(entry.series.runs)))
        else:
            progress(render_text.progress_text(entry.name, number, self.args.n))
        started = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
        run, banner = runner.one_run(self.place, entry.target, entry.cpu)
        Interrupt.check()
        if run is None:
            progress("")
            print(f"{entry.name}: run {place} of round {number} failed, left out: {banner}", flush=True)
            self.failed += 1
            entry.failing += 1
            return
        entry.failing = 0
        run.round, run.place, run.started = number, place, started
        entry.series.banner = entry.series.banner or banner
        entry.series.runs.append(run)
        self.save()

    def stop(self, number, seconds):
        """Whether the rounds end after round number, seconds after the first began."""
        if not self.rule:
            return number >= self.args.n
        failing = [entry for entry in self.entries if entry.failing >= self.rule.min_rounds]
        if failing:
            # Its interval would never narrow, and no budget might end the rounds.
            show(render_text.failing_line(entry.name, entry.failing) for entry in failing)
            return True
        units = {entry.name: stopping.unit(self.rule, entry.series) for entry in self.entries}
        self.widths = {entry.name: (stopping.width(entry.series, units[entry.name]), units[entry.name])
                       for entry in self.entries}
        why = stopping.why_stop(self.rule, number, self.widths.values(), seconds)
        if why:
            self.outcomes = stopping.outcomes(self.rule, why, number, self.widths)
            self.save()
        return why is not None

    def stopped_lines(self, entries):
        """Why the rounds stopped, for each of entries; none without a rule."""
        return [render_text.stopped_line(entry.name, self.outcomes[entry.name], self.rule, len(entry.series.runs),
                                         entry.clock())
                for entry in entries if entry.name in self.outcomes]


def pinned_cpus(args):
    """The CPUs to run on, or UsageError."""
    allowed = sorted(os.sched_getaffinity(0))
    if args.per_cpu:
        return allowed
    cpu = allowed[0] if args.cpu is None else args.cpu
    if cpu not in allowed:
        raise UsageError(f"cpu {cpu} is not one this process may use ({', '.join(map(str, allowed))})")
    return [cpu]


def finish(session, args):
    """The comparison across builds, the files, and the exit status."""
    series, status = session.series, 1 if session.failed else 0
    if not args.per_cpu and len(series) > 1:
        show_across(series, args.unit)
    if args.json and session.unsaved:
        print(f"{args.json} could not be written ({session.unsaved})")
        status = 1
    elif args.json:
        print(f"every run written to {args.json}")
    if args.plot and render_plot.missing():
        print(f"no picture: {render_plot.missing()}")
        status = 1
    elif args.plot:
        try:
            render_plot.draw(args.plot, series, session.identity, stats.unit_for(series, args.unit))
            print(f"picture written to {args.plot}")
        except (OSError, ValueError) as error:
            print(f"no picture: {error}")
            status = 1
    if not stats.available():
        print(f"no verdicts: {render_text.NO_STATISTICS}")
    if session.failed:
        print(f"{render_text.runs(session.failed)} failed and {'was' if session.failed == 1 else 'were'} left out")
    return status


def stopping_rule(args, has_probe):
    """The rule of --precision (None without it), with -n as its least
    rounds; sets -n where it was not given. Its unit is the one asked,
    ticks where there is no clock probe; without --max-runs or --time its
    rounds end at DEFAULT_MAX_ROUNDS. UsageError for a bad value."""
    if args.precision is None:
        if args.max_runs is not None or args.time is not None:
            raise UsageError("--max-runs and --time go with --precision")
        args.n = DEFAULT_ROUNDS if args.n is None else args.n
        return None
    args.n = stopping.DEFAULT_MIN_ROUNDS if args.n is None else args.n
    if not (math.isfinite(args.precision) and args.precision > 0):
        raise UsageError(f"--precision needs a finite half-width above 0, not {args.precision:g}")
    if args.max_runs is not None and args.max_runs < args.n:
        raise UsageError(f"--max-runs {args.max_runs} is below the least rounds (-n {args.n})")
    if args.time is not None and not (math.isfinite(args.time) and args.time > 0):
        raise UsageError(f"--time needs a finite number of seconds above 0, not {args.time:g}")
    if not stats.available():
        raise UsageError(f"--precision needs the verdicts: {render_text.NO_STATISTICS}")
    most = DEFAULT_MAX_ROUNDS if args.max_runs is None and args.time is None else args.max_runs
    if most is not None and most < args.n:
        raise UsageError(f"-n {args.n} is above the most rounds ({most}): add --max-runs")
    return stopping.Rule(args.precision, args.unit if has_probe else "ticks", args.n, most, args.time)


def run(place, args):
    if args.json:
        output_path(args.json)
    if args.plot:
        output_path(args.plot, render_plot.FORMATS)
    rule = stopping_rule(args, os.access(place.probe, os.X_OK))
    if args.n < 1:
        raise UsageError("-n needs at least 1 run")
    cpus = pinned_cpus(args)
    chosen, skipped = runner.targets(place, args.targets)
    check_outputs(args, programs(place, chosen), args.force)
    for line in skipped:
        print(line)
    if not os.access(place.probe, os.X_OK):
        print(f"no clock probe ({place.probe}): figures in ticks only")

    seed = random.randrange(2 ** 31) if args.seed is None else args.seed
    print(render_text.seed_line(seed), flush=True)
    session = Session(place, args, seed, rule)
    Interrupt.catch()
    try:
        session.rounds(chosen, cpus)
        Interrupt.check()
    except KeyboardInterrupt:
        progress("")
        session.save()
        saved = f" in {args.json}" if args.json and session.kept() and not session.unsaved else ""
        print(f"interrupted{Interrupt.by()}: kept {session.kept()} finished runs{saved}")
        return Interrupt.status()
    if not session.series:
        print("no run succeeded")
        return 1
    for target in chosen:
        measured = [entry for entry in session.entries if entry.target is target and entry.series.runs]
        if args.per_cpu and measured:
            show_per_cpu(measured, args.unit)
        elif measured:
            show_series(measured[0], args.unit)
        show(session.stopped_lines(measured))
    status = finish(session, args)
    Interrupt.check()  # one that came while the files were written
    return status


def load_rows(paths):
    """Every series of every record, numbered from 1; UsageError for a file
    that is missing or not a record of this tool."""
    rows = []
    for path in paths:
        try:
            machine, series = records.load(path)
        except OSError as error:
            raise UsageError(f"{path}: {error.strerror}") from None
        except (records.RecordError, UnicodeDecodeError) as error:
            raise UsageError(f"{path}: {error}") from None
        rows += [Row(len(rows) + i + 1, machine, s) for i, s in enumerate(series)]
    return rows


def write_markdown(path, text):
    """Writes compare's Markdown; whether it was written."""
    try:
        with open(path, "w", errors="backslashreplace") as file:  # a name that is not UTF-8, escaped
            file.write(text)
    except OSError as error:
        print(f"{path} could not be written ({error.strerror})")
        return False
    print(f"table written to {path}")
    return True


def draw_comparison(path, rows, unit):
    """The rows side by side; whether the picture was drawn."""
    if render_plot.missing():
        print(f"no picture: {render_plot.missing()}")
        return False
    try:
        render_plot.draw_comparison(path, rows, unit)
    except (OSError, ValueError) as error:
        print(f"no picture: {error}")
        return False
    print(f"picture written to {path}")
    return True


def compare(args):
    """The records' series in one table, each against the first."""
    rows = load_rows(args.records)
    unit = stats.unit_for([row.series for row in rows], args.unit)
    table = render_text.compare_table(rows, [stats.compare_row(row.series, args.unit) for row in rows])
    sentences = render_text.compare_sentences(rows, against_first([row.series for row in rows], unit), unit)
    heading = render_text.against_heading(rows, unit)
    show(render_text.compare_lines(table, sentences, heading, unit != args.unit))
    notes = render_text.compare_notes(rows, [stats.outliers(row.series) for row in rows],
                                      [stats.clusters(row.series, stats.unit_for([row.series], args.unit))
                                       for row in rows])
    show(render_text.compare_notes_lines(notes))
    if not stats.available():
        print(f"no verdicts: {render_text.NO_STATISTICS}")
    markdown = (render_markdown.document(table, sentences, heading) +
                render_markdown.notes(notes, render_text.NOTES_HEADING))
    Interrupt.check()
    written = not args.markdown or write_markdown(args.markdown, markdown)
    drawn = not args.plot or draw_comparison(args.plot, rows, unit)
    return 0 if written and drawn else 1


def parser():
    top = Parser(prog="zerobench-stats", description=__doc__.splitlines()[0],
                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog="\n".join(__doc__.splitlines()[2:]))
    commands = top.add_subparsers(dest="command", metavar="run|compare", parser_class=Parser)
    commands.required = True
    runs = commands.add_parser("run", help="run zerobench N times and judge the figures")
    runs.add_argument("-n", type=int, help=f"rounds: runs per program or preset (default {DEFAULT_ROUNDS}); with "
                      f"--precision the least (default {stopping.DEFAULT_MIN_ROUNDS})")
    where = runs.add_mutually_exclusive_group()
    where.add_argument("--cpu", type=int, help="the CPU every run is pinned to (default: the first allowed)")
    where.add_argument("--per-cpu", action="store_true", help="the same runs on each CPU, each round on every CPU")
    runs.add_argument("--seed", type=int, help="shuffles the rounds' order as a run with this seed did")
    runs.add_argument("--precision", type=float, metavar="X",
                      help="rounds until the 95%% interval of and - mov is within +-X (in --unit) for every program")
    runs.add_argument("--max-runs", type=int, metavar="N",
                      help=f"with --precision: rounds at most (default {DEFAULT_MAX_ROUNDS} without --time)")
    runs.add_argument("--time", type=float, metavar="SECONDS",
                      help="with --precision: no new round once SECONDS have passed")
    runs.add_argument("--unit", choices=UNITS, default="cycles",
                      help="the unit of the verdicts and the picture (default cycles)")
    runs.add_argument("--json", metavar="FILE", type=file_name, help="write every run to FILE, as each run ends")
    runs.add_argument("--force", action="store_true", help="let --json write over a file already there")
    runs.add_argument("--plot", metavar="FILE", type=file_name, help="draw the figures to FILE (.png, .svg or .pdf)")
    runs.add_argument("targets", nargs="*", metavar="PROGRAM|PRESET")
    compares = commands.add_parser("compare", help="compare the records of several runs")
    compares.add_argument("--unit", choices=UNITS, default="cycles",
                          help="the unit of the comparisons and the picture (default cycles)")
    compares.add_argument("--plot", metavar="FILE", type=file_name,
                          help="draw them side by side to FILE (.png, .svg or .pdf)")
    compares.add_argument("--markdown", metavar="FILE", type=file_name, help="write the table as Markdown to FILE")
    compares.add_argument("records", nargs="+", metavar="FILE.json")
    return top


def main(script):
    """The command line of the zerobench-stats at path script (which tells
    where it runs from); its exit status."""
    Interrupt.catch()
    closed = stdout_problem()
    if closed:
        complain(closed)
        return 1
    sys.stdout.reconfigure(errors="surrogateescape")  # a file name that is not UTF-8, as given
    output = sys.stdout = Output(sys.stdout)
    status, files = command(runner.Place(script))
    output.flush()
    if output.lost:
        written = f", but {' and '.join(files)} {'was' if len(files) == 1 else 'were'} written" \
            if files and status == 0 else ""
        complain(f"standard output could not be written ({output.lost}): the rest of the report is not shown{written}")
        return status or 1
    return status


def command(place):
    """The command the arguments name, run: its exit status, and the files it was asked to write."""
    files = []
    try:
        args = parser().parse_args()
        files = [getattr(args, option) for option in OUTPUTS if getattr(args, option, None)]
        if args.command == "run":
            return run(place, args), files
        if args.plot:
            output_path(args.plot, render_plot.FORMATS)
        if args.markdown:
            output_path(args.markdown)
        check_outputs(args, {path: "a record compare reads" for path in args.records})
        status = compare(args)
        Interrupt.check()
        return status, files
    except UsageError as error:
        complain(error)
        return 2, files
    except SystemExit as stop:  # argparse, once --help is shown: main still checks that it was
        return stop.code or 0, files
    except KeyboardInterrupt:
        complain(f"interrupted{Interrupt.by()}")
        return Interrupt.status(), files
