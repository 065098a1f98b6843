"""zerobench-stats compare: the records of several runs (machines, CPUs,
builds) in one table, each series against the first."""
import dataclasses
import statistics

import analysis
import plot
from runner import UsageError


@dataclasses.dataclass
class Row:
    number: int
    machine: dict
    series: analysis.Series

    @property
    def name(self):
        return f"#{self.number}"


def load_rows(paths):
    """Every series of every record, numbered from 1; UsageError for a file
    that is missing or not a record of this tool."""
    rows = []
    for path in paths:
        try:
            machine, series = analysis.load(path)
        except OSError as error:
            raise UsageError(f"{path}: {error.strerror}") from None
        except (analysis.RecordError, UnicodeDecodeError) as error:
            raise UsageError(f"{path}: {error}") from None
        rows += [Row(len(rows) + i + 1, machine, s) for i, s in enumerate(series)]
    return rows


def _ghz(hz):
    return f"{hz / 1e9:.3f}" if hz else "-"


def _median(series, body, unit):
    return f"{statistics.median(analysis.body_values(series, body, unit)):.1f}"


def short_verdict(series, unit):
    """and against mov in a few words, for a table cell."""
    if analysis.missing():
        return "-"
    d = analysis.and_against_mov(series, unit)
    if not d.possible():
        return "too few runs"
    if not d.shown():
        return "no difference shown"
    p = "p < 0.001" if d.p < 0.001 else f"p = {d.p:.2g}"
    return f"{abs(d.amount):.1f} {analysis.UNITS[unit]} {'more' if d.amount > 0 else 'less'}, {p}"


HEADINGS = ["#", "processor", "core GHz", "counter GHz", "kernel", "date", "build", "cpu", "runs",
            "mov cycles", "and cycles", "mov ticks", "and ticks", "and vs mov"]


def cells(row, unit):
    s, clock = row.series, analysis.clock(row.series)
    cycles = analysis.has_cycles(s)
    return [row.name, s.banner, _ghz(clock and clock.core_hz), _ghz(clock and clock.tick_hz),
            row.machine.get("kernel", "-"), row.machine.get("date", "-")[:10], s.preset,
            "-" if s.cpu is None else str(s.cpu), str(len(s.runs)),
            _median(s, "mov", "cycles") if cycles else "-", _median(s, "and", "cycles") if cycles else "-",
            _median(s, "mov", "ticks"), _median(s, "and", "ticks"),
            short_verdict(s, unit if cycles else "ticks")]


def text_table(table):
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    return ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in table]


def markdown_table(table):
    lines = ["| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |" for line in table]
    return lines[:1] + ["|" + "|".join("---" for _ in table[0]) + "|"] + lines[1:]


def comparisons(rows, unit):
    """Each row against the first, by body, in sentences."""
    if analysis.missing() or len(rows) < 2:
        return []
    first, lines = rows[0], []
    for row in rows[1:]:
        found, _ = analysis.against(row.series, first.series, f"on {row.name}", f"on {first.name}", unit)
        lines += found
    return lines


def write_markdown(path, table, sentences, heading):
    """The table and the sentences as Markdown; whether they were written."""
    try:
        with open(path, "w") as file:
            file.write("\n".join(markdown_table(table)) + "\n")
            if sentences:
                file.write(f"\n{heading}:\n\n" + "".join(f"- {line}\n" for line in sentences))
    except OSError as error:
        print(f"{path} could not be written ({error.strerror})")
        return False
    print(f"table written to {path}")
    return True


def draw(path, rows, unit):
    """The rows side by side; whether the picture was drawn."""
    if plot.missing():
        print(f"no picture: {plot.missing()}")
        return True
    titles = [(f"{row.name} {row.series.banner}\n{row.series.preset}, cpu {row.series.cpu}", row.series)
              for row in rows]
    try:
        plot.draw_comparison(path, titles, unit)
    except (OSError, ValueError) as error:
        print(f"no picture: {error}")
        return False
    print(f"picture written to {path}")
    return True


def main(args):
    rows = load_rows(args.records)
    unit = analysis.unit_for([row.series for row in rows], args.unit)
    table = [HEADINGS] + [cells(row, args.unit) for row in rows]
    for line in text_table(table):
        print(line)
    if unit != args.unit:
        print("core cycles only where recorded: a record without clock readings is compared in ticks")
    sentences = comparisons(rows, unit)
    heading = f"against {rows[0].name}, in {analysis.UNITS[unit]}"
    if sentences:
        print(heading + ":")
        for line in sentences:
            print("  " + line)
    if analysis.missing():
        print(f"no verdicts: {analysis.missing()}")
    written = not args.markdown or write_markdown(args.markdown, table, sentences, heading.capitalize())
    drawn = not args.plot or draw(args.plot, rows, unit)
    return 0 if written and drawn else 1
