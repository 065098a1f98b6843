"""zerobench-stats' pictures: for each series, the four figures' distributions
side by side (run), or mov and and of each machine and build side by side
(compare); a box with whiskers and every run as a point."""
import functools
import logging
import pathlib
import textwrap

from . import files
from .records import BODIES, IDIOMS, LABELS, UNITS
from .render_text import processor
from .stats import body_values, figure_values

COLOURS = {"mov": "tab:blue", "and": "tab:orange"}
PANEL_CHARACTERS = 34  # of a title at 8 points, across one panel
FORMATS = (".png", ".svg", ".pdf")  # what savefig writes, chosen by the file's extension


@functools.cache
def _pyplot():
    """matplotlib's pyplot, loaded only when a picture is drawn (it takes a
    while); None where it is missing."""
    # Without a writable HOME it warns at length that it keeps its cache in a
    # temporary directory; it does, and removes it at exit.
    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    try:
        import matplotlib

        matplotlib.use("Agg")  # a file, no display
        import matplotlib.pyplot as pyplot
    except ImportError:
        return None
    return pyplot


def missing():
    """What to install for the picture, or None when it can be drawn."""
    if _pyplot() is None:
        return "matplotlib is missing (apt-get install python3-matplotlib; run under /usr/bin/python3)"
    return None


def _jitter():
    import numpy  # there wherever matplotlib is

    return numpy.random.default_rng(0)  # the same picture for the same runs


MOST_POINTS = 2000  # points drawn per box; beyond, a sample of the values drawn at random


def _boxes(axis, columns, jitter):
    """One box per (label, colour, values), every value a point on it (up to
    MOST_POINTS of them: many more would take seconds and hide the box)."""
    boxes = axis.boxplot([values for _, _, values in columns], patch_artist=True, widths=0.55, showfliers=False)
    for i, (_, colour, values) in enumerate(columns):
        boxes["boxes"][i].set(facecolor=colour, alpha=0.35)
        boxes["medians"][i].set(color=colour, linewidth=2)
        if len(values) > MOST_POINTS:
            values = jitter.choice(values, MOST_POINTS, replace=False)
        spread = jitter.uniform(-0.15, 0.15, len(values))
        axis.scatter(i + 1 + spread, values, s=12, color=colour, zorder=3)
    axis.set_xticks(range(1, len(columns) + 1), [label for label, _, _ in columns])
    axis.grid(axis="y", alpha=0.3)


def _panels(count):
    figure, axes = _pyplot().subplots(1, count, sharey=True, squeeze=False, figsize=(2.6 * count + 1, 4.5))
    return figure, axes[0]


def _drawable(text):
    """text with the bytes of a file name that is not UTF-8 shown as U+FFFD
    (no font has a glyph for them, and SVG cannot hold them)."""
    return text.encode(errors="surrogateescape").decode(errors="replace")


def _finish(figure, path, title):
    """Titles the figure and writes it to path, whole or not at all, in the
    format its name gives (a symlink's target may have another suffix, or none)."""
    heading = figure.suptitle(title, fontsize=10)
    # Few panels are narrower than the title: the figure widens to hold it, with a margin.
    needed = heading.get_window_extent(figure.canvas.get_renderer()).width / figure.dpi + 0.3
    figure.set_figwidth(max(figure.get_figwidth(), needed))
    figure.tight_layout()
    try:
        files.write_whole(path, lambda file: figure.savefig(file, dpi=100, format=pathlib.Path(path).suffix[1:].lower()))
    finally:
        _pyplot().close(figure)


def draw(path, series, machine, unit="ticks"):
    """The four figures of each zerobench series, in the unit given, or the
    cost against size of each zerobench-idioms series."""
    if series[0].program == IDIOMS:
        draw_idioms(path, series, [f"{one.preset}, cpu {one.cpu}" for one in series],
                    f"{processor(series[0].banner)}: {len(series[0].runs)} runs each\n"
                    f"{machine['kernel']}, {machine['date']}", unit)
        return
    per_cpu = len({s.preset for s in series}) < len(series)
    figure, axes = _panels(len(series))
    jitter = _jitter()
    for axis, one in zip(axes, series):
        _boxes(axis, [(label, COLOURS[label.split()[1]], figure_values(one, i, unit))
                      for i, label in enumerate(LABELS)], jitter)
        axis.set_title(_drawable(f"{one.preset}, cpu {one.cpu}" if per_cpu else one.preset))
    axes[0].set_ylabel(f"{UNITS[unit]} per pass")
    cpu = "" if per_cpu else f", all on cpu {series[0].cpu}"
    _finish(figure, path, f"{processor(series[0].banner)}: {len(series[0].runs)} runs each{cpu}\n"
                          f"{machine['kernel']}, {machine['date']}")


def draw_idioms(path, series, titles, heading, unit):
    """Each idiom's median cost against the size, on log scales, one line an
    idiom, a panel a series (under its title), each median between its runs'
    quartiles."""
    import numpy  # there wherever matplotlib is

    figure, axes = _pyplot().subplots(1, len(series), squeeze=False, figsize=(6.5 * len(series) + 1, 5.5))
    for axis, one, title in zip(axes[0], series, titles):
        sizes = one.layout["sizes"]
        for i, idiom in enumerate(one.layout["idioms"]):
            values = [figure_values(one, i * len(sizes) + j, unit) for j in range(len(sizes))]
            low, middle, high = (numpy.percentile(values, q, axis=1) for q in (25, 50, 75))
            colour = _pyplot().get_cmap("tab20")(i % 20)  # thirteen idioms and more: ten colours would repeat
            line, = axis.plot(sizes, numpy.maximum(middle, 0.01), marker="os^"[i % 3], markersize=3, label=idiom,
                              color=colour)
            axis.fill_between(sizes, numpy.maximum(low, 0.01), numpy.maximum(high, 0.01), color=line.get_color(),
                              alpha=0.15)
        axis.set_xscale("log", base=2)
        axis.set_xticks(sizes, [str(size) for size in sizes])
        axis.set_yscale("log")
        axis.set_xlabel("bytes cleared")
        axis.set_title(_drawable(textwrap.fill(title, 2 * PANEL_CHARACTERS)), fontsize=9)
        axis.grid(alpha=0.3, which="both")
    axes[0][0].set_ylabel(f"{UNITS[unit]} per clear (median of the runs, quartiles shaded)")
    axes[0][-1].legend(fontsize=7, loc="upper left")
    _finish(figure, path, heading)


def draw_comparison(path, rows, unit):
    """mov and and per run of each records.Row, side by side; or, for rows
    of zerobench-idioms, each one's cost against size."""
    if rows[0].series.program == IDIOMS:
        draw_idioms(path, [row.series for row in rows],
                    [f"{row.name} {processor(row.series.banner)}, cpu {row.series.cpu}" for row in rows],
                    f"zerobench-idioms: the cost of clearing memory, in {UNITS[unit]}", unit)
        return
    figure, axes = _panels(len(rows))
    jitter = _jitter()
    for axis, row in zip(axes, rows):
        one = row.series
        _boxes(axis, [(body, COLOURS[body], body_values(one, body, unit)) for body in BODIES], jitter)
        # Wrapped to the panel's width, so that no title runs into the next or off the edge.
        title = textwrap.fill(f"{row.name} {processor(one.banner)}", PANEL_CHARACTERS)
        axis.set_title(_drawable(f"{title}\n{one.preset}, cpu {one.cpu}"), fontsize=8)
    axes[0].set_ylabel(f"{UNITS[unit]} per pass (mean of a run's two figures)")
    _finish(figure, path, f"zerobench: 100 operations per pass, in {UNITS[unit]}")
