"""zerobench-stats: runs zerobench many times and judges its figures.

  zerobench-stats run [-n N] [--cpu N | --per-cpu] [--unit cycles|ticks] [--seed N]
                      [--precision X [--max-runs N] [--time SECONDS]]
                      [--json FILE [--force]] [--plot FILE] [PROGRAM|PRESET ...]
  zerobench-stats check [--cpu N] [--json FILE [--force]] [PROGRAM|PRESET]
  zerobench-stats compare [--unit cycles|ticks] [--plot FILE] [--markdown FILE] FILE.json ...

run starts the program on a pseudo-terminal in N rounds, each running every
program (and with --per-cpu every CPU) once in a shuffled order, every run
pinned to one CPU; it reads the core clock before and after each run, and
prints each figure's median, min, max and spread in ticks and core cycles,
and whether and costs more than mov, and a body's first figure more than
its second, beyond the noise. Several programs or CPUs are compared with
the first, run against run of the same round. With --precision it runs
rounds until the 95% interval of and - mov is within +-X for every program.
By default it runs the zerobench installed beside it (in a source checkout:
every built preset).

check says in about 15 seconds whether this machine is fit to measure on:
the core clock, what CPUID costs, which CPUs share the runs' core now (by
timing zerobench with each other CPU busy), the other work and the steal,
and what to do about what it finds.

compare reads the records of several runs (machines, CPUs, builds) and prints
them in one table, each against the first.

Runs under Debian's /usr/bin/python3, for which python3-scipy (the verdicts)
and python3-matplotlib (the pictures) install; without them the tables and
the JSON are still written.
"""
import argparse
import dataclasses
import json
import math
import os
import random
import sys

from . import analysis, check, files, records, render_markdown, render_plot, render_text, runner, stats, stopping
from .guard import Output, complain, stdout_problem
from .outputs import OUTPUTS, check_outputs, file_name, output_path
from .records import IDIOMS, UNITS
from .runner import UsageError
from .session import Interrupt, Session, progress

DEFAULT_ROUNDS = 10  # without --precision
DEFAULT_MAX_ROUNDS = 100  # with --precision but neither --max-runs nor --time: a precision never reached ends


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def programs(place, chosen):
    """The files a run starts, each with what it is, for check_outputs."""
    started = {str(place.probe): "the clock probe"}
    for target in chosen:
        started.update({part: f"a program the run starts ({target.name})" for part in target.command
                        if os.path.isfile(part)})
    return started


def show(lines):
    for line in lines:
        print(line)


def analysed(entries, unit, siblings=None):
    return [analysis.series_analysis(entry.name, entry.series, unit, siblings) for entry in entries]


def show_series(entry, unit, siblings=None):
    found = analysed([entry], unit, siblings)[0]
    show(render_text.idioms_lines(found) if entry.series.program == IDIOMS else render_text.series_lines(found))


def show_per_cpu(entries, unit, siblings=None):
    show(render_text.per_cpu_lines(analysis.side_by_side(analysed(entries, unit, siblings), unit)))


def show_across(entries, unit):
    show(render_text.across_lines(analysis.side_by_side(analysed(entries, unit), unit)))


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
    builds = [entry for entry in session.entries if entry.series.runs and entry.series.program != IDIOMS]
    if not args.per_cpu and len(builds) > 1:
        show_across(builds, args.unit)
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
            print(f"no picture: {getattr(error, 'strerror', None) or error}")
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
    if args.plot and len({target.program for target in chosen}) > 1:
        raise UsageError("--plot draws one kind of program: run zerobench-idioms apart from zerobench to draw it")
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
        entries = [entry for entry in session.entries if entry.target is target]
        measured = [entry for entry in entries if entry.series.runs]
        siblings = session.host and session.host.siblings
        if args.per_cpu and measured and target.program != IDIOMS:
            show_per_cpu(measured, args.unit, siblings)
        else:
            for entry in measured:  # zerobench-idioms' CPUs one after another
                show_series(entry, args.unit, siblings)
        show(session.stopped_lines(entries))
    status = finish(session, args)
    Interrupt.check()  # one that came while the files were written
    return status


def check_machine(place, args):
    """zerobench-stats check: the findings, their verdict, and the JSON asked for."""
    if args.json:
        output_path(args.json)
    cpu = pinned_cpus(args)[0]
    chosen, _ = runner.targets(place, args.targets)
    if chosen[0].program == IDIOMS:
        raise UsageError("check times zerobench: name a zerobench program or preset")
    check_outputs(args, programs(place, chosen), args.force)
    if not os.access(place.probe, os.X_OK):
        raise UsageError(f"no clock probe ({place.probe}): the check needs it")
    print(f"checking cpu {cpu} with {chosen[0].name}, in about 15 seconds", flush=True)
    findings = check.judge(check.measure(place, chosen[0], cpu, Interrupt.check))
    show(render_text.check_lines(findings))
    if args.json:
        try:
            files.write_whole(args.json, lambda file: file.write(
                json.dumps({"tool": "zerobench-stats check", **dataclasses.asdict(findings)}, indent=1).encode()))
        except OSError as error:
            print(f"{args.json} could not be written ({error.strerror})")
            return 1
        print(f"findings written to {args.json}")
    return 0


def load_rows(paths):
    """Every series of every record, numbered from 1; UsageError for a file
    that is missing or not a record of this tool."""
    read = []
    for path in paths:
        try:
            read.append(records.read(path))
        except OSError as error:
            raise UsageError(f"{path}: {error.strerror}") from None
        except (records.RecordError, UnicodeDecodeError) as error:
            raise UsageError(f"{path}: {error}") from None
    return analysis.rows_of(read)


def write_markdown(path, text):
    """Writes compare's Markdown, whole or not at all; whether it was written."""
    try:
        # A file name that is not UTF-8 is written escaped.
        files.write_whole(path, lambda file: file.write(text.encode(errors="backslashreplace")))
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
        print(f"no picture: {getattr(error, 'strerror', None) or error}")
        return False
    print(f"picture written to {path}")
    return True


def compare(args):
    """The records' series in one table, each against the first."""
    rows = load_rows(args.records)
    if args.plot and len({row.series.program for row in rows}) > 1:
        raise UsageError("--plot draws one kind of program: compare zerobench-idioms' records apart to draw them")
    compared = analysis.comparison(rows, args.unit)
    show(render_text.compare_lines(compared))
    notes = render_text.compare_notes(compared)
    show(render_text.compare_notes_lines(notes))
    hosts = render_text.host_lines(compared)
    show([f"{render_text.HOSTS_HEADING}:"] + ["  " + line for line in hosts] if hosts else [])
    if not stats.available():
        print(f"no verdicts: {render_text.NO_STATISTICS}")
    Interrupt.check()
    written = not args.markdown or write_markdown(args.markdown, render_markdown.document(compared, notes, hosts))
    drawn = not args.plot or draw_comparison(args.plot, rows, stats.unit_for([row.series for row in rows], args.unit))
    return 0 if written and drawn else 1


def parser():
    top = Parser(prog="zerobench-stats", description=__doc__.splitlines()[0],
                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog="\n".join(__doc__.splitlines()[2:]))
    commands = top.add_subparsers(dest="command", metavar="run|check|compare", parser_class=Parser)
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
    checks = commands.add_parser("check", help="say whether this machine is fit to measure on")
    checks.add_argument("--cpu", type=int, help="the CPU a run would use (default: the first allowed)")
    checks.add_argument("--json", metavar="FILE", type=file_name, help="write every finding to FILE")
    checks.add_argument("--force", action="store_true", help="let --json write over a file already there")
    checks.add_argument("targets", nargs="?", metavar="PROGRAM|PRESET", action="append",
                        help="the zerobench program timed (default: as run's first)")
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
    status, written = command(runner.Place(script))
    output.flush()
    Interrupt.hold()
    if Interrupt.came and status < 128:
        # It came after the last point that acts on it: what was asked is done.
        complain(f"interrupted{Interrupt.by()} as it ended, once the report and the files asked for were written")
        status = Interrupt.status()
    if output.lost:
        named = f", but {' and '.join(written)} {'was' if len(written) == 1 else 'were'} written" \
            if written and status == 0 else ""
        complain(f"standard output could not be written ({output.lost}): the rest of the report is not shown{named}")
        return status or 1
    return status


def command(place):
    """The command the arguments name, run: its exit status, and the files it was asked to write."""
    asked = []
    try:
        args = parser().parse_args()
        asked = [getattr(args, option) for option in OUTPUTS if getattr(args, option, None)]
        if args.command == "run":
            return run(place, args), asked
        if args.command == "check":
            args.per_cpu, args.targets = False, [t for t in args.targets or [] if t]
            status = check_machine(place, args)
            Interrupt.check()
            return status, asked
        if args.plot:
            output_path(args.plot, render_plot.FORMATS)
        if args.markdown:
            output_path(args.markdown)
        check_outputs(args, {path: "a record compare reads" for path in args.records})
        status = compare(args)
        Interrupt.check()
        return status, asked
    except UsageError as error:
        complain(error)
        return 2, asked
    except SystemExit as stop:  # argparse, once --help is shown: main still checks that it was
        return stop.code or 0, asked
    except KeyboardInterrupt:
        complain(f"interrupted{Interrupt.by()}")
        return Interrupt.status(), asked
