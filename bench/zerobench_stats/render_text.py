"""zerobench-stats' words and tables for the terminal: each function takes
what the analysis computed and returns lines, printing nothing."""
import statistics

from .records import CORE_HZ, LABELS, UNITS, Refusal
from .stats import CONFIDENCE

NO_STATISTICS = "scipy is missing (apt-get install python3-scipy; run under /usr/bin/python3)"
MOST_NAMED = 5  # items a note names one by one; beyond, the count, the share and the furthest few


def runs(count):
    """"1 run", "15 runs"."""
    return f"{count} run{'' if count == 1 else 's'}"


def count(number, things):
    """"1 round", "15 rounds" (things: the plural)."""
    return f"{number} {things.removesuffix('s') if number == 1 else things}"


def _number(value):
    return f"{round(value, 2) + 0.0:g}"  # + 0.0: no "-0"


def amount(value, unit):
    """"1 tick", "7.5 core cycles"."""
    number = _number(value)
    return f"{number} {UNITS[unit] if number not in ('1', '-1') else UNITS[unit][:-1]}"


def processor(banner):
    """The banner with its padding (runs of spaces inside the brand text) closed up."""
    return " ".join(banner.split())


def _p(d):
    return "p < 0.001" if d.p < 0.001 else f"p = {d.p:.2g}"


def _what(d):
    """What the amount of a stats.Difference is."""
    return f"the median of the {d.pairs}' paired differences" if d.paired else "the difference of the medians"


def sentence(subject, reference, d, unit="ticks", per="pass"):
    """The difference in words, e.g. "and costs 6 ticks (16%) more than mov
    per pass (the median of the runs' paired differences): ..."; where the
    test and the interval disagree, it says so."""
    if d.paired:
        counts = f"{count(d.counts[0], d.pairs)}, paired"
    elif d.counts[0] == d.counts[1]:
        counts = f"{runs(d.counts[0])} each, unpaired"
    else:
        counts = f"{d.counts[0]} and {d.counts[1]} runs, unpaired"
    if d.interval != "bootstrap":
        counts += f", interval from {d.interval}"
    if not d.possible():
        needed = f"at least 6 paired {d.pairs}" if d.paired else "more runs"
        return (f"{subject} vs {reference}: too few {d.pairs if d.paired else 'runs'} for a verdict at "
                f"{CONFIDENCE:.0%} ({counts}; {needed} needed)")
    p, interval = _p(d), f"{CONFIDENCE:.0%} CI {_number(d.low)} to {_number(d.high)}"
    if not d.shown():
        found = f"{amount(d.amount, unit)} ({_what(d)})"
        holds_zero = d.low <= 0 <= d.high
        if d.p < 1 - CONFIDENCE and holds_zero:
            return (f"{subject} vs {reference}: no difference shown at {CONFIDENCE:.0%}, as the test and the interval "
                    f"disagree: {p}, but the {interval} holds 0; {found}, {counts}")
        if not holds_zero:
            return (f"{subject} vs {reference}: no difference shown at {CONFIDENCE:.0%}, as the test and the interval "
                    f"disagree: the {interval} leaves out 0, but {p}; {found}, {counts}")
        return f"{subject} vs {reference}: no difference shown at {CONFIDENCE:.0%}: {found}, {interval}, {p}, {counts}"
    sign = 1 if d.amount > 0 else -1
    low, high = sorted((sign * d.low, sign * d.high))
    percent = f" ({abs(d.percent):.0f}%)" if d.percent is not None else ""
    return (f"{subject} costs {amount(abs(d.amount), unit)}{percent} {'more' if sign > 0 else 'less'} than "
            f"{reference} per {per} ({_what(d)}): {CONFIDENCE:.0%} CI {_number(low)} to {_number(high)}, {p}, "
            f"{counts}")


def verdict_lines(verdicts, unit="ticks"):
    """and against mov, and the first run of each body against its second."""
    return [sentence("and", "mov", verdicts.and_against_mov, unit)] + \
        [sentence(f"the first {body}", "the second", d, unit) for body, d in verdicts.first_against_second.items()]


def against_lines(found, where, where_baseline, unit="ticks"):
    """Each body against the baseline's, e.g. "mov on cpu 1 costs ... than on cpu 0"."""
    return [sentence(f"{body} {where}", where_baseline, d, unit) for body, d in found.items()]


def clock_lines(clock):
    """The core clock in words (a stats.Clock): its speed, each run during
    which it moved, the runs without core cycles and why, and whether it held
    steady over the series; or why the series is in ticks only."""
    if clock.ratio is None and not clock.refusals():
        return ["no clock readings: figures in ticks only"]
    if not clock.in_cycles:
        return [f"{clock.refused} of {clock.readings} clock readings gave no core cycles: {refusals_words(clock)}: "
                "figures in ticks only"]
    lines = [f"core clock {clock.core_hz / 1e9:.3f} GHz, counter {clock.tick_hz / 1e9:.3f} GHz: "
             f"{clock.ratio:.3f} core cycles per tick"]
    lines += [f"the core clock moved during run {n} ({before:.3f} to {after:.3f} core cycles per tick)"
              for n, before, after in clock.moved]
    if clock.without:
        have = "has" if len(clock.without) == 1 else "have"
        lines.append(f"{len(clock.without)} of {clock.readings // 2} runs {have} no core cycles "
                     f"({_numbered(n for n, _ in clock.without)}): {refusals_words(clock)}")
    if clock.steady:
        lines.append(f"the clock held steady over the series: every reading within {100 * clock.spread:.1f}%")
    else:
        lines.append(f"the clock did not hold steady over the series: readings {100 * clock.spread:.1f}% apart")
    return lines


def _numbered(numbers):
    numbers = list(numbers)
    return f"run{'' if len(numbers) == 1 else 's'} {', '.join(map(str, numbers))}"


def refusal_words(reason, refusals, cpu):
    """Why readings gave no core cycles, for one reason, with the figures of
    one of them (of the chains, the two furthest apart)."""
    where = f" on cpu {cpu}" if cpu is not None else ""
    if reason == "chains":
        shown = max(refusals, key=lambda r: r.apart)
        widest = ", the widest apart" if len({(r.add, r.imul) for r in refusals}) > 1 else ""
        return (f"the clock probe's two chains disagreed{where} (add {shown.add:.2f}, imul {shown.imul:.2f} core "
                f"cycles per tick{widest})")
    shown = refusals[0]
    if reason == "range":
        return (f"the clock probe's reading{where} gave a core clock of {shown.ratio * shown.tick_hz / 1e9:.3g} GHz, "
                f"outside the {CORE_HZ[0] / 1e9:g}-{CORE_HZ[1] / 1e9:g} GHz of any x86 processor")
    if reason == "probe":
        return f"the clock probe refused its reading{where} ({shown.said or 'it gave no reason'})"
    return f"the clock probe gave no reading{where}" + (f" ({shown.said})" if shown.said else "")


def refusals_words(clock):
    """Why the series' readings gave no core cycles, the commonest reason
    first, each with its count where there are several."""
    by_reason = {}
    for _, found in clock.without:
        for refusal in found or [Refusal("before", "failed")]:  # a record that kept no reason
            by_reason.setdefault(refusal.reason, []).append(refusal)
    ordered = sorted(by_reason.items(), key=lambda item: -len(item[1]))
    counted = len(ordered) > 1
    return "; ".join(refusal_words(reason, found, clock.cpu) + (f" ({count(len(found), 'readings')})" if counted
                                                                 else "") for reason, found in ordered)


def summary(spread, digits=1):
    """median, min, max and spread (absolute and relative) in 34 columns."""
    relative = f"{spread.percent:.0f}%" if spread.percent is not None else "-"
    return "".join(f"{v:7.{digits}f}" for v in (spread.median, spread.low, spread.high, spread.spread)) + \
        f" {relative:>5}"


BODY_WORDS = {"mov": ("stores", "stores"), "and": ("read-modify-writes", "")}  # what 100 of a body are; per cycle


def per_pass_line(per_pass):
    """What the medians in core cycles say about the processor, e.g. "mov:
    100 stores in 66 core cycles, 1.5 stores a cycle"; None without them."""
    if not per_pass:
        return None
    said = []
    for body, cycles in per_pass.items():
        what, again = BODY_WORDS[body]
        rate = f"{_number(100 / cycles)} {again + ' ' if again else ''}a cycle" if cycles > 0 else "no time measured"
        said.append(f"{body}: 100 {what} in {cycles:.0f} core cycles, {rate}")
    return "; ".join(said) + " (a pass, its pointer steps and reload included: the medians)"


def series_lines(analysis):
    """One series: its clock, each figure's spread, what a pass costs the
    core, its verdicts (in its unit) where there are any, and its notes."""
    series, figures = analysis.series, analysis.figures
    lines = [f"{analysis.name}: {runs(len(series.runs))} on cpu {series.cpu}"]
    lines += ["  " + line for line in clock_lines(analysis.clock)]
    cycles = figures.cycles is not None
    columns = "  median    min    max spread"
    lines.append(("  " + " " * 15 + "ticks per pass".center(34) + ("   " + "core cycles per pass".center(34) if cycles
                                                                  else "")).rstrip())
    lines.append("  figure         " + columns + ("         " + columns if cycles else ""))
    for i, label in enumerate(LABELS):
        row = f"  {label:<15}{summary(figures.ticks[i])}"
        if cycles:
            row += f"   {summary(figures.cycles[i])}"
        lines.append(row)
    lines.append(f"  to closing line{summary(figures.seconds, 3)} (seconds)")
    said = per_pass_line(analysis.per_pass)
    if said:
        lines.append(f"  {said}")
    if analysis.verdicts is not None:
        lines += ["  " + line for line in verdict_lines(analysis.verdicts, analysis.unit)]
    return lines + notes_lines(analysis.notes, "  ")


def idioms_cells(analysis):
    """A zerobench-idioms series' medians as cells, in the verdicts' unit:
    a heading row ("idiom", then the sizes), then a row per idiom, the
    cheapest at each size marked with *."""
    layout, unit = analysis.series.layout, analysis.unit
    shown, sizes = analysis.medians.figures[unit], layout["sizes"]
    cost = {(idiom, size): shown[i * len(sizes) + j] for i, idiom in enumerate(layout["idioms"])
            for j, size in enumerate(sizes)}
    cheapest = {size: min(layout["idioms"], key=lambda idiom: cost[idiom, size]) for size in sizes}
    return [["idiom", *map(str, sizes)]] + [
        [idiom, *(f"{cost[idiom, size]:.1f}{'*' if cheapest[size] == idiom else ''}" for size in sizes)]
        for idiom in layout["idioms"]]


def idioms_caption(analysis):
    return f"{UNITS[analysis.unit]} per clear, the median over the runs (* the cheapest at its size)"


def idioms_table(analysis):
    """idioms_cells under their caption, in columns."""
    cells = idioms_cells(analysis)
    width = max(len(row[0]) for row in cells) + 2
    return [idioms_caption(analysis) + ":"] + [
        (row[0].ljust(width) + "".join(f"{cell:>10}" if cell.endswith("*") else f"{cell:>9} "
                                       for cell in row[1:])).rstrip() for row in cells]


def cheapest_line(found, unit):
    """At one size (a stats.Cheapest), the cheapest idiom of the first runs against the next over the later ones."""
    chosen = f"at {found.size} bytes {found.cheapest} was the cheapest in rounds {found.chosen_from[0]}-" \
             f"{found.chosen_from[1]}, {found.next} the next"
    if found.difference is None:
        return f"{chosen}; no later runs to test them on"
    return f"{chosen}; over the later runs: " + sentence(found.next, found.cheapest, found.difference, unit, "clear")


def idioms_lines(analysis):
    """One zerobench-idioms series: its clock, its table, the idioms it
    skipped, the runs it did not trust, each size's cheapest against the
    next, and its notes."""
    series = analysis.series
    lines = [f"{analysis.name}: {runs(len(series.runs))} on cpu {series.cpu}"]
    lines += ["  " + line for line in clock_lines(analysis.clock)]
    lines += ["  " + line for line in idioms_table(analysis)]
    skipped = series.layout["skipped"]
    if skipped:
        lines.append("  skipped: " + "; ".join(f"{name} ({why})" for name, why in skipped.items()))
    untrusted = [(n, run.untrusted) for n, run in enumerate(series.runs, 1) if run.untrusted]
    if untrusted:
        lines.append(f"  {len(untrusted)} of {runs(len(series.runs))} did not trust their own figures "
                     f"({_numbered(n for n, _ in untrusted)}; the first: {untrusted[0][1]}); they are kept")
    lines += ["  " + cheapest_line(found, analysis.unit) for found in analysis.cheapest]
    return lines + notes_lines(analysis.notes, "  ")


def medians_lines(title, rows, unit):
    """Tables of medians, one row per (name, stats.Medians): in ticks, and in core cycles with unit cycles."""
    width = max(len(name) for name, _ in rows + [(title, None)]) + 2
    lines = [f"  {title:<{width}}" + "".join(f"{label:>8}" for label in LABELS) + "  to closing line"]
    for shown in ["ticks", "cycles"] if unit == "cycles" else ["ticks"]:
        lines.append(f"  {UNITS[shown]} per pass, the median of each figure:")
        for name, medians in rows:
            lines.append(f"    {name:<{width - 2}}" + "".join(f"{v:8.1f}" for v in medians.figures[shown]) +
                         f"  {medians.seconds:8.3f}s")
    return lines


def against_first_lines(against, names):
    """Each series against the first, by body (names: where each series ran);
    names those beyond the noise."""
    lines = []
    for name, found, unit in zip(names[1:], against.found, against.units):
        lines += ["  " + line for line in against_lines(found, f"on {name}", f"on {names[0]}", unit)]
    differing = [names[n] for n in against.differing()]
    if differing:
        lines.append(f"  differ from {names[0]} beyond the noise: {', '.join(differing)}")
    elif against.undecided():
        lines.append(f"  too few runs to tell whether anything differs from {names[0]}")
    else:
        lines.append(f"  nothing differs from {names[0]} beyond the noise")
    return lines


def per_cpu_lines(side):
    """One program's series on each CPU (an analysis.SideBySide): clocks,
    and against mov on each, medians, and each CPU against the first."""
    analyses = side.analyses
    cpus = ", ".join(str(a.series.cpu) for a in analyses)
    lines = [f"{analyses[0].series.preset}: {runs(len(analyses[0].series.runs))} on each of cpus {cpus}:"]
    for a in analyses:
        first, *rest = clock_lines(a.clock)
        lines.append(f"  cpu {a.series.cpu}: {first}")
        lines += [f"    {line}" for line in rest]
        said = per_pass_line(a.per_pass)
        if said:
            lines.append(f"    {said}")
        if a.verdicts is not None:
            lines.append(f"    {sentence('and', 'mov', a.verdicts.and_against_mov, a.unit)}")
    lines += medians_lines("cpu", [(str(a.series.cpu), a.medians) for a in analyses], side.unit)
    if side.against is not None:
        lines += against_first_lines(side.against, [f"cpu {a.series.cpu}" for a in analyses])
    for a in analyses:
        lines += notes_lines(a.notes, f"  cpu {a.series.cpu}: ")
    return lines


def across_lines(side):
    """Several programs on one CPU (an analysis.SideBySide): medians, and each against the first."""
    analyses = side.analyses
    lines = [f"medians side by side, all on cpu {analyses[0].series.cpu}:"]
    lines += medians_lines("build", [(a.name, a.medians) for a in analyses], side.unit)
    if side.against is not None:
        lines.append(f"against {analyses[0].name}:")
        lines += against_first_lines(side.against, [a.name for a in analyses])
    return lines


HEADINGS = ["#", "processor", "core GHz", "counter GHz", "kernel", "date", "build", "cpu", "runs",
            "mov cycles", "and cycles", "mov ticks", "and ticks", "and vs mov"]
CELLS = ("mov, and: the median over the runs of a run's mean of its two figures of that body, per pass; "
         "and vs mov: the median of the runs' paired differences")


def _ghz(hz):
    return f"{hz / 1e9:.3f}" if hz else "-"


def short_verdict(d, unit):
    """and against mov (a stats.Difference) in a few words, for a table cell."""
    if d is None:
        return "-"
    if not d.possible():
        return "too few runs"
    if not d.shown():
        return "no difference shown"
    return f"{abs(d.amount):.1f} {UNITS[unit]} {'more' if d.amount > 0 else 'less'}, {_p(d)}"


def cells(row, analysis):
    """compare's cells for one records.Row and its analysis.SeriesAnalysis."""
    s, clock = row.series, analysis.clock
    cycles, ticks = analysis.bodies.get("cycles", {}), analysis.bodies["ticks"]
    verdict = analysis.verdicts and analysis.verdicts.and_against_mov
    return [row.name, processor(s.banner), _ghz(cycles and clock.core_hz), _ghz(clock.tick_hz),
            row.machine.get("kernel", "-"), row.machine.get("date", "-")[:10], s.preset,
            "-" if s.cpu is None else str(s.cpu), str(len(s.runs)),
            *(f"{cycles[body]:.1f}" if cycles else "-" for body in ("mov", "and")),
            *(f"{ticks[body]:.1f}" for body in ("mov", "and")),
            short_verdict(verdict, analysis.unit)]


def compare_table(comparison):
    """The headings, then the cells of each row."""
    return [HEADINGS] + [cells(row, a) for row, a in zip(comparison.rows, comparison.analyses)]


def table_lines(table):
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in table]


def in_ticks_line(comparison):
    """Which rows have no core cycles, where some have; None where all have
    them, or the unit asked is ticks."""
    without = [a.name for a in comparison.analyses if "cycles" not in a.bodies]
    if comparison.unit == "ticks" or not without:
        return None
    return f"no core cycles in {', '.join(without)} (no clock readings, or most of them refused): shown in ticks"


def against_heading(comparison):
    rows, units = comparison.rows, set(comparison.against.units) if comparison.against else {comparison.unit}
    if len(units) > 1:
        return f"against {rows[0].name}, in core cycles where both records have them, else in ticks"
    return f"against {rows[0].name}, in {UNITS[units.pop()]}"


def compare_sentences(comparison):
    """Each row against the first, by body; none without scipy."""
    against, rows = comparison.against, comparison.rows
    if against is None:
        return []
    return [line for row, found, unit in zip(rows[1:], against.found, against.units)
            for line in against_lines(found, f"on {row.name}", f"on {rows[0].name}", unit)]


def compare_lines(comparison):
    """compare's table, what its cells are, which rows are in ticks, and the
    sentences under their heading."""
    lines = table_lines(compare_table(comparison)) + [CELLS] if comparison.rows else []
    in_ticks = in_ticks_line(comparison)
    if in_ticks:
        lines.append(in_ticks)
    sentences = compare_sentences(comparison)
    if sentences:
        lines.append(against_heading(comparison) + ":")
        lines += ["  " + line for line in sentences]
    return lines + compare_idioms_lines(comparison)


def compare_idioms_lines(comparison):
    """Each zerobench-idioms row's table, then the cheapest at each size on each."""
    lines = []
    for a in comparison.idioms:
        s = a.series
        lines.append(f"{a.name}: zerobench-idioms, {processor(s.banner)}, cpu {s.cpu}, {runs(len(s.runs))}")
        lines += ["  " + line for line in idioms_table(a)]
    if len(comparison.idioms) > 1:
        lines.append("the cheapest at each size, the median over the runs:")
        lines += ["  " + line for line in cheapest_everywhere(comparison.idioms)]
    return lines


def cheapest_everywhere(analyses):
    """For each size any of the zerobench-idioms analyses has, the cheapest idiom on each."""
    found = []
    for size in sorted({size for a in analyses for size in a.series.layout["sizes"]}):
        said = []
        for a in analyses:
            layout = a.series.layout
            if size not in layout["sizes"]:
                continue
            shown = a.medians.figures[a.unit]
            cost = {idiom: shown[i * len(layout["sizes"]) + layout["sizes"].index(size)]
                    for i, idiom in enumerate(layout["idioms"])}
            best = min(cost, key=cost.get)
            said.append(f"{a.name} {best} {cost[best]:.1f} {UNITS[a.unit]}")
        found.append(f"{size} bytes: " + "; ".join(said))
    return found


def _outlier(o):
    return f"run {o.run} ({o.label} {_number(o.figure)}{', far out' if o.far else ''})"


def _near(centre):
    return f"{centre:.0f}" if abs(centre) >= 100 else f"{centre:.3g}"


def outliers_line(outliers, figures):
    """The figures beyond the fences (of `figures` in all): each by name, or
    with more than MOST_NAMED, their count, their share and the furthest."""
    found = f"{len(outliers)} figure{'' if len(outliers) == 1 else 's'}"
    if len(outliers) <= MOST_NAMED:
        return f"{found} outside the fences: {', '.join(map(_outlier, outliers))}"
    furthest = sorted(outliers, key=lambda o: -o.distance)[:3]
    return (f"{found} of {figures} ({100 * len(outliers) / figures:.0f}%) outside the fences, the furthest "
            f"{', '.join(map(_outlier, furthest))}: more than a few disturbed runs, a noisy machine")


def drift_line(drift):
    """A series whose level moved, in words."""
    (first, last, before), (later, end, after) = drift.before, drift.after
    way = "up" if after > before else "down"
    how = " steadily" if drift.steady else ""
    return (f"the figures drifted {way}{how} by {abs(100 * drift.share):.0f}% over the series (rounds {first}-{last} "
            f"median {_number(before)}, rounds {later}-{end} median {_number(after)} {UNITS[drift.unit]}, "
            "a run's mean of its four figures): something else on the machine changed; the paired verdicts stand, "
            "as each compares figures of one run")


def notes_lines(notes, prefix=""):
    """The figures outside the fences, the runs' clusters and the series'
    drift (an analysis.Notes), each in one line (none where there are none),
    every line after prefix."""
    lines = []
    if notes.outliers:
        lines.append(outliers_line(notes.outliers, notes.figures))
    clusters = notes.clusters
    if clusters:
        groups = ", ".join(f"{count} near {_near(centre)}" for count, centre in zip(clusters.counts, clusters.centres))
        which = ("lies between them and describes neither" if clusters.median_in is None
                 else f"describes only the {['first', 'second'][clusters.median_in]}")
        lines.append(f"runs fall in {len(clusters.counts)} clusters: {groups} {UNITS[clusters.unit]}; "
                     f"the median {which}")
    if notes.drift:
        lines.append(drift_line(notes.drift))
    lines += [disturbed_line(found, notes.sharing) for found in notes.disturbed]
    if notes.stolen:
        lines.append(f"{_numbered(notes.stolen)} lost more than 5% of their time to the hypervisor (steal)")
    return [prefix + line for line in lines]


def disturbed_line(found, sharing):
    """The runs during which another CPU was busy (a stats.Disturbed), and whether their figures moved."""
    total = len(found.runs) + len(found.others)
    which = f"cpu {found.cpu}, which the kernel says shares the runs' core," if found.cpu in sharing else \
        f"cpu {found.cpu}"
    said = f"{len(found.runs)} of {total} runs ran while {which} was busy (up to {found.most:.0%} of the run)"
    if not found.others:
        return f"{said}: every run did, so the series cannot tell what that did to its figures (zerobench-stats " \
               "check measures it)"
    mine, others = statistics.median(found.values), statistics.median(found.others)
    one = len(found.runs) == 1
    if found.highest():
        effect = "its figures are the highest" if one else f"their figures are the {len(found.runs)} highest"
    elif others and mine > 1.1 * others:
        effect = f"{'its mean' if one else 'their median'}, {_number(mine)} ticks, is {mine / others:.1f} times the " \
                 f"others' median {_number(others)}"
    else:
        effect = f"{'its figures are' if one else 'their figures are'} no higher than the others' " \
                 f"({'mean' if one else 'median'} {_number(mine)} against {_number(others)} ticks)"
    return f"{said}: {effect} ({_numbered(found.runs)}; a run's mean of its four figures)"


NOTES_HEADING = "disturbed figures, clusters and drift"


def compare_notes(comparison):
    """The notes of each compared row, after its name."""
    return [line for a in comparison.analyses + comparison.idioms for line in notes_lines(a.notes, f"{a.name}: ")]


def compare_notes_lines(notes):
    """compare's notes under their heading; nothing where there are none."""
    return [f"{NOTES_HEADING}:"] + ["  " + line for line in notes] if notes else []


def seed_line(seed):
    return f"rounds in the order of seed {seed} (--seed {seed} repeats it)"


def _width(value):
    """A half-width in two significant figures, whole from 100 up."""
    return f"{value:.2g}" if value < 100 else f"{value:.0f}"


def _known(width, unit, runs_kept):
    """"±0.48 core cycles", or that there is no interval yet."""
    return f"±{_width(width)} {UNITS[unit]}" if width is not None else f"no interval yet from {runs(runs_kept)}"


def progress_text(name, number, rounds, width=None, unit=None, runs_kept=0, judged="and − mov"):
    """The progress line during a round: "round 3 of 10: default on cpu 0", or
    with a precision asked (rounds None), the width reached so far of what is
    judged."""
    if rounds is not None:
        return f"round {number} of {rounds}: {name}"
    return f"{name}: round {number}, {judged} {_known(width, unit, runs_kept)}"


def judged(program):
    """What --precision judges of a kind of program."""
    return "every figure" if program == "zerobench-idioms" else "and − mov"


def stopped_line(name, outcome, rule, runs_kept, clock, failed, program="zerobench"):
    """Why the rounds stopped, for one series (a stopping.Outcome; clock,
    its stats.Clock; failed, its runs failed in a row at the end), each
    width in the unit it was judged in."""
    known, asked = _known(outcome.width, outcome.unit, runs_kept), f"(asked ±{rule.precision:g})"
    rounds = count(outcome.rounds, "rounds")
    if outcome.reason == "failing":
        return f"{name}: its last {runs(failed)} failed: no more rounds after {rounds}: {known} {asked}"
    if outcome.reason == "another-failing":
        return f"{name}: the rounds ended after {rounds}, as another program's runs kept failing: {known} {asked}"
    if outcome.reason == "not-in-unit":
        return (f"{name}: the precision could not be judged in {UNITS[rule.unit]}, as {clock.refused} of "
                f"{clock.readings} clock readings gave none; after {rounds}, {judged(program)} is known to {known} "
                f"(--unit ticks judges it in ticks)")
    if outcome.reason == "reached":
        return f"{name}: stopped after {rounds}: {judged(program)} known to {known} {asked}"
    if outcome.reason == "time":
        return f"{name}: the {rule.time:g} s budget ran out at {rounds}: {known} {asked}"
    return f"{name}: the budget of {rounds} (--max-runs) ran out: {known} {asked}"



def _cpus(cpus):
    return ", ".join(map(str, cpus))


def check_lines(findings):
    """zerobench-stats check's findings, one a line, then its verdict."""
    cpu, lines = findings.cpu, []
    lines.append(f"processor: {processor(findings.banner) or 'unknown (zerobench did not run)'}; runs use cpu {cpu}")
    trusted = findings.trusted()
    if trusted:
        hz = sorted(r.ratio * r.tick_hz for r in trusted)
        lines.append(f"clock: counter {trusted[0].tick_hz / 1e9:.3f} GHz; core {hz[len(hz) // 2] / 1e9:.3f} GHz "
                     f"({hz[0] / 1e9:.3f}-{hz[-1] / 1e9:.3f} over {count(len(trusted), 'probe calls')}, "
                     f"{100 * findings.spread(hz):.1f}% apart)")
    refused = len(findings.readings) - len(trusted)
    if refused:
        lines.append(f"clock: the probe refused {refused} of {len(findings.readings)} readings")
    cpuid = findings.cpuid
    if cpuid:
        where = ("it leaves the guest (a hypervisor handles it); zerobench's timed regions hold the same CPUIDs, "
                 "which cancel" if cpuid.leaves_guest else "it stays in the processor")
        lines.append(f"cpuid: {cpuid.best} ticks at best, median {cpuid.median} over {cpuid.calls} calls: {where}")
    else:
        lines.append("cpuid: not measured (no clock probe)")
    own = findings.siblings.get(cpu)
    kernel = f"the kernel says cpu {cpu} shares its core with " + (_cpus([c for c in own if c != cpu]) or "no other CPU")\
        if own else "the kernel does not say which CPUs share a core"
    lines.append(f"shared core: {kernel}")
    if findings.alone:
        alone = findings.alone
        lines.append(f"  cpu {cpu} alone: zerobench's run mean {statistics.median(alone):.1f} ticks "
                     f"({min(alone):.1f}-{max(alone):.1f}, {runs(len(alone))}; spread {findings.spread(alone):.0%}: "
                     "how steady the core is)")
    for n in findings.neighbours:
        said = "shares the core now" if n.shares(findings.alone) else "does not share it now"
        claim = ""
        if n.shares(findings.alone) != n.kernel_says_shared:
            claim = ", though the kernel says it does" if n.kernel_says_shared else ", though the kernel says not"
        lines.append(f"  with cpu {n.cpu} busy: {statistics.median(n.busy):.1f} ticks "
                     f"({100 * n.rise(findings.alone):+.0f}%, {runs(len(n.busy))}): cpu {n.cpu} {said}{claim}")
    if findings.untried:
        lines.append(f"  not tried for lack of time: cpus {_cpus(findings.untried)}")
    work = ", ".join(f"cpu {c} {s.busy:.0%}" for c, s in sorted(findings.load.items()))
    steal = ", ".join(f"cpu {c} {s.steal:.0%}" for c, s in sorted(findings.load.items()))
    lines.append(f"other work over a second: {work or 'unknown'}; steal: {steal or 'unknown'}"
                 f"{' (a virtual machine)' if findings.hypervisor else ''}")
    starts, why = findings.ia32
    lines.append(f"IA-32 programs: {'start natively' if starts else 'do not start' if starts is False else 'unknown'}"
                 f" ({why})")
    counts, why = findings.perf
    lines.append(f"perf: {why}")
    lines.append(f"{findings.verdict}" + (": " + "; ".join(findings.reasons) if findings.reasons else "") +
                 f" (checked in {findings.seconds:.0f} s)")
    return lines


BUSY_BEFORE, STEAL_BEFORE = 0.2, 0.01  # shares of the second before the first round worth a line


def busy_before_lines(found, cpus):
    """What was busy in the second before the first round (a host.Passive),
    and what to do about it; nothing on a quiet machine."""
    lines = []
    for cpu, share in sorted(found.load.items()):
        if share.busy > BUSY_BEFORE:
            where = ("the runs' own CPU: they will share it" if cpu in cpus else
                     "a CPU that shares a core with the runs moves their figures, and a virtual machine's CPUs may "
                     "share one though the kernel says not")
            lines.append(f"cpu {cpu} was {share.busy:.0%} busy in the second before the first round ({where}): "
                         "stop that work, or measure elsewhere; zerobench-stats check tells")
    steal = [f"cpu {cpu} {share.steal:.0%}" for cpu, share in sorted(found.load.items()) if share.steal > STEAL_BEFORE]
    if steal:
        lines.append(f"the hypervisor took time from {', '.join(steal)} for other guests (steal): expect noise")
    return lines


HOSTS_HEADING = "the hosts, as run found them in the second before its first round"


def host_words(found):
    """A record's passive findings of its host (records.RECORD_FIELDS' host) in a few words."""
    said = []
    cpuid = found.get("cpuid")
    if cpuid:
        said.append(f"CPUID {cpuid['best']} ticks at best (median {cpuid['median']}"
                    f"{', it leaves the guest' if cpuid['best'] > 1000 else ''})")
    load = found.get("load", {})
    if load:
        said.append("busy: " + ", ".join(f"cpu {cpu} {share['busy']:.0%}" for cpu, share in sorted(load.items())))
        steal = max(share["steal"] for share in load.values())
        said.append(f"steal up to {steal:.0%}")
    siblings = found.get("siblings", {})
    if siblings:
        shared = sorted({tuple(cpus) for cpus in siblings.values() if len(cpus) > 1})
        said.append("the kernel: " + ("; ".join(f"cpus {_cpus(cpus)} share a core" for cpus in shared)
                                      if shared else "each CPU a core of its own"))
    return "; ".join(said)


def host_lines(comparison):
    """Each record's host findings, after the names of its rows; nothing for records without them."""
    named = {}
    for row in comparison.hosts:
        if row.host:
            named.setdefault(host_words(row.host), []).append(row.name)
    return [f"{', '.join(names)}: {words}" for words, names in named.items()]
